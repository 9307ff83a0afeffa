// How the default memory budget reads what the system tells, apart from the
// reading, so that a test can hand it the system's words.

#ifndef KARVELLO_PIPELINE_INTERNAL_BUDGET_H_
#define KARVELLO_PIPELINE_INTERNAL_BUDGET_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvello::internal {

// The bytes of the MemAvailable line of `meminfo`, the text of
// /proc/meminfo, which gives it in KiB ("MemAvailable:  8041012 kB");
// nothing when there is no such line.
std::optional<std::uint64_t> MemAvailableBytes(std::string_view meminfo);

// What the memory cgroups of a process have left, in bytes: for its cgroup
// and each one above it that has a limit, the limit less what it uses
// (less the file cache it can drop), and of those the least; nothing when
// none has a limit or none can be read. `proc_cgroup` is the text of
// /proc/self/cgroup, `root` where the cgroup file systems are mounted:
// cgroup v2's memory.max, memory.current and memory.stat in its folders,
// or v1's memory.limit_in_bytes, memory.usage_in_bytes and memory.stat
// under root/memory.
//
//   "0::/app" with root/app/memory.max 512M, memory.current 500M  -> 12M
std::optional<std::uint64_t> CgroupMemoryLeft(std::string_view proc_cgroup,
                                              const std::string& root);

// Where DefaultMemoryBudget looks for the cgroups; a test points it at a
// fake tree and restores it before it ends.
struct CgroupFiles {
  std::string proc_cgroup = "/proc/self/cgroup";
  std::string root = "/sys/fs/cgroup";
};
CgroupFiles& CgroupFilesInUse();

}  // namespace karvello::internal

#endif  // KARVELLO_PIPELINE_INTERNAL_BUDGET_H_
