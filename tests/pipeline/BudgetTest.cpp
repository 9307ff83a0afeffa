#include "pipeline/internal/Budget.h"

#include <gtest/gtest.h>

namespace karvello {
namespace {

TEST(BudgetTest, MemAvailableIsGivenInKiB) {
  EXPECT_EQ(internal::MemAvailableBytes("MemTotal:       16318412 kB\n"
                                        "MemFree:         1162380 kB\n"
                                        "MemAvailable:    8041012 kB\n"
                                        "Buffers:          434404 kB\n"),
            std::uint64_t{8041012} * 1024);
  // Kernels before 3.14 have no such line; nor is MemAvailable another's.
  EXPECT_EQ(internal::MemAvailableBytes("MemTotal: 16318412 kB\n"
                                        "XMemAvailable: 5 kB\n"),
            std::nullopt);
}

}  // namespace
}  // namespace karvello
