// The item list: the ordered list of byte-string items that one list box
// shows, with the operations the rest of the program uses on it.
//
// Items are byte strings, kept exactly as added (NUL bytes, invalid UTF-8 and
// all). Two comparison rules hold everywhere in the program:
//   - Equality: two items are equal when their bytes are identical. Case,
//     blanks and encoding all count: "Apple", "apple" and "apple " are three
//     different items. The empty item equals only another empty item.
//   - Containment: an item contains a search string when the string's bytes
//     occur in it as one contiguous run.
//
// Storage is one byte arena plus an offset and a length per item, so a list
// of ten million 19-byte items costs about 310 MB (the peak memory report of
// bench/ListsBench.cpp). Counts and indices are 64-bit: a list holds as many
// items as memory allows.
//
// Example:
//   ItemList list;
//   list.AddItem("red");
//   list.AddItem("");
//   list.AddItem("green");
//   list.RemoveItem(1);         // "red", "green"
//   list.List(1) == "green";

#ifndef KARVELLO_LISTS_ITEMLIST_H_
#define KARVELLO_LISTS_ITEMLIST_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "lists/internal/PodBuffer.h"
#include "lists/internal/UndoDoor.h"

namespace karvello {

class ItemList {
 public:
  // A count or an index. -1 is "no item" (see ListIndex).
  using Index = std::int64_t;

  ItemList() = default;
  ItemList(const ItemList&) = default;
  // A move leaves the source empty, with nothing selected.
  ItemList(ItemList&& other) noexcept
      : bytes_(std::move(other.bytes_)),
        offsets_(std::move(other.offsets_)),
        lengths_(std::move(other.lengths_)),
        garbage_(std::exchange(other.garbage_, 0)),
        list_index_(std::exchange(other.list_index_, -1)),
        in_order_(std::exchange(other.in_order_, true)) {}
  ItemList& operator=(const ItemList&) = default;
  ItemList& operator=(ItemList&& other) noexcept {
    if (this != &other) {
      bytes_ = std::move(other.bytes_);
      offsets_ = std::move(other.offsets_);
      lengths_ = std::move(other.lengths_);
      garbage_ = std::exchange(other.garbage_, 0);
      list_index_ = std::exchange(other.list_index_, -1);
      in_order_ = std::exchange(other.in_order_, true);
    }
    return *this;
  }

  // The number of items.
  Index ListCount() const noexcept {
    return static_cast<Index>(lengths_.size());
  }

  // The text of item `i`. The view stays valid until the list is next
  // changed. Throws std::out_of_range unless 0 <= i < ListCount().
  std::string_view List(Index i) const;

  // The text of item `i`, without the range check, for loops that already
  // keep `i` within 0 .. ListCount() - 1.
  std::string_view UncheckedItem(Index i) const noexcept {
    return std::string_view(bytes_.data() + offsets_[static_cast<size_t>(i)],
                            lengths_[static_cast<size_t>(i)]);
  }

  // Appends `text` as the new last item. Throws std::bad_alloc when memory
  // runs out (the list is then unchanged) and std::length_error for a single
  // item of 4 GiB or more.
  void AddItem(std::string_view text);

  // Removes item `i`; every later item moves down one index. The selection
  // follows its item, and becomes -1 when the selected item is removed.
  // Throws std::out_of_range unless 0 <= i < ListCount().
  void RemoveItem(Index i);

  // Removes every item whose mark is non-zero, in one pass, keeping the order
  // of the others. `marks` holds one entry per item. The selection follows
  // its item as in RemoveItem. Throws std::invalid_argument when the size of
  // `marks` differs from ListCount(); the list is then unchanged.
  void RemoveMarked(std::span<const std::uint8_t> marks);

  // Puts the items in a new order: item order[k] goes to place k, for each
  // k. The selection follows its item. Only the index moves, never a text.
  // An order that leaves every place with the text it had changes nothing.
  // Throws std::invalid_argument, leaving the list unchanged, unless
  // `order` names every index from 0 to ListCount() - 1 once.
  //
  //   a, b, c  Reorder({2, 0, 1})  gives  c, a, b
  void Reorder(std::span<const Index> order);

  // A RemoveMarked or a Reorder worked out beside the list, without changing
  // it, on any thread while the list is only read, and made later by Take
  // in a time that does not grow with the list: the new index, and what an
  // undo history records of the change, are built here. Take gives the list,
  // the selection (as it is then) and the history step that RemoveMarked or
  // Reorder would have given.
  //
  //   ItemList::Change change = list.PrepareRemoveMarked(marks);  // any thread
  //   list.Take(std::move(change));  // the window's thread, at once
  class Change {
   public:
    Change() = default;
    // Take would leave every item where it is.
    bool Empty() const noexcept { return kind_ == Kind::kNone; }
    // The items Take removes.
    Index Removed() const noexcept {
      return static_cast<Index>(record_.offsets.size());
    }

   private:
    friend class ItemList;
    enum class Kind : std::uint8_t { kNone, kRemove, kReorder };
    Kind kind_ = Kind::kNone;
    // The list it was made for, as Take checks it.
    const char* bytes_of_ = nullptr;
    const std::uint64_t* offsets_of_ = nullptr;
    std::size_t count_of_ = 0;
    std::size_t arena_of_ = 0;
    // The list's new index; its old one once taken.
    internal::PodBuffer<std::uint64_t> offsets_;
    internal::PodBuffer<std::uint32_t> lengths_;
    std::size_t removed_bytes_ = 0;
    bool in_order_ = true;
    internal::ChangeRecord record_;
  };

  // RemoveMarked(marks), prepared. Throws as RemoveMarked does, and
  // std::bad_alloc.
  [[nodiscard]] Change PrepareRemoveMarked(
      std::span<const std::uint8_t> marks) const;
  // Reorder(order), prepared. Throws as Reorder does, and std::bad_alloc.
  [[nodiscard]] Change PrepareReorder(std::vector<Index> order) const;
  // Makes `change`, prepared from this list, which must not have changed
  // since other than in its selection; afterwards `change` holds the old
  // index, to be freed wherever that costs least. Throws std::logic_error,
  // leaving the list unchanged, when its count or storage show that it is
  // not the list `change` was made for (a check, not a proof).
  void Take(Change&& change);

  // Removes every item, frees the storage and clears the selection. An
  // empty list keeps the removed bytes that its undo history holds.
  void Clear() noexcept;

  // The index of the selected item, or -1 when nothing is selected.
  Index ListIndex() const noexcept { return list_index_; }

  // Selects item `i`, or nothing for -1. Throws std::out_of_range for any
  // other value outside 0 .. ListCount() - 1.
  void SetListIndex(Index i);

  // Makes room for `items` more items holding `bytes` more bytes of text, so
  // that a load of known size grows the storage once.
  void Reserve(Index items, std::size_t bytes);

  // The total length of all item texts.
  std::size_t TextBytes() const noexcept { return bytes_.size() - garbage_; }

  // The memory the items take: their texts and 12 bytes of index each. Spare
  // room and the bytes of removed items are not counted.
  std::size_t MemoryBytes() const noexcept {
    return TextBytes() +
           lengths_.size() * (sizeof(std::uint64_t) + sizeof(std::uint32_t));
  }

  // The raw storage, for operations that work on every item at once. Item i
  // is the `lengths[i]` bytes at `bytes + offsets[i]`, possibly with dead
  // bytes between items; the arena ends at `arena_size`. While `in_order`,
  // items lie in the arena in list order (offsets ascend); a Reorder clears
  // it until the storage is next compacted. Valid until the list is next
  // changed.
  struct Storage {
    const char* bytes;
    const std::uint64_t* offsets;
    const std::uint32_t* lengths;
    std::size_t count;
    std::size_t arena_size;
    bool in_order;
  };
  Storage RawStorage() const noexcept {
    return {bytes_.data(),   offsets_.data(), lengths_.data(),
            lengths_.size(), bytes_.size(),   in_order_};
  }

 private:
  friend class internal::UndoDoor;

  void CompactBytes() noexcept;
  void ReleaseStorage() noexcept;
  void StampFor(Change& change) const noexcept;
  // The list's offsets and lengths in `order`, for Reorder and
  // PrepareReorder; false when the order only moves copies of one text
  // among themselves. Throws std::invalid_argument as Reorder does.
  bool Permute(std::span<const Index> order,
               internal::PodBuffer<std::uint64_t>& offsets,
               internal::PodBuffer<std::uint32_t>& lengths) const;

  internal::PodBuffer<char> bytes_;
  internal::PodBuffer<std::uint64_t> offsets_;
  internal::PodBuffer<std::uint32_t> lengths_;
  // Bytes in bytes_ that belong to removed items.
  std::size_t garbage_ = 0;
  Index list_index_ = -1;
  // The items lie in the arena in list order.
  bool in_order_ = true;
  internal::UndoHooks undo_;
};

}  // namespace karvello

#endif  // KARVELLO_LISTS_ITEMLIST_H_
