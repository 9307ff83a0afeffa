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

// Zero-filled memory for a table, on huge pages where the system allows it
// (a big table is read at random, and small pages would miss the TLB on
// nearly every probe).
class ZeroedBlock {
 public:
  explicit ZeroedBlock(std::size_t bytes);
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  ZeroedBlock(ZeroedBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)) {}
  ZeroedBlock& operator=(ZeroedBlock&& other) noexcept {
    std::swap(data_, other.data_);
    return *this;
  }
  ~ZeroedBlock();
  void* data() const noexcept { return data_; }

 private:
  void* data_ = nullptr;
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

// Calls `visit(item, hash, table)` for every item in [begin, end) of `items`
// for which `table_for(hash)` names a table, in ascending item order. Items
// are hashed some steps ahead; their home slots, their candidates' index
// entries and their candidates' bytes are prefetched in three stages so
// that by the time `visit` probes, the memory is (usually) in the cache. The
// stages only prefetch: `visit` does the real, exact probe.
template <typename Index, typename Hasher, typename TableFor, typename Visit>
void ForEachHashed(const ItemList::Storage& items, std::size_t begin,
                   std::size_t end, const Hasher& hasher, TableFor table_for,
                   Visit visit) {
  constexpr std::size_t kStage = 8;
  constexpr std::size_t kRing = 4 * kStage;
  struct Pending {
    std::size_t item;
    std::uint64_t hash;
    const ItemTable<Index>* table;
    Index candidate;
  };
  Pending ring[kRing];
  std::size_t next = begin;
  std::size_t total = std::numeric_limits<std::size_t>::max();

  auto hash_ahead = [&](std::size_t seq) {
    if (seq >= total) return;
    while (next < end) {
      const std::size_t i = next++;
      const std::uint64_t hash =
          hasher(items.bytes + items.offsets[i], items.lengths[i]);
      const ItemTable<Index>* table = table_for(hash);
      if (table == nullptr) continue;
      __builtin_prefetch(&table->Home(hash));
      ring[seq % kRing] = Pending{i, hash, table, 0};
      return;
    }
    total = seq;
  };
  auto peek_slot = [&](std::size_t seq) {
    if (seq >= total) return;
    Pending& p = ring[seq % kRing];
    const auto& slot = p.table->Home(p.hash);
    if (slot.item != 0 && slot.tag == ItemTable<Index>::Tag(p.hash)) {
      p.candidate = slot.item;
      __builtin_prefetch(p.table->items().offsets + (slot.item - 1));
      __builtin_prefetch(p.table->items().lengths + (slot.item - 1));
    }
  };
  auto peek_text = [&](std::size_t seq) {
    if (seq >= total) return;
    const Pending& p = ring[seq % kRing];
    if (p.candidate != 0) {
      const auto& storage = p.table->items();
      __builtin_prefetch(storage.bytes + storage.offsets[p.candidate - 1]);
    }
  };

  for (std::size_t seq = 0; seq < 3 * kStage; ++seq) hash_ahead(seq);
  for (std::size_t seq = 0;; ++seq) {
    hash_ahead(seq + 3 * kStage);
    peek_slot(seq + 2 * kStage);
    peek_text(seq + kStage);
    if (seq >= total) break;
    const Pending& p = ring[seq % kRing];
    visit(p.item, p.hash, *p.table);
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

// The part of a list that a hash belongs to, for 1 << part_bits parts.
inline unsigned PartOf(std::uint64_t hash, unsigned part_bits) noexcept {
  return part_bits == 0 ? 0 : static_cast<unsigned>(hash >> (64 - part_bits));
}

inline unsigned PartBits(int parts) noexcept { return parts >= 2 ? 1 : 0; }

// Sets marks[i] for every item i of `list` whose text occurs at a lower
// index, and, when `mark_first`, also for the first copy of every text that
// occurs more than once. Other marks are left as they are.
template <typename Index, typename Hasher>
void MarkRepeatsWith(const ItemList& list, std::uint8_t* marks, bool mark_first,
                     int parts, const Hasher& hasher) {
  const ItemList::Storage items = list.RawStorage();
  const unsigned part_bits = PartBits(parts);
  const unsigned part_count = 1u << part_bits;
  std::vector<ItemTable<Index>> tables;
  tables.reserve(part_count);
  for (unsigned p = 0; p < part_count; ++p) {
    tables.emplace_back(items, items.count / part_count + 1);
  }
  RunParts(static_cast<int>(part_count), [&](int part) {
    ItemTable<Index>& own = tables[part];
    ForEachHashed<Index>(
        items, 0, items.count, hasher,
        [&](std::uint64_t hash) -> const ItemTable<Index>* {
          return PartOf(hash, part_bits) == static_cast<unsigned>(part)
                     ? &own
                     : nullptr;
        },
        [&](std::size_t i, std::uint64_t hash, const ItemTable<Index>&) {
          const Index first = own.FindOrInsert(hash, i, hasher);
          if (first != 0) {
            marks[i] = 1;
            if (mark_first) marks[first - 1] = 1;
          }
        });
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
  const ItemList::Storage others = other.RawStorage();
  const unsigned part_bits = PartBits(parts);
  const unsigned part_count = 1u << part_bits;
  std::vector<ItemTable<Index>> tables;
  tables.reserve(part_count);
  for (unsigned p = 0; p < part_count; ++p) {
    tables.emplace_back(others, others.count / part_count + 1);
  }
  // Each thread fills the table of its part with the distinct texts of
  // `other`, then each looks up its half of `target` in both tables.
  RunParts(static_cast<int>(part_count), [&](int part) {
    ItemTable<Index>& own = tables[part];
    ForEachHashed<Index>(
        others, 0, others.count, hasher,
        [&](std::uint64_t hash) -> const ItemTable<Index>* {
          return PartOf(hash, part_bits) == static_cast<unsigned>(part)
                     ? &own
                     : nullptr;
        },
        [&](std::size_t j, std::uint64_t hash, const ItemTable<Index>&) {
          own.FindOrInsert(hash, j, hasher);
        });
  });
  const std::uint8_t yes = found ? 1 : 0;
  const std::uint8_t no = found ? 0 : 1;
  RunParts(static_cast<int>(part_count), [&](int part) {
    const std::size_t begin = items.count / part_count * part;
    const std::size_t end = part + 1 == static_cast<int>(part_count)
                                ? items.count
                                : items.count / part_count * (part + 1);
    ForEachHashed<Index>(
        items, begin, end, hasher,
        [&](std::uint64_t hash) -> const ItemTable<Index>* {
          return &tables[PartOf(hash, part_bits)];
        },
        [&](std::size_t i, std::uint64_t hash, const ItemTable<Index>& table) {
          marks[i] = table.Find(hash, items.bytes + items.offsets[i],
                                items.lengths[i]) != 0
                         ? yes
                         : no;
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
      std::numeric_limits<std::uint32_t>::max()) {
    MarkMatchesWith<std::uint32_t>(target, other, marks, found, parts, hasher);
  } else {
    MarkMatchesWith<std::uint64_t>(target, other, marks, found, parts, hasher);
  }
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_ITEMTABLE_H_
