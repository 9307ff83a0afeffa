// The two marking passes that the duplicate and two-list operations are
// built on, choosing between the tables (ItemTable.h) and the buckets
// (Buckets.h) by the size of the lists.
//
// The hash is a template parameter so that tests can force collisions.
// Whatever it does, the marks are exactly those of a scan that compares
// bytes, and a hash that sends every item to one slot costs a sort by bytes
// (O(n log n)) rather than a probe per pair of items.

#ifndef KARVELLO_LISTS_INTERNAL_MARKING_H_
#define KARVELLO_LISTS_INTERNAL_MARKING_H_

#include <cstdint>
#include <cstring>
#include <limits>

#include "lists/ItemHash.h"
#include "lists/ItemList.h"
#include "lists/internal/Buckets.h"
#include "lists/internal/ItemTable.h"

namespace karvello::internal {

// How MarkRepeats and MarkMatches work: chosen by the size of the lists, or
// forced by tests.
enum class RepeatMethod { kAuto, kTables, kBuckets };

// Below this many items (of the list, or of the other list) the tables fit
// in the cache anyway.
inline constexpr std::uint64_t kBucketsFrom = std::uint64_t{1} << 18;

// Lists of this many items or more need 64-bit table indices and are marked
// with exact probes alone.
inline constexpr std::uint64_t kWideFrom =
    std::numeric_limits<std::uint32_t>::max();

// Sets marks[i] for every item i of `list` whose text occurs at a lower
// index, and, when `mark_first`, also for the first copy of every text that
// occurs more than once. `marks` must be all zero on entry. Uses up to
// `parts` threads.
template <typename Hasher = ItemHasher>
void MarkRepeats(const ItemList& list, std::uint8_t* marks, bool mark_first,
                 int parts, const Hasher& hasher = Hasher(),
                 RepeatMethod method = RepeatMethod::kAuto) {
  const auto n = static_cast<std::uint64_t>(list.ListCount());
  if (n >= kWideFrom) {
    (void)MarkRepeatsWith<std::uint64_t>(list, marks, mark_first, parts, hasher,
                                         /*may_fail=*/false);
    return;
  }
  if (method == RepeatMethod::kAuto) {
    method = n >= kBucketsFrom ? RepeatMethod::kBuckets : RepeatMethod::kTables;
  }
  if (method == RepeatMethod::kTables) {
    if (MarkRepeatsWith<std::uint32_t>(list, marks, mark_first, parts, hasher,
                                       /*may_fail=*/true)) {
      return;
    }
    std::memset(marks, 0, n);
  }
  MarkRepeatsByBuckets(list, marks, mark_first, parts, hasher);
}

// Sets marks[i] to `found` for every item i of `target` whose text equals
// the text of some item of `other`, and to `!found` for every other item.
// `target` and `other` may be the same list. Uses up to `parts` threads.
template <typename Hasher = ItemHasher>
void MarkMatches(const ItemList& target, const ItemList& other,
                 std::uint8_t* marks, bool found, int parts,
                 const Hasher& hasher = Hasher(),
                 RepeatMethod method = RepeatMethod::kAuto) {
  const auto n = static_cast<std::uint64_t>(other.ListCount());
  const bool narrow = n < kWideFrom && static_cast<std::uint64_t>(
                                           target.ListCount()) < kWideFrom;
  if (!narrow) {
    const bool done =
        n < kWideFrom
            ? MarkMatchesWith<std::uint32_t>(target, other, marks, found, parts,
                                             hasher, /*may_fail=*/false)
            : MarkMatchesWith<std::uint64_t>(target, other, marks, found, parts,
                                             hasher, /*may_fail=*/false);
    (void)done;
    return;
  }
  if (method == RepeatMethod::kAuto) {
    method = n >= kBucketsFrom ? RepeatMethod::kBuckets : RepeatMethod::kTables;
  }
  if (method == RepeatMethod::kTables &&
      MarkMatchesWith<std::uint32_t>(target, other, marks, found, parts, hasher,
                                     /*may_fail=*/true)) {
    return;
  }
  MarkMatchesByBuckets(target, other, marks, found, parts, hasher);
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_MARKING_H_
