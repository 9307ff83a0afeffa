// Orders of the items of a list, for the operations that reorder: by the
// bytes of their texts, by their texts read as runs of digits and of other
// bytes, or reversed. Every order here is stable: items with equal texts
// keep the order they had.
//
//   "b", "a10", "a9", "B"   by bytes:              "B", "a10", "a9", "b"
//                           natural:               "B", "a9", "a10", "b"
//                           by bytes, descending:  "b", "a9", "a10", "B"

#ifndef KARVELLO_LISTS_ORDERING_H_
#define KARVELLO_LISTS_ORDERING_H_

#include <string_view>
#include <vector>

#include "lists/ItemList.h"

namespace karvello {

// How SortOrder compares two texts.
struct SortRules {
  // The greater text first; equal texts still keep their order.
  bool descending = false;
  // By CompareNatural instead of by bytes.
  bool natural = false;
};

// The order of `a` and `b` (< 0, 0, > 0) by their bytes, compared as
// unsigned, a text before its extensions.
int CompareBytes(std::string_view a, std::string_view b) noexcept;

// The order of `a` and `b` (< 0, 0, > 0) when each is read as runs, a run
// being a maximal run of ASCII digits or a maximal run of other bytes. Runs
// compare in turn: two digit runs by their value, then the one with fewer
// leading zeros first; any other two by CompareBytes. A text whose runs are
// a prefix of the other's comes first. Only equal texts compare equal.
//
//   "x9" < "x09" < "x10",   "file2" < "file10",   "a" < "a1" < "a!"
int CompareNatural(std::string_view a, std::string_view b) noexcept;

// The indices of the items of `list` in the order of their texts under
// `rules`: order[k] is the index of the item that goes to place k, ready for
// ItemList::Reorder. Large lists are sorted on two threads.
std::vector<ItemList::Index> SortOrder(const ItemList& list,
                                       const SortRules& rules);

// The indices of `count` items, last first.
std::vector<ItemList::Index> ReversedOrder(ItemList::Index count);

}  // namespace karvello

#endif  // KARVELLO_LISTS_ORDERING_H_
