#include "lists/CopyCounts.h"

#include <bit>
#include <functional>
#include <string_view>

namespace karvello {

std::vector<std::uint64_t> CountCopies(const ItemList& list) {
  const auto n = static_cast<std::size_t>(list.ListCount());
  std::vector<std::uint64_t> counts(n, 0);
  if (n == 0) return counts;
  // An open-addressing table of first-copy indices (plus one; zero is an
  // empty slot), at most half full. The hash only proposes a slot; the bytes
  // decide.
  const std::size_t size = std::bit_ceil(n * 2);
  const std::size_t mask = size - 1;
  std::vector<std::size_t> slots(size, 0);
  const std::hash<std::string_view> hash;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view text = list.List(static_cast<ItemList::Index>(i));
    for (std::size_t at = hash(text) & mask;; at = (at + 1) & mask) {
      const std::size_t first = slots[at];
      if (first == 0) {
        slots[at] = i + 1;
        counts[i] = 1;
        break;
      }
      if (list.List(static_cast<ItemList::Index>(first - 1)) == text) {
        ++counts[first - 1];
        break;
      }
    }
  }
  return counts;
}

}  // namespace karvello
