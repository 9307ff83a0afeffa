#include "pipeline/Pipeline.h"

#include <charconv>

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

}  // namespace internal

}  // namespace karvello
