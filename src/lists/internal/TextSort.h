// Exact marking by sorting, for when hashing cannot be trusted to spread a
// group of items: however the items were chosen, sorting them by their bytes
// costs O(n log n) comparisons, where a table whose hashes all collide costs
// O(n^2).

#ifndef KARVELLO_LISTS_INTERNAL_TEXTSORT_H_
#define KARVELLO_LISTS_INTERNAL_TEXTSORT_H_

#include <cstddef>
#include <cstdint>

#include "lists/ItemList.h"

namespace karvello::internal {

// Orders the item indices `indices[0 .. count)` of `items` by the bytes of
// their texts (byte-wise, a shorter text before its extensions), and items
// with equal texts by index.
//
// Uses up to `parts` threads.
//
// Example: items "b", "a", "b", "" at indices 0 .. 3 sort to 3, 1, 0, 2.
void SortByText(const ItemList::Storage& items, std::uint32_t* indices,
                std::size_t count, int parts = 1);

// Sets marks[i] for each item i of `members` as a repeat scan over the whole
// list would: 1 when its text occurs at a lower index, or, with
// `mark_first`, when it is the first of several copies; 0 otherwise.
// `members` must hold every copy of every text it holds. Uses up to `parts`
// threads.
void MarkRepeatsBySorting(const ItemList::Storage& items,
                          const std::uint32_t* members, std::size_t count,
                          std::uint8_t* marks, bool mark_first, int parts);

// Sets marks[i] for each item i of `members` (items of `items`) to `found`
// when its text equals that of some item of `other_members` (items of
// `others`), and to `!found` otherwise. Uses up to `parts` threads.
void MarkMatchesBySorting(const ItemList::Storage& items,
                          const std::uint32_t* members, std::size_t count,
                          const ItemList::Storage& others,
                          const std::uint32_t* other_members,
                          std::size_t other_count, std::uint8_t* marks,
                          bool found, int parts);

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_TEXTSORT_H_
