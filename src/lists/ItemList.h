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
// of ten million 19-byte items costs about 310 MB. Counts and indices are
// 64-bit: a list holds as many items as memory allows.
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
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace karvello {

namespace internal {

// Large arrays live in anonymous mappings of their own, aligned to and
// sized in 2 MiB steps and advised to use 2 MiB pages. A ten-million-item
// list touches about 300 MB; with 4 KiB pages the page faults alone cost more
// than reading the file, and the list operations, which read items at
// random, would miss the TLB on nearly every item. Growing such a mapping
// moves its pages to a new aligned range (mremap) instead of copying them:
// realloc's own mremap lands on unaligned addresses, which splits the large
// pages and made random reads of a grown list several times slower.
inline constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
inline constexpr std::size_t kMappedStep = std::size_t{2} << 20;

// A new zero-filled mapping of `bytes` (a multiple of kMappedStep) bytes.
// Throws std::bad_alloc.
void* MapBlock(std::size_t bytes);
// Moves the `old_bytes` mapping at `old` to a new mapping of `new_bytes`,
// keeping its contents; on failure throws std::bad_alloc and leaves it.
void* RemapBlock(void* old, std::size_t old_bytes, std::size_t new_bytes);
void UnmapBlock(void* block, std::size_t bytes) noexcept;

// A growable array of trivially copyable values. Small arrays use malloc;
// large ones the mappings above, which grow in place (the pages not yet
// written are not resident) instead of being copied into a larger block.
template <typename T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer& other) { *this = other; }
  PodBuffer(PodBuffer&& other) noexcept { Swap(other); }
  PodBuffer& operator=(const PodBuffer& other) {
    if (this != &other) {
      size_ = 0;
      Reserve(other.size_);
      if (other.size_ != 0) {
        std::memcpy(data_, other.data_, other.size_ * sizeof(T));
      }
      size_ = other.size_;
    }
    return *this;
  }
  PodBuffer& operator=(PodBuffer&& other) noexcept {
    PodBuffer moved(std::move(other));
    Swap(moved);
    return *this;
  }
  ~PodBuffer() { Free(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  void Reserve(std::size_t n) {
    if (n <= capacity_) return;
    if (n > (SIZE_MAX - kMappedStep) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (mapped_bytes_ != 0 || bytes >= kMappedFrom) {
      const std::size_t rounded =
          (bytes + kMappedStep - 1) / kMappedStep * kMappedStep;
      void* block;
      if (mapped_bytes_ != 0) {
        block = RemapBlock(data_, mapped_bytes_, rounded);
      } else {
        block = MapBlock(rounded);
        if (size_ != 0) std::memcpy(block, data_, size_ * sizeof(T));
        std::free(data_);
      }
      data_ = static_cast<T*>(block);
      mapped_bytes_ = rounded;
      capacity_ = rounded / sizeof(T);
      return;
    }
    void* grown = std::realloc(data_, bytes);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = n;
  }
  // Makes room for `extra` more values, growing geometrically.
  void Grow(std::size_t extra) {
    if (extra <= capacity_ - size_) return;
    if (extra > SIZE_MAX / sizeof(T) - size_) throw std::bad_alloc();
    std::size_t want = size_ + extra;
    std::size_t doubled = capacity_ < SIZE_MAX / 2 ? capacity_ * 2 : want;
    Reserve(want > doubled ? want : (doubled < 64 ? 64 : doubled));
  }
  void PushBack(T value) {
    Grow(1);
    data_[size_++] = value;
  }
  void Append(const T* values, std::size_t n) {
    Grow(n);
    if (n != 0) std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }
  void Erase(std::size_t i) {
    std::memmove(data_ + i, data_ + i + 1, (size_ - i - 1) * sizeof(T));
    --size_;
  }
  void Resize(std::size_t n) {
    Reserve(n);
    size_ = n;
  }
  // Frees the memory too: a cleared ten-million-item list should give its
  // memory back, not keep it for a list that may never come.
  void Release() noexcept {
    Free();
    data_ = nullptr;
    size_ = capacity_ = mapped_bytes_ = 0;
  }
  void Swap(PodBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
  }

 private:
  void Free() noexcept {
    if (mapped_bytes_ != 0) {
      UnmapBlock(data_, mapped_bytes_);
    } else {
      std::free(data_);
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_bytes_ = 0;  // 0 while the array is malloc's
};

}  // namespace internal

class ItemList;

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
  virtual void WillClear(ItemList& list) = 0;
};

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
        list_index_(std::exchange(other.list_index_, -1)) {}
  ItemList& operator=(const ItemList&) = default;
  ItemList& operator=(ItemList&& other) noexcept {
    if (this != &other) {
      bytes_ = std::move(other.bytes_);
      offsets_ = std::move(other.offsets_);
      lengths_ = std::move(other.lengths_);
      garbage_ = std::exchange(other.garbage_, 0);
      list_index_ = std::exchange(other.list_index_, -1);
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

  // Removes every item, frees the storage and clears the selection. An
  // empty list keeps removed bytes that are held (see HoldRemovedBytes).
  void Clear() noexcept;

  // Removes the items from index `count` on; a `count` at or past the end
  // leaves the list as it is. The selection is cleared when its item goes.
  // The bytes of items removed earlier and held (see HoldRemovedBytes) stay.
  void Truncate(Index count) noexcept;

  // While held, the bytes of removed items stay where they are in the
  // storage (nothing is compacted or freed by a removal), so that
  // RestoreRemoved can put the items back without copying a byte. Like the
  // observer, the hold belongs to this list object. Releasing it compacts the
  // storage if removals left it more than half dead.
  void HoldRemovedBytes(bool hold) noexcept;

  // Puts back items removed while the bytes were held, the reverse of
  // RemoveMarked: the list grows to ListCount() + offsets.size() items, and
  // position p of the result holds the next of the removed items (the
  // `lengths[k]` bytes at storage offset `offsets[k]`, as RawStorage showed
  // them before the removal) when bit p of `bits` is set (bits[p / 64] >>
  // (p % 64) & 1), the next item of this list otherwise. One pass over the
  // index, no text copied. The selection is cleared. Throws
  // std::invalid_argument when the set bits do not number offsets.size(), or
  // the ranges are not dead bytes of the storage (the list is then
  // unchanged), and std::bad_alloc when memory runs out (unchanged too).
  //   list a, d  +  removed b, c at bits 0b0110   gives   a, b, c, d
  void RestoreRemoved(std::span<const std::uint64_t> bits,
                      std::span<const std::uint64_t> offsets,
                      std::span<const std::uint32_t> lengths);

  // Sets the observer told of every later removal; nullptr for none. The
  // observer belongs to this list object: copies and moves never take it.
  void SetRemovalObserver(RemovalObserver* observer) noexcept {
    observer_.get = observer;
  }

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

  // The raw storage, for operations that work on every item at once. Item i
  // is the `lengths[i]` bytes at `bytes + offsets[i]`. Items lie in the arena
  // in list order (offsets ascend), possibly with dead bytes between them;
  // the arena ends at `arena_size`. Valid until the list is next changed.
  struct Storage {
    const char* bytes;
    const std::uint64_t* offsets;
    const std::uint32_t* lengths;
    std::size_t count;
    std::size_t arena_size;
  };
  Storage RawStorage() const noexcept {
    return {bytes_.data(), offsets_.data(), lengths_.data(), lengths_.size(),
            bytes_.size()};
  }

 private:
  void CompactBytes();

  internal::PodBuffer<char> bytes_;
  internal::PodBuffer<std::uint64_t> offsets_;
  internal::PodBuffer<std::uint32_t> lengths_;
  // The observer and the hold, which copies and moves leave behind.
  struct ObserverSlot {
    ObserverSlot() = default;
    ObserverSlot(const ObserverSlot&) noexcept {}
    ObserverSlot& operator=(const ObserverSlot&) noexcept { return *this; }
    RemovalObserver* get = nullptr;
    bool hold = false;
  };

  void ReleaseStorage() noexcept;

  // Bytes in bytes_ that belong to removed items.
  std::size_t garbage_ = 0;
  Index list_index_ = -1;
  ObserverSlot observer_;
};

}  // namespace karvello

#endif  // KARVELLO_LISTS_ITEMLIST_H_
