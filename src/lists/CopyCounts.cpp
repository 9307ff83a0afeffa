#include "lists/CopyCounts.h"

#include <bit>
#include <limits>
#include <string_view>

#include "lists/internal/ItemHash.h"

namespace karvello {

namespace {

// An open-addressing table of first-copy indices (plus one; zero is an empty
// slot), at most half full, with slots as narrow as the list allows: the
// table is probed once per item at random, so its size decides the time.
// The hash only proposes a slot; the bytes decide. It is the keyed item
// hash, so that items chosen to collide elsewhere do not collide here.
template <typename Slot>
void Count(const ItemList& list, std::vector<std::uint64_t>& counts) {
  const std::size_t n = counts.size();
  const std::size_t mask = std::bit_ceil(n * 2) - 1;
  std::vector<Slot> slots(mask + 1, 0);
  const internal::ItemHasher hash;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view text = list.List(static_cast<ItemList::Index>(i));
    for (std::size_t at = static_cast<std::size_t>(hash(text)) & mask;; at = (at + 1) & mask) {
      const std::size_t first = slots[at];
      if (first == 0) {
        slots[at] = static_cast<Slot>(i + 1);
        counts[i] = 1;
        break;
      }
      if (list.List(static_cast<ItemList::Index>(first - 1)) == text) {
        ++counts[first - 1];
        break;
      }
    }
  }
}

}  // namespace

std::vector<std::uint64_t> CountCopies(const ItemList& list) {
  const auto n = static_cast<std::size_t>(list.ListCount());
  std::vector<std::uint64_t> counts(n, 0);
  if (n < std::numeric_limits<std::uint32_t>::max()) {
    Count<std::uint32_t>(list, counts);
  } else {
    Count<std::uint64_t>(list, counts);
  }
  return counts;
}

}  // namespace karvello
