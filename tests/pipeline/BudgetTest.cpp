#include "pipeline/internal/Budget.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pipeline/Pipeline.h"
#include "support/FolderTest.h"

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

class CgroupTest : public testing::FolderTest {
 protected:
  void TearDown() override {
    internal::CgroupFilesInUse() = internal::CgroupFiles();
    FolderTest::TearDown();
  }
  // Writes `text` to `path` in the fake cgroup tree, making its folders.
  void Put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories((dir_ / path).parent_path());
    std::ofstream(dir_ / path) << text;
  }
  std::optional<std::uint64_t> Left(const std::string& proc_cgroup) {
    return internal::CgroupMemoryLeft(proc_cgroup, dir_.string());
  }
};

constexpr std::uint64_t kMiB = 1 << 20;

// Inside a container limited by its cgroup MemAvailable is the host's, and
// a whole-list run that should have gone to parts was killed instead.
TEST_F(CgroupTest, TheLeastThatAnyCgroupAboveHasLeftCounts) {
  // v2: the limit is on the parent; the file cache it can drop is free.
  Put("app/job/memory.max", "max\n");
  Put("app/job/memory.current", std::to_string(10 * kMiB));
  Put("app/memory.max", std::to_string(256 * kMiB) + "\n");
  Put("app/memory.current", std::to_string(200 * kMiB) + "\n");
  Put("app/memory.stat", "anon 5\nfile 9\ninactive_file " +
                             std::to_string(8 * kMiB) + "\nactive_file 3\n");
  EXPECT_EQ(Left("0::/app/job\n"), 64 * kMiB);
  // A lower limit further down wins; one used past its limit has nothing.
  Put("app/job/memory.max", std::to_string(16 * kMiB));
  EXPECT_EQ(Left("0::/app/job\n"), 6 * kMiB);
  Put("app/job/memory.current", std::to_string(17 * kMiB));
  EXPECT_EQ(Left("0::/app/job\n"), 0u);
  // v1, among the other controllers' lines; its "no limit" is near 2^63.
  Put("memory/ctr/memory.limit_in_bytes", "9223372036854771712\n");
  Put("memory/memory.limit_in_bytes", std::to_string(128 * kMiB));
  Put("memory/memory.usage_in_bytes", std::to_string(40 * kMiB));
  Put("memory/memory.stat",
      "inactive_file 1\ntotal_inactive_file " + std::to_string(8 * kMiB));
  EXPECT_EQ(Left("5:devices:/ctr\n4:cpu,memory:/ctr\n0::/\n"), 96 * kMiB);
  // A container without a cgroup namespace sees the host's path, and its
  // own cgroup at the root.
  EXPECT_EQ(Left("4:memory:/docker/4f2a\n"), 96 * kMiB);
  // No limit anywhere, or no such files.
  Put("free/memory.max", "max\n");
  EXPECT_EQ(Left("0::/free\n4:blkio:/\n"), std::nullopt);
  EXPECT_EQ(Left("0::/nowhere\n"), std::nullopt);
  EXPECT_EQ(Left(""), std::nullopt);

  // The default budget takes half of it, as of MemAvailable.
  std::ifstream meminfo("/proc/meminfo");
  const std::string text((std::istreambuf_iterator<char>(meminfo)),
                         std::istreambuf_iterator<char>());
  if (internal::MemAvailableBytes(text).value_or(0) < 512 * kMiB) {
    GTEST_SKIP() << "too little memory here to tell the cgroup's part";
  }
  Put("proc-cgroup", "0::/app\n");
  internal::CgroupFilesInUse() = {.proc_cgroup = PathOf("proc-cgroup"),
                                  .root = dir_.string()};
  EXPECT_EQ(DefaultMemoryBudget(), 32 * kMiB);
}

}  // namespace
}  // namespace karvello
