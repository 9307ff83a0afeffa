#include "lists/Threads.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "lists/internal/Cgroups.h"
#include "lists/internal/Cpus.h"

#ifdef _WIN32
#include <windows.h>

#include <bit>
#else
#include <sched.h>
#endif

namespace karvello {

namespace internal {

namespace {

// The CPUs that the quota in the cgroup folder `dir` allows, if it has one.
std::optional<int> LimitIn(const std::string& dir, bool v2) {
  std::int64_t quota = 0;
  std::int64_t period = 0;
  if (v2) {
    std::ifstream file(dir + "/cpu.max");
    // "max 100000" fails the first number: no quota.
    if (!(file >> quota >> period)) return std::nullopt;
  } else {
    std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
    std::ifstream period_file(dir + "/cpu.cfs_period_us");
    if (!(quota_file >> quota) || !(period_file >> period)) return std::nullopt;
  }
  if (quota <= 0 || period <= 0) return std::nullopt;
  const std::int64_t cpus = (quota + period - 1) / period;
  return static_cast<int>(std::clamp<std::int64_t>(cpus, 1, 1 << 20));
}

}  // namespace

std::optional<int> CgroupCpuLimit(std::string_view proc_cgroup,
                                  const std::string& root) {
  std::optional<int> least;
  ForEachCgroupFolder(proc_cgroup, root, "cpu",
                      [&least](const std::string& folder, bool v2) {
                        if (const auto limit = LimitIn(folder, v2)) {
                          least = std::min(least.value_or(*limit), *limit);
                        }
                      });
  return least;
}

CpuCgroupFiles& CpuCgroupFilesInUse() {
  static CpuCgroupFiles files;
  return files;
}

}  // namespace internal

int UsableCpus() {
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  return std::max(1, std::popcount(static_cast<std::uint64_t>(process)));
#else
  int cpus = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    cpus = CPU_COUNT(&set);
  } else {
    // More CPUs than a cpu_set_t holds.
    cpus = static_cast<int>(std::thread::hardware_concurrency());
  }
  const internal::CpuCgroupFiles& files = internal::CpuCgroupFilesInUse();
  std::ifstream cgroup_file(files.proc_cgroup);
  const std::string cgroup((std::istreambuf_iterator<char>(cgroup_file)),
                           std::istreambuf_iterator<char>());
  if (const auto limit = internal::CgroupCpuLimit(cgroup, files.root)) {
    cpus = std::min(cpus, *limit);
  }
  return std::max(1, cpus);
#endif
}

}  // namespace karvello
