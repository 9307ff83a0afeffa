#include "lists/ItemList.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace karvello {

namespace {

[[noreturn]] void ThrowOutOfRange(const char* what, ItemList::Index i,
                                  ItemList::Index count) {
  throw std::out_of_range(std::string(what) + ": index " + std::to_string(i) +
                          " is outside a list of " + std::to_string(count) +
                          " items");
}

}  // namespace

namespace internal {

// Under AddressSanitizer the blocks come from malloc, whose bounds it checks.
#if defined(__SANITIZE_ADDRESS__)
#define KARVELLO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KARVELLO_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(__linux__) && !defined(KARVELLO_ADDRESS_SANITIZER)

namespace {

// Maps `bytes` at an address aligned to kMappedStep, so that the kernel can
// back it with 2 MiB pages from the first byte to the last.
void* MapAligned(std::size_t bytes) {
  void* raw = mmap(nullptr, bytes + kMappedStep, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned =
      (start + kMappedStep - 1) / kMappedStep * kMappedStep;
  if (aligned != start) munmap(raw, aligned - start);
  const std::uintptr_t tail = start + bytes + kMappedStep - (aligned + bytes);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: without large pages everything works, just slower.
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

}  // namespace

void* MapBlock(std::size_t bytes) { return MapAligned(bytes); }

void* RemapBlock(void* old, std::size_t old_bytes, std::size_t new_bytes) {
  void* target = MapAligned(new_bytes);
  // MREMAP_FIXED replaces the fresh mapping at `target` with the old pages.
  void* moved =
      mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    munmap(target, new_bytes);
    throw std::bad_alloc();
  }
  return moved;
}

void UnmapBlock(void* block, std::size_t bytes) noexcept {
  munmap(block, bytes);
}

void PrefaultBlock(void* begin, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = (start + kPage - 1) / kPage * kPage;
  const std::uintptr_t end = (start + bytes) / kPage * kPage;
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
  }
#else
  static_cast<void>(begin);
  static_cast<void>(bytes);
#endif
}

#else

void* MapBlock(std::size_t bytes) {
  void* block = std::calloc(1, bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* RemapBlock(void* old, std::size_t, std::size_t new_bytes) {
  void* block = std::realloc(old, new_bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void UnmapBlock(void* block, std::size_t) noexcept { std::free(block); }

void PrefaultBlock(void*, std::size_t) noexcept {}

#endif

}  // namespace internal

std::string_view ItemList::List(Index i) const {
  if (i < 0 || i >= ListCount()) ThrowOutOfRange("List", i, ListCount());
  return UncheckedItem(i);
}

void ItemList::AddItem(std::string_view text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("item of 4 GiB or more");
  }
  // Grow all three arrays before writing any, so that a failed allocation
  // leaves the list as it was.
  bytes_.Grow(text.size());
  offsets_.Grow(1);
  lengths_.Grow(1);
  offsets_.PushBack(bytes_.size());
  lengths_.PushBack(static_cast<std::uint32_t>(text.size()));
  bytes_.Append(text.data(), text.size());
}

void ItemList::RemoveItem(Index i) {
  if (i < 0 || i >= ListCount()) ThrowOutOfRange("RemoveItem", i, ListCount());
  if (undo_.observer != nullptr) undo_.observer->WillRemoveItem(*this, i);
  const auto at = static_cast<std::size_t>(i);
  garbage_ += lengths_[at];
  offsets_.Erase(at);
  lengths_.Erase(at);
  if (list_index_ == i) {
    list_index_ = -1;
  } else if (list_index_ > i) {
    --list_index_;
  }
  // Removing one item leaves its bytes in place, so a removal costs only the
  // shift of the two small index arrays. Reclaim the space once half of the
  // arena is dead.
  if (!undo_.hold && garbage_ > bytes_.size() / 2) CompactBytes();
}

void ItemList::RemoveMarked(std::span<const std::uint8_t> marks) {
  if (marks.size() != lengths_.size()) {
    throw std::invalid_argument(
        "RemoveMarked: " + std::to_string(marks.size()) +
        " marks for a list of " + std::to_string(lengths_.size()) + " items");
  }
  if (undo_.observer != nullptr) undo_.observer->WillRemoveMarked(*this, marks);
  const std::size_t n = lengths_.size();
  std::size_t kept = 0;
  Index new_index = -1;
  for (std::size_t i = 0; i < n; ++i) {
    if (marks[i]) {
      garbage_ += lengths_[i];
      continue;
    }
    if (static_cast<Index>(i) == list_index_) {
      new_index = static_cast<Index>(kept);
    }
    offsets_[kept] = offsets_[i];
    lengths_[kept] = lengths_[i];
    ++kept;
  }
  offsets_.Resize(kept);
  lengths_.Resize(kept);
  list_index_ = new_index;
  if (undo_.hold) return;
  if (kept == 0) {
    ReleaseStorage();
  } else if (garbage_ > bytes_.size() / 2) {
    CompactBytes();
  }
}

bool ItemList::Permute(std::span<const Index> order,
                       internal::PodBuffer<std::uint64_t>& offsets,
                       internal::PodBuffer<std::uint32_t>& lengths) const {
  const std::size_t n = lengths_.size();
  if (order.size() != n) {
    throw std::invalid_argument("Reorder: " + std::to_string(order.size()) +
                                " places for a list of " + std::to_string(n) +
                                " items");
  }
  offsets.Resize(n);
  lengths.Resize(n);
  std::vector<bool> seen(n);
  bool moved = false;
  for (std::size_t k = 0; k < n; ++k) {
    const Index from = order[k];
    if (from < 0 || static_cast<std::size_t>(from) >= n || seen[from]) {
      throw std::invalid_argument("Reorder: the order is no permutation");
    }
    seen[from] = true;
    moved =
        moved || (from != static_cast<Index>(k) &&
                  UncheckedItem(from) != UncheckedItem(static_cast<Index>(k)));
    offsets[k] = offsets_[from];
    lengths[k] = lengths_[from];
  }
  return moved;
}

void ItemList::Reorder(std::span<const Index> order) {
  // Both arrays are built beside the old ones, so that running out of
  // memory, or an order that is no permutation, leaves the list as it was.
  internal::PodBuffer<std::uint64_t> offsets;
  internal::PodBuffer<std::uint32_t> lengths;
  // An order that leaves every place with the text it had (moving copies
  // of one text among themselves at most) is no change, for the history
  // either.
  if (!Permute(order, offsets, lengths)) return;
  if (undo_.observer != nullptr) undo_.observer->WillReorder(*this, order);
  if (list_index_ >= 0) {
    list_index_ = static_cast<Index>(std::ranges::find(order, list_index_) -
                                     order.begin());
  }
  offsets_.Swap(offsets);
  lengths_.Swap(lengths);
  in_order_ = in_order_ && std::is_sorted(offsets_.data(),
                                          offsets_.data() + lengths_.size());
}

ItemList::Change ItemList::PrepareRemoveMarked(
    std::span<const std::uint8_t> marks) const {
  const std::size_t n = lengths_.size();
  if (marks.size() != n) {
    throw std::invalid_argument(
        "RemoveMarked: " + std::to_string(marks.size()) +
        " marks for a list of " + std::to_string(n) + " items");
  }
  Change change;
  const auto removed = static_cast<std::size_t>(
      std::count_if(marks.begin(), marks.end(), [](auto m) { return m != 0; }));
  if (removed == 0) return change;
  change.kind_ = Change::Kind::kRemove;
  internal::ChangeRecord& record = change.record_;
  record.bits.assign((n + 63) / 64, 0);
  record.offsets.resize(removed);
  record.lengths.resize(removed);
  change.offsets_.Resize(n - removed);
  change.lengths_.Resize(n - removed);
  std::size_t kept = 0;
  std::size_t gone = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (marks[i]) {
      record.bits[i / 64] |= std::uint64_t{1} << (i % 64);
      record.offsets[gone] = offsets_[i];
      record.lengths[gone] = lengths_[i];
      change.removed_bytes_ += lengths_[i];
      ++gone;
    } else {
      change.offsets_[kept] = offsets_[i];
      change.lengths_[kept] = lengths_[i];
      ++kept;
    }
  }
  change.in_order_ = in_order_;
  StampFor(change);
  return change;
}

ItemList::Change ItemList::PrepareReorder(std::vector<Index> order) const {
  Change change;
  // As in Reorder: moving copies of one text among themselves is no change.
  if (!Permute(order, change.offsets_, change.lengths_)) return Change();
  const std::size_t n = lengths_.size();
  change.kind_ = Change::Kind::kReorder;
  change.in_order_ = in_order_ && std::is_sorted(change.offsets_.data(),
                                                 change.offsets_.data() + n);
  change.record_.order = std::move(order);
  StampFor(change);
  return change;
}

void ItemList::StampFor(Change& change) const noexcept {
  change.bytes_of_ = bytes_.data();
  change.offsets_of_ = offsets_.data();
  change.count_of_ = lengths_.size();
  change.arena_of_ = bytes_.size();
}

void ItemList::Take(Change&& change) {
  if (change.Empty()) return;
  if (change.bytes_of_ != bytes_.data() ||
      change.offsets_of_ != offsets_.data() ||
      change.count_of_ != lengths_.size() ||
      change.arena_of_ != bytes_.size()) {
    throw std::logic_error("Take: the list changed since the change was made");
  }
  // The selection may have moved since the change was made.
  const internal::ChangeRecord& record = change.record_;
  const bool removes = change.kind_ == Change::Kind::kRemove;
  Index new_index = -1;
  if (list_index_ >= 0 && removes) {
    const auto at = static_cast<std::size_t>(list_index_);
    if (((record.bits[at / 64] >> (at % 64)) & 1) == 0) {
      std::size_t before = 0;
      for (std::size_t w = 0; w < at / 64; ++w) {
        before += static_cast<std::size_t>(std::popcount(record.bits[w]));
      }
      const std::uint64_t below = (std::uint64_t{1} << (at % 64)) - 1;
      before +=
          static_cast<std::size_t>(std::popcount(record.bits[at / 64] & below));
      new_index = list_index_ - static_cast<Index>(before);
    }
  } else if (list_index_ >= 0) {
    new_index =
        std::find(record.order.begin(), record.order.end(), list_index_) -
        record.order.begin();
  }
  if (undo_.observer != nullptr)
    undo_.observer->WillTake(*this, change.record_);
  offsets_.Swap(change.offsets_);
  lengths_.Swap(change.lengths_);
  garbage_ += change.removed_bytes_;
  list_index_ = new_index;
  in_order_ = change.in_order_;
  change.kind_ = Change::Kind::kNone;
  if (!removes || undo_.hold) return;
  if (lengths_.size() == 0) {
    ReleaseStorage();
  } else if (garbage_ > bytes_.size() / 2) {
    CompactBytes();
  }
}

void ItemList::Clear() noexcept {
  if (undo_.observer != nullptr) undo_.observer->WillClear(*this);
  // An empty list's storage may still hold removed bytes that are held.
  if (undo_.hold && lengths_.size() == 0) {
    list_index_ = -1;
    return;
  }
  ReleaseStorage();
}

void ItemList::ReleaseStorage() noexcept {
  bytes_.Release();
  offsets_.Release();
  lengths_.Release();
  garbage_ = 0;
  list_index_ = -1;
  in_order_ = true;
}

void ItemList::SetListIndex(Index i) {
  if (i < -1 || i >= ListCount()) {
    ThrowOutOfRange("SetListIndex", i, ListCount());
  }
  list_index_ = i;
}

void ItemList::Reserve(Index items, std::size_t bytes) {
  if (items < 0) items = 0;
  const auto extra = static_cast<std::size_t>(items);
  offsets_.Reserve(offsets_.size() + extra);
  lengths_.Reserve(lengths_.size() + extra);
  bytes_.Reserve(bytes_.size() + bytes);
}

void ItemList::CompactBytes() noexcept {
  const std::size_t n = lengths_.size();
  if (!in_order_) {
    // The live texts, copied in list order into a new arena; without the
    // memory for it, the dead bytes stay.
    internal::PodBuffer<char> bytes;
    try {
      bytes.Reserve(bytes_.size() - garbage_);
    } catch (const std::bad_alloc&) {
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t from = offsets_[i];
      offsets_[i] = bytes.size();
      bytes.Append(bytes_.data() + from, lengths_[i]);
    }
    bytes_.Swap(bytes);
    garbage_ = 0;
    in_order_ = true;
    return;
  }
  // While items sit in the arena in list order (removals never reorder and
  // appends go at the end), sliding each live item down over the dead bytes
  // before it is safe in one forward pass.
  std::uint64_t write = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t from = offsets_[i];
    if (from != write) {
      std::memmove(bytes_.data() + write, bytes_.data() + from, lengths_[i]);
      offsets_[i] = write;
    }
    write += lengths_[i];
  }
  bytes_.Resize(write);
  garbage_ = 0;
}

namespace internal {

namespace {

// The bytes that RestoreRemoved gives back to a list of `kept` items, an
// arena of `arena` bytes and `garbage` dead ones, once it has checked its
// arguments as it promises.
std::size_t CheckRestore(std::size_t kept, std::size_t arena,
                         std::size_t garbage,
                         std::span<const std::uint64_t> bits,
                         std::span<const std::uint64_t> offsets,
                         std::span<const std::uint32_t> lengths) {
  const std::size_t back = offsets.size();
  const std::size_t total = kept + back;
  if (lengths.size() != back || bits.size() < (total + 63) / 64) {
    throw std::invalid_argument("RestoreRemoved: sizes disagree");
  }
  std::size_t restored_bytes = 0;
  for (std::size_t k = 0; k < back; ++k) {
    if (offsets[k] > arena || lengths[k] > arena - offsets[k]) {
      throw std::invalid_argument("RestoreRemoved: range outside the storage");
    }
    restored_bytes += lengths[k];
  }
  std::size_t set = 0;
  for (std::size_t w = 0; w < (total + 63) / 64; ++w) {
    std::uint64_t word = bits[w];
    if (w == total / 64 && total % 64 != 0) {
      word &= (std::uint64_t{1} << (total % 64)) - 1;
    }
    set += static_cast<std::size_t>(std::popcount(word));
  }
  if (set != back || restored_bytes > garbage) {
    throw std::invalid_argument("RestoreRemoved: " + std::to_string(set) +
                                " positions for " + std::to_string(back) +
                                " items");
  }
  return restored_bytes;
}

}  // namespace

void UndoDoor::SetRemovalObserver(ItemList& list,
                                  RemovalObserver* observer) noexcept {
  list.undo_.observer = observer;
}

void UndoDoor::HoldRemovedBytes(ItemList& list, bool hold) noexcept {
  list.undo_.hold = hold;
  if (hold) return;
  if (list.lengths_.size() == 0) {
    if (list.bytes_.size() != 0) list.ReleaseStorage();
  } else if (list.garbage_ > list.bytes_.size() / 2) {
    list.CompactBytes();
  }
}

void UndoDoor::Truncate(ItemList& list, std::int64_t count) noexcept {
  if (count < 0) count = 0;
  const auto cut = static_cast<std::size_t>(count);
  const std::size_t n = list.lengths_.size();
  if (cut >= n) return;
  if (cut == 0 && !list.undo_.hold) {
    list.ReleaseStorage();
    return;
  }
  // Everything from the first cut item's offset on goes: the cut items'
  // texts and the dead bytes among them.
  std::size_t live_cut = 0;
  for (std::size_t i = cut; i < n; ++i) live_cut += list.lengths_[i];
  const std::size_t end = list.offsets_[cut];
  list.garbage_ -= (list.bytes_.size() - end) - live_cut;
  list.bytes_.Resize(end);
  list.offsets_.Resize(cut);
  list.lengths_.Resize(cut);
  if (list.list_index_ >= count) list.list_index_ = -1;
}

void UndoDoor::RestoreRemoved(ItemList& list,
                              std::span<const std::uint64_t> bits,
                              std::span<const std::uint64_t> offsets,
                              std::span<const std::uint32_t> lengths) {
  const std::size_t kept = list.lengths_.size();
  const std::size_t back = offsets.size();
  const std::size_t total = kept + back;
  const std::size_t restored_bytes = CheckRestore(
      kept, list.bytes_.size(), list.garbage_, bits, offsets, lengths);
  // Both arrays grow before either changes, so that running out of memory
  // leaves the list as it was.
  list.offsets_.Reserve(total);
  list.lengths_.Reserve(total);
  list.offsets_.Resize(total);
  list.lengths_.Resize(total);
  // From the back, so that every kept entry moves up (or stays) before its
  // old place is written: one pass, in place. Below the first restored
  // position nothing moves.
  std::size_t from_kept = kept;
  std::size_t from_back = back;
  for (std::size_t p = total; from_back > 0;) {
    --p;
    if ((bits[p / 64] >> (p % 64)) & 1) {
      --from_back;
      list.offsets_[p] = offsets[from_back];
      list.lengths_[p] = lengths[from_back];
    } else {
      --from_kept;
      list.offsets_[p] = list.offsets_[from_kept];
      list.lengths_[p] = list.lengths_[from_kept];
    }
  }
  list.garbage_ -= restored_bytes;
  list.list_index_ = -1;
}

}  // namespace internal

}  // namespace karvello
