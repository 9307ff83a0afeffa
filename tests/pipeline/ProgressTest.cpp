#include "pipeline/Progress.h"

#include <gtest/gtest.h>

namespace karvello {
namespace {

TEST(ProgressTest, TheLineTellsTheShareReadTheRateAndTheTimeLeft) {
  EXPECT_EQ(Progress::Line(1536, 3072, 1.0, nullptr),
            "karvello-cli: 1.5 KiB of 3.0 KiB read (50%), 1.5 KiB/s, 1 s left");
  EXPECT_EQ(Progress::Line(99, 100, 3.0, nullptr),
            "karvello-cli: 99 B of 100 B read (99%), 33 B/s, 0 s left");
  // Unknown sizes: what was read and its rate; a stage instead of the time.
  EXPECT_EQ(Progress::Line(5 << 20, 0, 2.0, "working through the parts"),
            "karvello-cli: 5.0 MiB read, 2.5 MiB/s, working through the parts");
}

}  // namespace
}  // namespace karvello
