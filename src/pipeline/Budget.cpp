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

}  // namespace karvello
