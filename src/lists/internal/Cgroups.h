// The folders of a process's cgroups, where the CPU count and the memory
// budget read the limits that the system puts on the process.

#ifndef KARVELLO_LISTS_INTERNAL_CGROUPS_H_
#define KARVELLO_LISTS_INTERNAL_CGROUPS_H_

#include <functional>
#include <string>
#include <string_view>

namespace karvello::internal {

// Calls `visit(folder, v2)` for each cgroup of the process that the
// `controller` ("cpu", "memory") governs, from its own up to the root of its
// hierarchy: cgroup v2's folders under `root`, v1's under root/controller.
// `proc_cgroup` is the text of /proc/self/cgroup; lines it cannot read are
// passed over.
//
//   "0::/a/b" under "/sys/fs/cgroup"  ->  /sys/fs/cgroup/a/b,
//                                         /sys/fs/cgroup/a, /sys/fs/cgroup
void ForEachCgroupFolder(
    std::string_view proc_cgroup, const std::string& root,
    std::string_view controller,
    const std::function<void(const std::string& folder, bool v2)>& visit);

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_CGROUPS_H_
