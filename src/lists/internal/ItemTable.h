// Hash tables over the texts of an item list, and the marking passes that
// use them for lists that fit in the cache; CountCopies counts through them
// too.
//
// This is the table for items that stay in their list: a slot names an item
// by its index, and the texts are the list's. TextSet keeps texts that go by
// (a stream), so it has a table of its own that holds copies of them; the
// buckets (Buckets.h) have theirs, which fits a tag and an index in one word
// and is emptied for each bucket.
//
// A table holds item indices of one list in open addressing (linear probing)
// with a 32-bit tag of each item's hash beside the index. A probe compares
// tags, and then the bytes of the candidate item: the hash only proposes
// candidates, the bytes decide. For speed the bytes of a batch of candidates
// are compared together after the probes (see ListTables::Fill). Big lists
// are split in two parts on two threads, by one bit of the hash, so that a
// text and all its copies fall in the same part.
//
// However the hashes fall, a table never lets a probe run grow past
// kLongestProbe slots: a fill that would, fails, and the caller marks by
// buckets instead (Buckets.h), which sorts what the hash cannot spread.
//
// The hash is a template parameter so that tests can force collisions.

#ifndef KARVELLO_LISTS_INTERNAL_ITEMTABLE_H_
#define KARVELLO_LISTS_INTERNAL_ITEMTABLE_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "lists/ItemList.h"
#include "lists/Parallel.h"
#include "lists/internal/Bytes.h"
#include "lists/internal/ZeroedBlock.h"

namespace karvello::internal {

// The longest probe run a table allows, in slots beyond the home slot. At
// most 70% full under an even hash, a run this long is too rare to matter
// (the chance of one falls about sixteen-fold every 50 slots); only hashes
// that collide on purpose, or a weak injected one, make them.
inline constexpr std::size_t kLongestProbe = 512;

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

  static Index Tag(std::uint64_t hash) noexcept {
    return static_cast<Index>(sizeof(Index) < 8 ? hash >> 32 : hash);
  }
  // Loads the home slot of `hash`, only to bring it into the cache.
  std::uint64_t Warm(std::uint64_t hash) const noexcept {
    return slots_[hash & mask_].item;
  }

  // Whether FindTagOrInsert refused an item whose probe run was too long.
  bool overflowed() const noexcept { return overflowed_; }

  void Clear() noexcept {
    std::memset(static_cast<void*>(slots_), 0, (mask_ + 1) * sizeof(Slot));
    used_ = 0;
    longest_ = 0;
    overflowed_ = false;
  }

  // The index + 1 of the first item on the probe path of `hash` whose tag is
  // that of `hash`, or 0: a candidate only, whose text may differ.
  Index FindTag(std::uint64_t hash) const noexcept {
    const Index tag = Tag(hash);
    return WalkRun(hash, [tag](const Slot& slot) { return slot.tag == tag; });
  }

  // Like FindTag, but inserts `item` and returns 0 when no slot has the tag.
  // When that would take a run past kLongestProbe, inserts nothing, returns
  // 0 and sets overflowed().
  template <typename Hasher>
  Index FindTagOrInsert(std::uint64_t hash, std::size_t item,
                        const Hasher& hasher) {
    const Index tag = Tag(hash);
    const Probe probe =
        Walk(hash, [tag](const Slot& slot) { return slot.tag == tag; });
    if (probe.item != 0) return probe.item;
    if (probe.step > kLongestProbe) {
      overflowed_ = true;
      return 0;
    }
    Place(probe.pos, probe.step, Slot{tag, static_cast<Index>(item + 1)},
          hasher);
    return 0;
  }

  // The index + 1 of the table's item whose text is `text`, or 0.
  Index Find(std::uint64_t hash, const char* text,
             std::size_t size) const noexcept {
    const Index tag = Tag(hash);
    return WalkRun(hash, [&](const Slot& slot) {
      return slot.tag == tag && Holds(slot.item - 1, text, size);
    });
  }

  // The index + 1 of the table's item whose text is that of item `item`, or
  // 0 after inserting `item` when there is none. No limit on the run: only
  // for lists that cannot be marked by buckets (see FillExactly).
  template <typename Hasher>
  Index FindOrInsert(std::uint64_t hash, std::size_t item,
                     const Hasher& hasher) {
    const char* text = items_.bytes + items_.offsets[item];
    const std::size_t size = items_.lengths[item];
    const Index tag = Tag(hash);
    const Probe probe = Walk(hash, [&](const Slot& slot) {
      return slot.tag == tag && Holds(slot.item - 1, text, size);
    });
    if (probe.item != 0) return probe.item;
    Place(probe.pos, probe.step, Slot{tag, static_cast<Index>(item + 1)},
          hasher);
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
    longest_ = 0;
  }

  // Where a walk along a probe path stopped: at a slot that matched (its
  // item, index + 1) or at the first empty slot (item 0), `step` slots from
  // home.
  struct Probe {
    Index item;
    std::size_t pos;
    std::size_t step;
  };
  template <typename Matches>
  Probe Walk(std::uint64_t hash, Matches matches) const {
    std::size_t pos = hash & mask_;
    for (std::size_t step = 0;; pos = (pos + 1) & mask_, ++step) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0 || matches(slot)) return {slot.item, pos, step};
    }
  }

  // The index + 1 of the first item from the home of `hash` that `matches`,
  // or 0 at an empty slot. No item lies further from its home than the
  // longest run, so the walk stops there, the last slot of it included.
  template <typename Matches>
  Index WalkRun(std::uint64_t hash, Matches matches) const noexcept {
    std::size_t pos = hash & mask_;
    for (std::size_t step = 0; step <= longest_; ++step) {
      const Slot& slot = slots_[pos];
      if (slot.item == 0 || matches(slot)) return slot.item;
      pos = (pos + 1) & mask_;
    }
    return 0;
  }

  template <typename Hasher>
  void Place(std::size_t pos, std::size_t step, Slot slot,
             const Hasher& hasher) {
    slots_[pos] = slot;
    longest_ = std::max(longest_, step);
    if (++used_ > limit_) Rehash(hasher);
  }

  bool Holds(std::size_t item, const char* text,
             std::size_t size) const noexcept {
    return SameText(items_.bytes + items_.offsets[item], items_.lengths[item],
                    text, size);
  }

  // Only when the expected count was too low: a part of a list is sized for
  // an even share, and gets a little more about as often as less. The runs
  // of the bigger table are measured afresh, as FindTag and Find stop at the
  // longest.
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
      std::size_t step = 0;
      for (; slots_[pos].item != 0; pos = (pos + 1) & mask_) ++step;
      slots_[pos] = old[k];
      longest_ = std::max(longest_, step);
      ++used_;
    }
  }

  ItemList::Storage items_;
  ZeroedBlock memory_;
  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t limit_ = 0;
  std::size_t used_ = 0;
  std::size_t longest_ = 0;  // the longest run of an item from its home
  bool overflowed_ = false;
};

// Keeps the loads that produced `sink` from being optimised away.
inline void Consume(std::uint64_t sink) noexcept {
  asm volatile("" : : "r"(sink));
}

// Items are probed in batches so that the random loads of a batch overlap:
// first the home slots of the whole batch are loaded, then each item probes
// (in item order), then the candidates' index entries are loaded, then
// their first bytes, and only then are the candidates compared. Prefetch
// instructions barely help here (most of these loads miss the TLB as well as
// the cache; RemoveDupesExceptFirst/32767 and SubtractList/32767 in
// bench/ListsBench.cpp show it), and a loop that follows one item at a time
// through its data-dependent branches keeps the processor from running
// ahead; plain loads in short loops without such branches do overlap.
constexpr std::size_t kBatch = 64;

template <typename Index>
struct Batch {
  std::size_t count = 0;
  std::size_t item[kBatch];
  std::uint64_t hash[kBatch];
  Index candidate[kBatch];  // index + 1 of an item with the same tag, or 0
};

// Calls `visit(batch)` for consecutive batches of the items in [begin, end)
// of `items` for which `wanted(hash)` holds, in ascending item order, after
// calling `warm(hash)` (a load of the slot that the probe will read) for
// every item of the batch.
template <typename Index, typename Hasher, typename Wanted, typename Warm,
          typename Visit>
void ForEachBatch(const ItemList::Storage& items, std::size_t begin,
                  std::size_t end, const Hasher& hasher, Wanted wanted,
                  Warm warm, Visit visit) {
  Batch<Index> batch;
  for (std::size_t i = begin; i < end;) {
    batch.count = 0;
    for (; i < end && batch.count < kBatch; ++i) {
      const std::uint64_t hash =
          hasher(items.bytes + items.offsets[i], items.lengths[i]);
      // Written always and kept only when wanted: no branch to mispredict.
      batch.item[batch.count] = i;
      batch.hash[batch.count] = hash;
      batch.count += wanted(hash) ? 1 : 0;
    }
    std::uint64_t sink = 0;
    for (std::size_t k = 0; k < batch.count; ++k) sink += warm(batch.hash[k]);
    Consume(sink);
    visit(batch);
  }
}

// For every item of `batch` with a candidate, calls `check(i, j, same)` with
// the item i, the candidate j (an item of `candidates`) and whether the two
// hold the same text. Stops and returns false as soon as `check` does.
template <typename Index, typename Check>
bool CheckCandidates(const Batch<Index>& batch, const ItemList::Storage& items,
                     const ItemList::Storage& candidates, Check check) {
  if (candidates.count == 0) return true;
  const char nothing = 0;
  std::uint64_t offsets[kBatch];
  std::uint32_t lengths[kBatch];
  for (std::size_t k = 0; k < batch.count; ++k) {
    const Index c = batch.candidate[k];
    const std::size_t j = c != 0 ? c - 1 : 0;
    offsets[k] = candidates.offsets[j];
    lengths[k] = c != 0 ? candidates.lengths[j] : 0;
  }
  std::uint64_t sink = 0;
  for (std::size_t k = 0; k < batch.count; ++k) {
    const char* first =
        lengths[k] != 0 ? candidates.bytes + offsets[k] : &nothing;
    sink += static_cast<unsigned char>(*first);
  }
  Consume(sink);
  for (std::size_t k = 0; k < batch.count; ++k) {
    if (batch.candidate[k] == 0) continue;
    const std::size_t i = batch.item[k];
    const bool same = SameText(items.bytes + items.offsets[i], items.lengths[i],
                               candidates.bytes + offsets[k], lengths[k]);
    if (!check(i, batch.candidate[k] - 1, same)) return false;
  }
  return true;
}

// The part of a list that a hash belongs to, for 1 << part_bits parts.
inline unsigned PartOf(std::uint64_t hash, unsigned part_bits) noexcept {
  return part_bits == 0 ? 0 : static_cast<unsigned>(hash >> (64 - part_bits));
}

// The tables of one list, one per part, each holding the first item of each
// text of its part; a text and all its copies hash to the same part.
template <typename Index>
class ListTables {
 public:
  ListTables(const ItemList& list, int parts)
      : items_(list.RawStorage()), part_bits_(parts >= 2 ? 1 : 0) {
    const unsigned count = 1u << part_bits_;
    tables_.reserve(count);
    for (unsigned p = 0; p < count; ++p) {
      tables_.emplace_back(items_, items_.count / count + 1);
    }
  }

  int parts() const noexcept { return 1 << part_bits_; }
  void Clear() noexcept {
    for (auto& table : tables_) table.Clear();
  }
  const ItemList::Storage& items() const noexcept { return items_; }
  const ItemTable<Index>& TableFor(std::uint64_t hash) const noexcept {
    return tables_[PartOf(hash, part_bits_)];
  }

  // Fills the tables, calling `on_copy(i, j)` for every item i whose text
  // occurs at a lower index, j being the first such item. Each part runs on
  // its own thread and sees only its own items.
  //
  // The probes compare tags only; the bytes of every pair are compared
  // afterwards, a batch at a time. When every pair checks out, each probe
  // stopped where an exact probe would have, so the tables and the pairs are
  // those of exact probing. When one does not (different texts under the
  // same 32-bit tag, which an even hash makes vanishingly rare), or when a
  // probe run grows past kLongestProbe, Fill returns false, having called
  // `on_copy` only for checked pairs, and the caller must start again
  // another way.
  template <typename Hasher, typename OnCopy>
  [[nodiscard]] bool Fill(const Hasher& hasher, OnCopy on_copy) {
    std::atomic<bool> all_equal{true};
    ForEachOwnBatch(hasher, [&](ItemTable<Index>& own, Batch<Index>& batch) {
      if (!all_equal.load(std::memory_order_relaxed)) return;
      for (std::size_t k = 0; k < batch.count; ++k) {
        batch.candidate[k] =
            own.FindTagOrInsert(batch.hash[k], batch.item[k], hasher);
      }
      const bool equal = CheckCandidates(
          batch, items_, items_, [&](std::size_t i, std::size_t j, bool same) {
            if (same) on_copy(i, j);
            return same;
          });
      if (!equal || own.overflowed()) all_equal = false;
    });
    return all_equal;
  }

  // Fill with exact probes and no bound on probe runs, for lists that have
  // no other way to be marked. The tables must be empty: fresh, or Cleared
  // after a Fill that failed.
  template <typename Hasher, typename OnCopy>
  void FillExactly(const Hasher& hasher, OnCopy on_copy) {
    ForEachOwnBatch(hasher, [&](ItemTable<Index>& own, Batch<Index>& batch) {
      for (std::size_t k = 0; k < batch.count; ++k) {
        const Index first =
            own.FindOrInsert(batch.hash[k], batch.item[k], hasher);
        if (first != 0) on_copy(batch.item[k], first - 1);
      }
    });
  }

 private:
  // Calls visit(table, batch) for the batches of the items of each part,
  // with the part's table: each part on its own thread.
  template <typename Hasher, typename Visit>
  void ForEachOwnBatch(const Hasher& hasher, Visit visit) {
    RunParts(parts(), [&](int part) {
      ItemTable<Index>& own = tables_[part];
      ForEachBatch<Index>(
          items_, 0, items_.count, hasher,
          [part_bits = part_bits_, part](std::uint64_t hash) {
            return PartOf(hash, part_bits) == static_cast<unsigned>(part);
          },
          [&](std::uint64_t hash) { return own.Warm(hash); },
          [&](Batch<Index>& batch) { visit(own, batch); });
    });
  }

  ItemList::Storage items_;
  unsigned part_bits_;
  std::vector<ItemTable<Index>> tables_;
};

// Sets marks[i] for every item i of `list` whose text occurs at a lower
// index, and, when `mark_first`, also for the first copy of every text that
// occurs more than once. `marks` must be all zero on entry.
//
// When the tables fail (see ListTables::Fill), returns false with the marks
// part written if `may_fail`; otherwise marks again with exact probes.
template <typename Index, typename Hasher>
[[nodiscard]] bool MarkRepeatsWith(const ItemList& list, std::uint8_t* marks,
                                   bool mark_first, int parts,
                                   const Hasher& hasher, bool may_fail) {
  ListTables<Index> tables(list, parts);
  // A copy and its first item lie in the same part, so the two threads
  // never write the same mark.
  auto on_copy = [&](std::size_t i, std::size_t first) {
    marks[i] = 1;
    if (mark_first) marks[first] = 1;
  };
  if (tables.Fill(hasher, on_copy)) return true;
  if (may_fail) return false;
  std::memset(marks, 0, list.RawStorage().count);
  tables.Clear();
  tables.FillExactly(hasher, on_copy);
  return true;
}

// Sets marks[i] to `found` for every item i of `target` whose text equals
// the text of some item of `other`, and to `!found` for every other item.
// `target` and `other` may be the same list. Fails as MarkRepeatsWith does.
template <typename Index, typename Hasher>
[[nodiscard]] bool MarkMatchesWith(const ItemList& target,
                                   const ItemList& other, std::uint8_t* marks,
                                   bool found, int parts, const Hasher& hasher,
                                   bool may_fail) {
  const ItemList::Storage items = target.RawStorage();
  ListTables<Index> tables(other, parts);
  auto ignore = [](std::size_t, std::size_t) {};
  if (!tables.Fill(hasher, ignore)) {
    if (may_fail) return false;
    tables.Clear();
    tables.FillExactly(hasher, ignore);
  }
  const std::uint8_t yes = found ? 1 : 0;
  const std::uint8_t no = found ? 0 : 1;
  // Each thread looks up its share of `target` in the tables of both parts:
  // the tag first, then the bytes, and an exact probe only where they
  // differ.
  RunParts(tables.parts(), [&](int part) {
    const auto [begin, end] = PartRange(items.count, part, tables.parts());
    ForEachBatch<Index>(
        items, begin, end, hasher, [](std::uint64_t) { return true; },
        [&](std::uint64_t hash) { return tables.TableFor(hash).Warm(hash); },
        [&](Batch<Index>& batch) {
          for (std::size_t k = 0; k < batch.count; ++k) {
            batch.candidate[k] =
                tables.TableFor(batch.hash[k]).FindTag(batch.hash[k]);
            if (batch.candidate[k] == 0) marks[batch.item[k]] = no;
          }
          CheckCandidates(batch, items, tables.items(),
                          [&](std::size_t i, std::size_t, bool same) {
                            if (!same) {
                              const std::uint64_t hash =
                                  hasher(items.bytes + items.offsets[i],
                                         items.lengths[i]);
                              same = tables.TableFor(hash).Find(
                                         hash, items.bytes + items.offsets[i],
                                         items.lengths[i]) != 0;
                            }
                            marks[i] = same ? yes : no;
                            return true;
                          });
        });
  });
  return true;
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_ITEMTABLE_H_
