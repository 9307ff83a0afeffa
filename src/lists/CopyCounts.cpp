#include "lists/CopyCounts.h"

#include <limits>

#include "lists/ItemHash.h"
#include "lists/Parallel.h"
#include "lists/internal/ItemTable.h"

namespace karvello {

namespace {

// The tables of the duplicate removal hold the first copy of each text, and
// name it for every later copy. Exact probes: no run to give up on, so no
// second start.
template <typename Index>
void Count(const ItemList& list, std::vector<std::uint64_t>& counts) {
  internal::ListTables<Index> tables(
      list, PartsFor(static_cast<std::uint64_t>(counts.size())));
  // A copy and its first item lie in the same part: one thread counts both.
  tables.FillExactly(ItemHasher(), [&](std::size_t i, std::size_t first) {
    counts[i] = 0;
    ++counts[first];
  });
}

}  // namespace

std::vector<std::uint64_t> CountCopies(const ItemList& list) {
  const auto n = static_cast<std::size_t>(list.ListCount());
  std::vector<std::uint64_t> counts(n, 1);
  if (n < std::numeric_limits<std::uint32_t>::max()) {
    Count<std::uint32_t>(list, counts);
  } else {
    Count<std::uint64_t>(list, counts);
  }
  return counts;
}

}  // namespace karvello
