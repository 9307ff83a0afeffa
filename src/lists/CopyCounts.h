// How many copies each text of a list has.

#ifndef KARVELLO_LISTS_COPYCOUNTS_H_
#define KARVELLO_LISTS_COPYCOUNTS_H_

#include <cstdint>
#include <vector>

#include "lists/ItemList.h"

namespace karvello {

// For every item i of `list`: the number of items with the same text (item i
// included) when i is the first of them, and 0 when an earlier item has the
// same text. The items with a count other than 0 are exactly the ones that
// RemoveDupesExceptFirst keeps. Comparison is byte for byte; to count by a
// looser rule, count the keys (ItemKey.h).
//
//   a, b, a, a   gives   3, 1, 0, 0
std::vector<std::uint64_t> CountCopies(const ItemList& list);

}  // namespace karvello

#endif  // KARVELLO_LISTS_COPYCOUNTS_H_
