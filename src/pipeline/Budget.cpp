#include "pipeline/Pipeline.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "lists/internal/Cgroups.h"
#include "pipeline/internal/Budget.h"

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

namespace internal {

std::optional<std::uint64_t> MemAvailableBytes(std::string_view meminfo) {
  constexpr std::string_view kKey = "MemAvailable:";
  std::size_t at = meminfo.find(kKey);
  while (at != std::string_view::npos && at != 0 && meminfo[at - 1] != '\n') {
    at = meminfo.find(kKey, at + 1);
  }
  if (at == std::string_view::npos) return std::nullopt;
  at = meminfo.find_first_not_of(' ', at + kKey.size());
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t kib = 0;
  const auto [end, error] = std::from_chars(
      meminfo.data() + at, meminfo.data() + meminfo.size(), kib);
  if (error != std::errc() || kib > UINT64_MAX / 1024) return std::nullopt;
  return kib * 1024;
}

namespace {

// The number that the file at `path` starts with; nothing when it is
// missing or starts otherwise ("max", cgroup v2's no limit).
std::optional<std::uint64_t> NumberIn(const std::string& path) {
  std::ifstream file(path);
  std::uint64_t number = 0;
  if (!(file >> number)) return std::nullopt;
  return number;
}

// The value of the line "`key` N" of the memory.stat file at `path`.
std::optional<std::uint64_t> StatIn(const std::string& path,
                                    std::string_view key) {
  std::ifstream file(path);
  std::string name;
  std::uint64_t value = 0;
  while (file >> name >> value) {
    if (name == key) return value;
  }
  return std::nullopt;
}

// What the cgroup in the folder `dir` has left, when it has a limit. Cgroup
// v1 says "no limit" with a number near 2^63.
std::optional<std::uint64_t> LeftIn(const std::string& dir, bool v2) {
  const std::optional<std::uint64_t> limit =
      NumberIn(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
  if (!limit || *limit >= (std::uint64_t{1} << 62)) return std::nullopt;
  std::uint64_t used =
      NumberIn(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"))
          .value_or(0);
  const std::uint64_t cache =
      StatIn(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file")
          .value_or(0);
  used = used > cache ? used - cache : 0;
  return *limit > used ? *limit - used : 0;
}

}  // namespace

std::optional<std::uint64_t> CgroupMemoryLeft(std::string_view proc_cgroup,
                                              const std::string& root) {
  std::optional<std::uint64_t> least;
  ForEachCgroupFolder(proc_cgroup, root, "memory",
                      [&least](const std::string& folder, bool v2) {
                        if (const auto left = LeftIn(folder, v2)) {
                          least = std::min(least.value_or(*left), *left);
                        }
                      });
  return least;
}

CgroupFiles& CgroupFilesInUse() {
  static CgroupFiles files;
  return files;
}

}  // namespace internal

}  // namespace karvello
