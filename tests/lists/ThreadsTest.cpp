#include "lists/Threads.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>

#include <sched.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <vector>

#include "lists/Parallel.h"
#include "lists/internal/Cpus.h"
#include "support/FolderTest.h"

namespace karvello {
namespace {

// Which of SIGINT, SIGTERM and SIGHUP the calling thread blocks, as a
// string such as "INT TERM HUP" or "".
std::string StopSignalsBlockedHere() {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  std::string blocked;
  for (const auto& [number, name] :
       {std::pair{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}}) {
    if (sigismember(&mask, number) == 1) {
      blocked += blocked.empty() ? name : std::string(" ") + name;
    }
  }
  return blocked;
}

// A save on the starting thread holds these signals only for a moment; a
// helper thread that took one then would end the run half-way through it.
TEST(ThreadsTest, HelperThreadsLeaveTheStopSignalsToTheStartingThread) {
  ASSERT_EQ(StopSignalsBlockedHere(), "");
  std::string in_thread;
  StartThread([&] { in_thread = StopSignalsBlockedHere(); }).join();
  EXPECT_EQ(in_thread, "INT TERM HUP");
  std::vector<std::string> in_parts(3);
  RunParts(3, [&](int part) { in_parts[part] = StopSignalsBlockedHere(); });
  EXPECT_EQ(in_parts,
            (std::vector<std::string>{"", "INT TERM HUP", "INT TERM HUP"}));
  // The starting thread's own mask is as it was.
  EXPECT_EQ(StopSignalsBlockedHere(), "");
}

class CpusTest : public testing::FolderTest {
 protected:
  void TearDown() override {
    internal::CpuCgroupFilesInUse() = internal::CpuCgroupFiles();
    FolderTest::TearDown();
  }
  // Writes `text` to `path` in the fake cgroup tree, making its folders.
  void Put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories((dir_ / path).parent_path());
    std::ofstream(dir_ / path) << text;
  }
  std::optional<int> Limit(const std::string& proc_cgroup) {
    return internal::CgroupCpuLimit(proc_cgroup, dir_.string());
  }
};

// A container given part of the machine's CPUs sees them all in its
// affinity; a second thread there only queues behind the first.
TEST_F(CpusTest, TheLeastQuotaOfAnyCgroupAboveCounts) {
  // v2: the quota is on the parent, rounded up.
  Put("app/job/cpu.max", "max 100000\n");
  Put("app/cpu.max", "150000 100000\n");
  EXPECT_EQ(Limit("0::/app/job\n"), 2);
  // A lower quota further down wins.
  Put("app/job/cpu.max", "50000 100000\n");
  EXPECT_EQ(Limit("0::/app/job\n"), 1);
  // v1, among the other controllers' lines; -1 is its "no quota".
  Put("cpu/ctr/cpu.cfs_quota_us", "-1\n");
  Put("cpu/ctr/cpu.cfs_period_us", "100000\n");
  Put("cpu/cpu.cfs_quota_us", "300000\n");
  Put("cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(Limit("5:devices:/ctr\n4:cpu,cpuacct:/ctr\n"), 3);
  // No quota anywhere, or no such files.
  Put("free/cpu.max", "max 100000\n");
  EXPECT_EQ(Limit("0::/free\n4:blkio:/\n"), std::nullopt);
  EXPECT_EQ(Limit("0::/nowhere\n"), std::nullopt);
  EXPECT_EQ(Limit(""), std::nullopt);
}

// The work in parts goes on one thread when the process may use only one
// CPU, by its affinity (taskset) or by its cgroup's quota.
TEST_F(CpusTest, OneUsableCpuMeansOnePart) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  if (CPU_COUNT(&saved) < 2) GTEST_SKIP() << "one CPU only";
  const std::uint64_t kMany = kTwoThreadsFrom * 10;
  EXPECT_EQ(UsableCpus(), CPU_COUNT(&saved));
  EXPECT_EQ(PartsFor(kMany), 2);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int by_affinity = UsableCpus();
  const int parts_by_affinity = PartsFor(kMany);
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(by_affinity, 1);
  EXPECT_EQ(parts_by_affinity, 1);

  Put("proc-cgroup", "0::/box\n");
  Put("box/cpu.max", "100000 100000\n");
  internal::CpuCgroupFilesInUse() = {
      .proc_cgroup = (dir_ / "proc-cgroup").string(), .root = dir_.string()};
  EXPECT_EQ(UsableCpus(), 1);
  EXPECT_EQ(PartsFor(kMany), 1);
}

}  // namespace
}  // namespace karvello
#endif
