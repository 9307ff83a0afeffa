// Hash tables over the texts of an item list, and the two marking passes that
// the duplicate and two-list operations are built on.
//
// A table holds item indices of one list in open addressing (linear probing)
// with a 32-bit tag of each item's hash beside the index. A probe compares
// tags first and then the bytes of the candidate item, so the hash only
// proposes candidates and the bytes decide. Big lists are worked on in a
// pipeline that hashes items ahead of time and prefetches their slots and the
// candidates' bytes, so that the random memory accesses of many items
// overlap, and optionally in two parts on two threads, split by one bit of
// the hash, so that a text and all its copies fall in the same part.
//
// The hash is a template parameter so that tests can force collisions.

#ifndef KARVELLO_LISTS_ITEMTABLE_H_
#define KARVELLO_LISTS_ITEMTABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "lists/ItemHash.h"
#include "lists/ItemList.h"

namespace karvello::internal {

// Zero-filled scratch memory; large blocks are mapped like a large item
// list's arrays (see ItemList.h), on 2 MiB pages where the system allows.
class ZeroedBlock {
 public:
  explicit ZeroedBlock(std::size_t bytes);
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  ZeroedBlock(ZeroedBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)) {}
  ZeroedBlock& operator=(ZeroedBlock&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  ~ZeroedBlock();
  void* data() const noexcept { return data_; }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;  // of the mapping; 0 for calloc's memory
};

inline bool SameText(const char* a, std::size_t a_size, const char* b,
                     std::size_t b_size) noexcept {
  return a_size == b_size && (a_size == 0 || std::memcmp(a, b, a_size) == 0);
}

// A set of items of one list, by text. Holds at most one item per text when
// filled through FindOrInsert.
template <typename Index>
class ItemTable {
 public:
  struct Slot {
    Index tag;
    Index item;  // index + 1; 0 marks an empty slot
  };

  ItemTable(const ItemList::Storage& items, std::size_t expected)
      : items_(items), memory_(0) {
    Allocate(SlotsFor(expected));
  }

  const ItemList::Storage& items() const noexcept { return items_; }

  static Index Tag(std::uint64_t hash) noexcept {
    return static_cast<Index>(sizeof(Index) < 8 ? hash >> 32 : hash);
  }
  const Slot& Home(std::uint64_t hash) const noexcept {
    return slots_[hash & mask_];
  }

  // Loads the home slot of `hash`, only to bring it into the cache.
  std::uint64_t Warm(std::uint64_t hash) const noexcept {
    return slots_[hash & mask_].item;
  }

  void Clear() noexcept {
    std::memset(static_cast<void*>(slots_), 0, (mask_ + 1) * sizeof(Slot));
    used_ = 0;
  }

  // The index + 1 of the first item on the probe path of `hash` whose tag is
  // that of `hash`, or 0: a candidate only, whose text may differ.
  Index FindTag(std::uint64_t hash) const noexcept {
    const Index tag = Tag(hash);
    for (std::size_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0 || slot.tag == tag) return slot.item;
    }
  }

  // Like FindTag, but inserts `item` and returns 0 when no slot has the tag.
  template <typename Hasher>
  Index FindTagOrInsert(std::uint64_t hash, std::size_t item,
                        const Hasher& hasher) {
    const Index tag = Tag(hash);
    std::size_t pos = hash & mask_;
    for (;; pos = (pos + 1) & mask_) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0) break;
      if (slot.tag == tag) return slot.item;
    }
    slots_[pos] = Slot{tag, static_cast<Index>(item + 1)};
    if (++used_ > limit_) Rehash(hasher);
    return 0;
  }

  // The index + 1 of the table's item whose text is `text`, or 0.
  Index Find(std::uint64_t hash, const char* text,
             std::size_t size) const noexcept {
    const Index tag = Tag(hash);
    for (std::size_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0) return 0;
      if (slot.tag == tag && Holds(slot.item - 1, text, size)) {
        return slot.item;
      }
    }
  }

  // The index + 1 of the table's item whose text is that of item `item`, or
  // 0 after inserting `item` when there is none.
  template <typename Hasher>
  Index FindOrInsert(std::uint64_t hash, std::size_t item,
                     const Hasher& hasher) {
    const char* text = items_.bytes + items_.offsets[item];
    const std::size_t size = items_.lengths[item];
    const Index tag = Tag(hash);
    std::size_t pos = hash & mask_;
    for (;; pos = (pos + 1) & mask_) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0) break;
      if (slot.tag == tag && Holds(slot.item - 1, text, size)) {
        return slot.item;
      }
    }
    slots_[pos] = Slot{tag, static_cast<Index>(item + 1)};
    if (++used_ > limit_) Rehash(hasher);
    return 0;
  }

 private:
  static std::size_t SlotsFor(std::size_t items) {
    // At most 70% full, so that probe runs stay short.
    std::size_t slots = 16;
    while (slots / 10 * 7 < items) slots *= 2;
    return slots;
  }

  void Allocate(std::size_t slots) {
    memory_ = ZeroedBlock(slots * sizeof(Slot));
    slots_ = static_cast<Slot*>(memory_.data());
    mask_ = slots - 1;
    limit_ = slots / 10 * 7;
    used_ = 0;
  }

  bool Holds(std::size_t item, const char* text,
             std::size_t size) const noexcept {
    return SameText(items_.bytes + items_.offsets[item], items_.lengths[item],
                    text, size);
  }

  // Only when the expected count was too low, which an even hash never
  // causes: each part of a list is sized for all of its share.
  template <typename Hasher>
  void Rehash(const Hasher& hasher) {
    ZeroedBlock old_memory = std::move(memory_);
    const Slot* old = slots_;
    const std::size_t old_slots = mask_ + 1;
    Allocate(old_slots * 2);
    for (std::size_t k = 0; k < old_slots; ++k) {
      if (old[k].item == 0) continue;
      const std::size_t item = old[k].item - 1;
      const std::uint64_t hash =
          hasher(items_.bytes + items_.offsets[item], items_.lengths[item]);
      std::size_t pos = hash & mask_;
      while (slots_[pos].item != 0) pos = (pos + 1) & mask_;
      slots_[pos] = old[k];
      ++used_;
    }
  }

  ItemList::Storage items_;
  ZeroedBlock memory_;
  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t limit_ = 0;
  std::size_t used_ = 0;
};

// Keeps the loads that produced `sink` from being optimised away.
inline void Consume(std::uint64_t sink) noexcept {
  asm volatile("" : : "r"(sink));
}

// Works in batches so that the random loads of a batch overlap.
// Prefetch instructions barely help here (most of the random loads miss the
// TLB as well as the cache), and a loop that probes one item at a time takes
// data-dependent branches that keep the processor from running ahead; plain
// loads in a loop without such branches do overlap.
constexpr std::size_t kBatch = 32;

// Calls `visit(item, hash)` for every item in [begin, end) of `items` for
// which `wanted(hash)` holds, in ascending item order. Each batch is hashed
// and `warm(hash)` (a load of the slot that the probe will read) is called
// for the whole batch before any of it is visited.
template <typename Hasher, typename Wanted, typename Warm, typename Visit>
void ForEachHashed(const ItemList::Storage& items, std::size_t begin,
                   std::size_t end, const Hasher& hasher, Wanted wanted,
                   Warm warm, Visit visit) {
  std::size_t batch_items[kBatch];
  std::uint64_t batch_hashes[kBatch];
  for (std::size_t i = begin; i < end;) {
    std::size_t count = 0;
    for (; i < end && count < kBatch; ++i) {
      const std::uint64_t hash =
          hasher(items.bytes + items.offsets[i], items.lengths[i]);
      if (!wanted(hash)) continue;
      batch_items[count] = i;
      batch_hashes[count] = hash;
      ++count;
    }
    std::uint64_t sink = 0;
    for (std::size_t k = 0; k < count; ++k) sink += warm(batch_hashes[k]);
    Consume(sink);
    for (std::size_t k = 0; k < count; ++k) {
      visit(batch_items[k], batch_hashes[k]);
    }
  }
}

// Runs `work(part)` for part 0 .. parts - 1, part 0 on this thread and the
// others on threads of their own; rethrows the first exception of any part.
template <typename Work>
void RunParts(int parts, Work work) {
  if (parts <= 1) {
    work(0);
    return;
  }
  std::vector<std::exception_ptr> errors(parts);
  std::vector<std::thread> threads;
  threads.reserve(parts - 1);
  auto guarded = [&](int part) {
    try {
      work(part);
    } catch (...) {
      errors[part] = std::current_exception();
    }
  };
  for (int part = 1; part < parts; ++part) threads.emplace_back(guarded, part);
  guarded(0);
  for (auto& thread : threads) thread.join();
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

// The range of indices below `count` that part `part` of `parts` works on.
inline std::pair<std::size_t, std::size_t> PartRange(std::size_t count,
                                                     int part, int parts) {
  const std::size_t share = count / static_cast<std::size_t>(parts);
  const std::size_t begin = share * static_cast<std::size_t>(part);
  return {begin, part + 1 == parts ? count : begin + share};
}

// The part of a list that a hash belongs to, for 1 << part_bits parts.
inline unsigned PartOf(std::uint64_t hash, unsigned part_bits) noexcept {
  return part_bits == 0 ? 0 : static_cast<unsigned>(hash >> (64 - part_bits));
}

inline unsigned PartBits(int parts) noexcept { return parts >= 2 ? 1 : 0; }

// For every i in [begin, end) with candidate[i] != 0, calls
// `check(i, j, same)` with j = candidate[i] - 1 and whether item i of
// `items` and item j of `candidates` hold the same text. The candidates'
// index entries and first bytes are loaded a batch at a time before any of
// the batch is compared. Stops and returns false as soon as `check` does.
template <typename Index, typename Check>
bool ForEachCopy(const Index* candidate, const ItemList::Storage& items,
                 const ItemList::Storage& candidates, std::size_t begin,
                 std::size_t end, Check check) {
  if (candidates.count == 0) return true;
  const char nothing = 0;
  std::uint64_t offsets[kBatch];
  std::uint32_t lengths[kBatch];
  for (std::size_t b = begin; b < end; b += kBatch) {
    const std::size_t e = end - b < kBatch ? end : b + kBatch;
    for (std::size_t i = b; i < e; ++i) {
      const std::size_t j = candidate[i] != 0 ? candidate[i] - 1 : 0;
      offsets[i - b] = candidates.offsets[j];
      lengths[i - b] = candidate[i] != 0 ? candidates.lengths[j] : 0;
    }
    std::uint64_t sink = 0;
    for (std::size_t k = 0; k < e - b; ++k) {
      const char* first =
          lengths[k] != 0 ? candidates.bytes + offsets[k] : &nothing;
      sink += static_cast<unsigned char>(*first);
    }
    Consume(sink);
    for (std::size_t i = b; i < e; ++i) {
      if (candidate[i] == 0) continue;
      const bool same =
          SameText(items.bytes + items.offsets[i], items.lengths[i],
                   candidates.bytes + offsets[i - b], lengths[i - b]);
      if (!check(i, candidate[i] - 1, same)) return false;
    }
  }
  return true;
}

// The tables of one list, one per part, holding one item of each text.
//
// Filling them compares bytes only afterwards: a probe stops at the first
// slot with the same tag and takes that item as the earlier copy, and a
// second pass checks every such pair byte for byte, with the candidates'
// bytes prefetched well ahead (a probe that compared at once would wait for
// a cache miss on every copy). When every pair checks out, each probe
// stopped where an exact probe would have, so the tables and the pairs are
// exactly those of exact probing. When a pair does not (different texts
// under the same tag, which an even hash makes vanishingly rare), the tables
// are filled again with exact probes.
template <typename Index>
class ListTables {
 public:
  template <typename Hasher>
  ListTables(const ItemList& list, int parts, const Hasher& hasher)
      : items_(list.RawStorage()),
        part_bits_(PartBits(parts)),
        copy_of_(items_.count * sizeof(Index)) {
    const unsigned count = 1u << part_bits_;
    tables_.reserve(count);
    for (unsigned p = 0; p < count; ++p) {
      tables_.emplace_back(items_, items_.count / count + 1);
    }
    Fill(hasher, false);
    if (!CheckCopies()) {
      for (auto& table : tables_) table.Clear();
      std::memset(copy_of_.data(), 0, items_.count * sizeof(Index));
      Fill(hasher, true);
    }
  }

  int parts() const noexcept { return 1 << part_bits_; }
  const ItemList::Storage& items() const noexcept { return items_; }

  // The index + 1 of the first item with the text of item `i`, or 0 when
  // item `i` is itself the first.
  Index CopyOf(std::size_t i) const noexcept { return copy_of()[i]; }

  const ItemTable<Index>& TableFor(std::uint64_t hash) const noexcept {
    return tables_[PartOf(hash, part_bits_)];
  }

 private:
  Index* copy_of() const noexcept {
    return static_cast<Index*>(copy_of_.data());
  }

  template <typename Hasher>
  void Fill(const Hasher& hasher, bool exact) {
    RunParts(parts(), [&](int part) {
      ItemTable<Index>& own = tables_[part];
      Index* copy_of = this->copy_of();
      ForEachHashed(
          items_, 0, items_.count, hasher,
          [&](std::uint64_t hash) {
            return PartOf(hash, part_bits_) == static_cast<unsigned>(part);
          },
          [&](std::uint64_t hash) { return own.Warm(hash); },
          [&](std::size_t i, std::uint64_t hash) {
            copy_of[i] = exact ? own.FindOrInsert(hash, i, hasher)
                               : own.FindTagOrInsert(hash, i, hasher);
          });
    });
  }

  bool CheckCopies() {
    std::atomic<bool> all_equal{true};
    RunParts(parts(), [&](int part) {
      const auto [begin, end] = PartRange(items_.count, part, parts());
      const bool equal =
          ForEachCopy(copy_of(), items_, items_, begin, end,
                      [](std::size_t, std::size_t, bool same) { return same; });
      if (!equal) all_equal = false;
    });
    return all_equal;
  }

  ItemList::Storage items_;
  unsigned part_bits_;
  ZeroedBlock copy_of_;
  std::vector<ItemTable<Index>> tables_;
};

// Sets marks[i] for every item i of `list` whose text occurs at a lower
// index, and, when `mark_first`, also for the first copy of every text that
// occurs more than once. `marks` must be all zero on entry.
template <typename Index, typename Hasher>
void MarkRepeatsWith(const ItemList& list, std::uint8_t* marks, bool mark_first,
                     int parts, const Hasher& hasher) {
  const ListTables<Index> tables(list, parts, hasher);
  RunParts(tables.parts(), [&](int part) {
    const auto [begin, end] =
        PartRange(list.RawStorage().count, part, tables.parts());
    for (std::size_t i = begin; i < end; ++i) {
      const Index first = tables.CopyOf(i);
      if (first == 0) continue;
      marks[i] = 1;
      // Another part may mark the same first copy at the same time.
      if (mark_first) {
        std::atomic_ref<std::uint8_t>(marks[first - 1])
            .store(1, std::memory_order_relaxed);
      }
    }
  });
}

// Sets marks[i] to `found` for every item i of `target` whose text equals
// the text of some item of `other`, and to `!found` for every other item.
// `target` and `other` may be the same list.
template <typename Index, typename Hasher>
void MarkMatchesWith(const ItemList& target, const ItemList& other,
                     std::uint8_t* marks, bool found, int parts,
                     const Hasher& hasher) {
  const ItemList::Storage items = target.RawStorage();
  const ListTables<Index> tables(other, parts, hasher);
  const std::uint8_t yes = found ? 1 : 0;
  const std::uint8_t no = found ? 0 : 1;
  // As in filling the tables: first the item of `other` with the same tag,
  // then the bytes, and an exact probe only where they differ.
  ZeroedBlock candidate_block(items.count * sizeof(Index));
  Index* candidate = static_cast<Index*>(candidate_block.data());
  RunParts(tables.parts(), [&](int part) {
    const auto [begin, end] = PartRange(items.count, part, tables.parts());
    ForEachHashed(
        items, begin, end, hasher, [](std::uint64_t) { return true; },
        [&](std::uint64_t hash) { return tables.TableFor(hash).Warm(hash); },
        [&](std::size_t i, std::uint64_t hash) {
          candidate[i] = tables.TableFor(hash).FindTag(hash);
          if (candidate[i] == 0) marks[i] = no;
        });
    ForEachCopy(candidate, items, tables.items(), begin, end,
                [&](std::size_t i, std::size_t, bool same) {
                  if (!same) {
                    const std::uint64_t hash = hasher(
                        items.bytes + items.offsets[i], items.lengths[i]);
                    same = tables.TableFor(hash).Find(
                               hash, items.bytes + items.offsets[i],
                               items.lengths[i]) != 0;
                  }
                  marks[i] = same ? yes : no;
                  return true;
                });
  });
}

// The same, with indices as narrow as the lists allow.
template <typename Hasher = ItemHasher>
void MarkRepeats(const ItemList& list, std::uint8_t* marks, bool mark_first,
                 int parts, const Hasher& hasher = Hasher()) {
  if (static_cast<std::uint64_t>(list.ListCount()) <
      std::numeric_limits<std::uint32_t>::max()) {
    MarkRepeatsWith<std::uint32_t>(list, marks, mark_first, parts, hasher);
  } else {
    MarkRepeatsWith<std::uint64_t>(list, marks, mark_first, parts, hasher);
  }
}

template <typename Hasher = ItemHasher>
void MarkMatches(const ItemList& target, const ItemList& other,
                 std::uint8_t* marks, bool found, int parts,
                 const Hasher& hasher = Hasher()) {
  if (static_cast<std::uint64_t>(other.ListCount()) <
          std::numeric_limits<std::uint32_t>::max() &&
      static_cast<std::uint64_t>(target.ListCount()) <
          std::numeric_limits<std::uint32_t>::max()) {
    MarkMatchesWith<std::uint32_t>(target, other, marks, found, parts, hasher);
  } else {
    MarkMatchesWith<std::uint64_t>(target, other, marks, found, parts, hasher);
  }
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_ITEMTABLE_H_
