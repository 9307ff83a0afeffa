#include "lists/Ordering.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "lists/Parallel.h"
#include "lists/internal/TextSort.h"

namespace karvello {

namespace {

using Index = ItemList::Index;

bool IsDigit(char c) noexcept {
  return static_cast<unsigned char>(c) - unsigned{'0'} < 10;
}

// The end of the run that starts at `from`.
std::size_t RunEnd(std::string_view text, std::size_t from) noexcept {
  const bool digits = IsDigit(text[from]);
  std::size_t end = from + 1;
  while (end < text.size() && IsDigit(text[end]) == digits) ++end;
  return end;
}

// Two runs of digits: by value, then fewer leading zeros first.
int CompareNumbers(std::string_view a, std::string_view b) noexcept {
  const std::string_view a_value =
      a.substr(std::min(a.find_first_not_of('0'), a.size()));
  const std::string_view b_value =
      b.substr(std::min(b.find_first_not_of('0'), b.size()));
  if (a_value.size() != b_value.size()) {
    return a_value.size() < b_value.size() ? -1 : 1;
  }
  const int order =
      a_value.empty()
          ? 0
          : std::memcmp(a_value.data(), b_value.data(), a_value.size());
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Sorts `order` stably by `less` on two threads when it is long: each half
// on its own, then one merge that takes from the first half on ties.
template <typename Less>
void StableSort(std::vector<Index>& order, Less less) {
  const int parts = PartsFor(order.size());
  if (parts < 2) {
    std::stable_sort(order.begin(), order.end(), less);
    return;
  }
  const auto middle =
      order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2);
  RunParts(2, [&](int part) {
    if (part == 0) {
      std::stable_sort(order.begin(), middle, less);
    } else {
      std::stable_sort(middle, order.end(), less);
    }
  });
  std::vector<Index> merged(order.size());
  std::merge(order.begin(), middle, middle, order.end(), merged.begin(), less);
  order.swap(merged);
}

// Byte order through the radix sort, which takes 32-bit indices.
std::vector<Index> ByteOrder(const ItemList& list) {
  const ItemList::Storage items = list.RawStorage();
  if (items.count > std::numeric_limits<std::uint32_t>::max()) {
    std::vector<Index> order(items.count);
    std::iota(order.begin(), order.end(), Index{0});
    StableSort(order, [&list](Index a, Index b) {
      return CompareBytes(list.UncheckedItem(a), list.UncheckedItem(b)) < 0;
    });
    return order;
  }
  std::vector<std::uint32_t> indices(items.count);
  std::iota(indices.begin(), indices.end(), std::uint32_t{0});
  internal::SortByText(items, indices.data(), indices.size(),
                       PartsFor(items.count));
  // Only now, when the sort's own records are gone.
  return std::vector<Index>(indices.begin(), indices.end());
}

// Turns an ascending stable order into a descending stable one: the runs
// of equal texts go in reverse, each keeping its own order.
void Descend(const ItemList& list, std::vector<Index>& order) {
  std::reverse(order.begin(), order.end());
  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin + 1;
    while (end < order.size() &&
           list.UncheckedItem(order[end]) == list.UncheckedItem(order[begin])) {
      ++end;
    }
    std::reverse(order.begin() + static_cast<std::ptrdiff_t>(begin),
                 order.begin() + static_cast<std::ptrdiff_t>(end));
    begin = end;
  }
}

}  // namespace

int CompareBytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int CompareNatural(std::string_view a, std::string_view b) noexcept {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const std::size_t a_end = RunEnd(a, i);
    const std::size_t b_end = RunEnd(b, j);
    const std::string_view a_run = a.substr(i, a_end - i);
    const std::string_view b_run = b.substr(j, b_end - j);
    const int order = IsDigit(a[i]) && IsDigit(b[j])
                          ? CompareNumbers(a_run, b_run)
                          : CompareBytes(a_run, b_run);
    if (order != 0) return order;
    i = a_end;
    j = b_end;
  }
  return (i < a.size() ? 1 : 0) - (j < b.size() ? 1 : 0);
}

std::vector<Index> SortOrder(const ItemList& list, const SortRules& rules) {
  std::vector<Index> order;
  if (rules.natural) {
    order.resize(static_cast<std::size_t>(list.ListCount()));
    std::iota(order.begin(), order.end(), Index{0});
    StableSort(order, [&list](Index a, Index b) {
      return CompareNatural(list.UncheckedItem(a), list.UncheckedItem(b)) < 0;
    });
  } else {
    order = ByteOrder(list);
  }
  if (rules.descending) Descend(list, order);
  return order;
}

std::vector<Index> ReversedOrder(Index count) {
  std::vector<Index> order(static_cast<std::size_t>(std::max<Index>(count, 0)));
  std::iota(order.rbegin(), order.rend(), Index{0});
  return order;
}

}  // namespace karvello
