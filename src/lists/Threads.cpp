#include "lists/Threads.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

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
  std::istringstream lines{std::string(proc_cgroup)};
  for (std::string line; std::getline(lines, line);) {
    // "hierarchy-ID:controllers:path"; v2's has ID 0 and no controllers.
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
    const bool v1 =
        ("," + controllers + ",").find(",cpu,") != std::string::npos;
    if (!v1 && !v2) continue;
    const std::string base = v2 ? root : root + "/cpu";
    // From the cgroup up to the root of its hierarchy; inside a container
    // without a cgroup namespace the path is the host's and only the root,
    // which is the container's own, is there.
    std::string path = line.substr(second + 1);
    while (true) {
      if (const auto limit = LimitIn(base + (path == "/" ? "" : path), v2)) {
        least = std::min(least.value_or(*limit), *limit);
      }
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos || path == "/") break;
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  }
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
