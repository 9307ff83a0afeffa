// How the default memory budget reads what the system tells, apart from the
// reading, so that a test can hand it the system's words.

#ifndef KARVELLO_PIPELINE_INTERNAL_BUDGET_H_
#define KARVELLO_PIPELINE_INTERNAL_BUDGET_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvello::internal {

// The bytes of the MemAvailable line of `meminfo`, the text of
// /proc/meminfo, which gives it in KiB ("MemAvailable:  8041012 kB");
// nothing when there is no such line.
std::optional<std::uint64_t> MemAvailableBytes(std::string_view meminfo);

}  // namespace karvello::internal

#endif  // KARVELLO_PIPELINE_INTERNAL_BUDGET_H_
