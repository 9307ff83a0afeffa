#include "lists/CopyCounts.h"

#include <string_view>
#include <unordered_map>

namespace karvello {

std::vector<std::uint64_t> CountCopies(const ItemList& list) {
  const auto n = static_cast<std::size_t>(list.ListCount());
  std::vector<std::uint64_t> counts(n, 0);
  // The views point into the list, which stays unchanged meanwhile.
  std::unordered_map<std::string_view, std::size_t> first_of;
  first_of.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto found =
        first_of.try_emplace(list.List(static_cast<ItemList::Index>(i)), i);
    ++counts[found.first->second];
  }
  return counts;
}

}  // namespace karvello
