#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "pipeline/Pipeline.h"

namespace karvello {

bool ParseMemorySize(std::string_view text, std::size_t& bytes) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || text.size() - digits > 1) return false;
  int shift = 0;
  if (digits < text.size()) {
    constexpr std::string_view kUnits = "kmgt";
    const std::size_t unit =
        kUnits.find(static_cast<char>(text[digits] | 0x20));
    if (unit == std::string_view::npos) return false;
    shift = 10 * static_cast<int>(unit + 1);
  }
  if (value == 0 || value > (SIZE_MAX >> shift)) return false;
  bytes = static_cast<std::size_t>(value << shift);
  return true;
}

std::size_t DefaultMemoryBudget() {
  std::uint64_t budget = std::uint64_t{1} << 30;
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") {
      budget = kib * 1024 / 2;
      break;
    }
    meminfo.ignore(256, '\n');
  }
  // An address-space limit counts the program, its libraries, thread
  // stacks and mappings that are only reserved, not just the lists. The
  // libraries alone can take tens of megabytes, so the quarter is of what
  // is left after them.
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t in_use = 0;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages;
    if (statm >> pages) {
      in_use = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    const std::uint64_t room =
        limit.rlim_cur > in_use ? (limit.rlim_cur - in_use) / 4 : 0;
    budget = std::min(budget, room);
  }
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(budget, kSmallestBudget));
}

std::string DefaultTempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

}  // namespace karvello
