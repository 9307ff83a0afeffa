#include "lists/internal/Cgroups.h"

#include <sstream>

namespace karvello::internal {

void ForEachCgroupFolder(
    std::string_view proc_cgroup, const std::string& root,
    std::string_view controller,
    const std::function<void(const std::string& folder, bool v2)>& visit) {
  std::string wanted = ",";
  wanted.append(controller).append(",");
  std::istringstream lines{std::string(proc_cgroup)};
  for (std::string line; std::getline(lines, line);) {
    // "hierarchy-ID:controllers:path"; v2's has ID 0 and no controllers.
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
    const bool v1 = ("," + controllers + ",").find(wanted) != std::string::npos;
    if (!v1 && !v2) continue;
    std::string base = root;
    if (!v2) base.append("/").append(controller);
    // Inside a container without a cgroup namespace the path is the host's
    // and only the root, which is the container's own, is there.
    std::string path = line.substr(second + 1);
    while (true) {
      visit(base + (path == "/" ? "" : path), v2);
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos || path == "/") break;
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  }
}

}  // namespace karvello::internal
