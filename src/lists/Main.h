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

}  // namespace karvello

#endif  // KARVELLO_LISTS_MAIN_H_
