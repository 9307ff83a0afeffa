// The list operations. Each edits one item list in place and returns nothing;
// none reports anything, and none keeps state between calls.
//
// Every operation leaves exactly the items, in exactly the order, that a
// straightforward scan over the list would leave, and compares items only
// under the item list's Equality and Containment rules (byte for byte, case
// and blanks significant). Faster methods (hashing, one-pass substring
// search, bulk removal) are used where they give the same result: a hash only
// proposes candidates, the bytes decide.
//
// Example:
//   a, b, a, d, b, a   --RemoveDupesExceptFirst-->   a, b, d
//   a, b, a, d, b, a   --RemoveAllDupes-->           d

#ifndef KARVELLO_LISTS_MAIN_H_
#define KARVELLO_LISTS_MAIN_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

// Removes every item whose text also occurs at a lower index: the first copy
// of each text stays, later copies go, the survivors keep their order.
void RemoveDupesExceptFirst(ItemList& list);

// Removes every item whose text occurs more than once, the first copy
// included. Exactly the items whose text was unique remain, in order.
void RemoveAllDupes(ItemList& list);

// Removes every item that contains `search`. An empty `search` leaves the
// list unchanged.
void RemoveItemsWith(ItemList& list, std::string_view search);

// Removes every item that does not contain `search`. An empty `search` leaves
// the list unchanged.
void RemoveItemsWithout(ItemList& list, std::string_view search);

// Removes every empty item. Items of blanks or tabs are not empty and stay.
void RemoveBlanks(ItemList& list);

// Removes from `target` every item equal to some item of `other`; `other` is
// only read. Copies in `target` all go or all stay; copies in `other` count
// once.
void SubtractList(ItemList& target, const ItemList& other);

// Removes from `target` every item equal to no item of `other`; `other` is
// only read.
void KeepOnlyMatches(ItemList& target, const ItemList& other);

// Marking variants, for running an operation on stand-ins for the items
// (their comparison keys, see ItemKey.h) and removing the originals. Each
// sets marks[i] to 1 for every item i that the operation of the same name
// would remove and to 0 for every other; `marks` holds one byte per item of
// `list` or `target`. The lists are only read.
//
//   keys = KeysOf(list, rules);  MarkDupesExceptFirst(keys, marks);
//   list.RemoveMarked(marks);    // the first copy of each key stays
void MarkDupesExceptFirst(const ItemList& list, std::span<std::uint8_t> marks);
void MarkAllDupes(const ItemList& list, std::span<std::uint8_t> marks);
void MarkItemsWith(const ItemList& list, std::string_view search,
                   std::span<std::uint8_t> marks);
void MarkItemsWithout(const ItemList& list, std::string_view search,
                      std::span<std::uint8_t> marks);
void MarkSubtract(const ItemList& target, const ItemList& other,
                  std::span<std::uint8_t> marks);
void MarkKeepOnlyMatches(const ItemList& target, const ItemList& other,
                         std::span<std::uint8_t> marks);

}  // namespace karvello

#endif  // KARVELLO_LISTS_MAIN_H_
