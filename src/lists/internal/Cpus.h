// How UsableCpus (Threads.h) reads the CPU quota of the process's cgroups,
// apart from the reading, so that a test can hand it a tree of its own.

#ifndef KARVELLO_LISTS_INTERNAL_CPUS_H_
#define KARVELLO_LISTS_INTERNAL_CPUS_H_

#include <optional>
#include <string>
#include <string_view>

namespace karvello::internal {

// The CPUs that the quotas of a process's cgroups allow it, rounded up: of
// its cgroup and each one above it that has a quota, the least; nothing
// when none has a quota or none can be read. `proc_cgroup` is the text of
// /proc/self/cgroup, `root` where the cgroup file systems are mounted:
// cgroup v2's cpu.max ("150000 100000", or "max 100000" for none) in its
// folders, or v1's cpu.cfs_quota_us (-1 for none) and cpu.cfs_period_us
// under root/cpu.
//
//   "0::/app" with root/app/cpu.max "150000 100000"  -> 2
std::optional<int> CgroupCpuLimit(std::string_view proc_cgroup,
                                  const std::string& root);

// Where UsableCpus looks for the cgroups; a test points it at a fake tree
// and restores it before it ends.
struct CpuCgroupFiles {
  std::string proc_cgroup = "/proc/self/cgroup";
  std::string root = "/sys/fs/cgroup";
};
CpuCgroupFiles& CpuCgroupFilesInUse();

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_CPUS_H_
