// The undo history's door into an item list, and nobody else's: being told of
// each removal before it happens, keeping the bytes of removed items where
// they lie, and putting items back without copying a byte of text. Only
// UndoHistory.cpp goes through it; ItemList.h shows none of it.

#ifndef KARVELLO_LISTS_INTERNAL_UNDODOOR_H_
#define KARVELLO_LISTS_INTERNAL_UNDODOOR_H_

#include <cstdint>
#include <span>
#include <vector>

namespace karvello {

class ItemList;

namespace internal {

// What a prepared change (ItemList::Change) records for a history, worked
// out with the change: for a removal, one bit per item before it, set for
// the removed ones, and where their bytes lie in the storage (as
// RestoreRemoved takes them); for a reorder, the order (item order[k] went
// to place k).
struct ChangeRecord {
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> lengths;
  std::vector<std::int64_t> order;
};

// Told of each removal from an item list just before it happens, while the
// items are still there, so that the removal can be taken back later. The
// calls must not change the list, except that WillClear may move the items
// out (the list is emptied right after anyway).
class RemovalObserver {
 public:
  virtual ~RemovalObserver() = default;
  // RemoveMarked(marks), with the marks already checked against the count.
  virtual void WillRemoveMarked(const ItemList& list,
                                std::span<const std::uint8_t> marks) = 0;
  virtual void WillRemoveItem(const ItemList& list, std::int64_t i) = 0;
  // Reorder(order), with `order` already checked.
  virtual void WillReorder(const ItemList& list,
                           std::span<const std::int64_t> order) = 0;
  virtual void WillClear(ItemList& list) = 0;
  // Take(change) of a change that does something; the observer may move
  // what it keeps out of `record`.
  virtual void WillTake(const ItemList& list, ChangeRecord& record) = 0;
};

// What an item list keeps for its history. It belongs to the list object:
// copies and moves of the list never take it.
struct UndoHooks {
  UndoHooks() = default;
  UndoHooks(const UndoHooks&) noexcept {}
  UndoHooks& operator=(const UndoHooks&) noexcept { return *this; }
  RemovalObserver* observer = nullptr;
  // Removed bytes stay in the storage (see HoldRemovedBytes).
  bool hold = false;
};

class UndoDoor {
 public:
  // Sets the observer told of every later removal from `list`; nullptr for
  // none.
  static void SetRemovalObserver(ItemList& list,
                                 RemovalObserver* observer) noexcept;

  // While held, the bytes of items removed from `list` stay where they are
  // in its storage (nothing is compacted or freed by a removal), so that
  // RestoreRemoved can put the items back. Releasing the hold compacts the
  // storage if removals left it more than half dead.
  static void HoldRemovedBytes(ItemList& list, bool hold) noexcept;

  // Removes the items from index `count` on; a `count` at or past the end
  // leaves the list as it is. The selection is cleared when its item goes.
  // Held bytes of items removed earlier stay.
  static void Truncate(ItemList& list, std::int64_t count) noexcept;

  // Puts back items removed while the bytes were held, the reverse of
  // RemoveMarked: the list grows by offsets.size() items, and position p of
  // the result holds the next of the removed items (the `lengths[k]` bytes
  // at storage offset `offsets[k]`, as RawStorage showed them before the
  // removal) when bit p of `bits` is set (bits[p / 64] >> (p % 64) & 1),
  // the next item of the list otherwise. One pass over the index. The
  // selection is cleared. Throws std::invalid_argument when the set bits do
  // not number offsets.size(), or the ranges are not dead bytes of the
  // storage, and std::bad_alloc when memory runs out; the list is then
  // unchanged.
  //   list a, d  +  removed b, c at bits 0b0110   gives   a, b, c, d
  static void RestoreRemoved(ItemList& list,
                             std::span<const std::uint64_t> bits,
                             std::span<const std::uint64_t> offsets,
                             std::span<const std::uint32_t> lengths);
};

}  // namespace internal
}  // namespace karvello

#endif  // KARVELLO_LISTS_INTERNAL_UNDODOOR_H_
