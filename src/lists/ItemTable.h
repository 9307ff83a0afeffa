// Hash tables over the texts of an item list, and the two marking passes that
// the duplicate and two-list operations are built on.
//
// A table holds item indices of one list in open addressing (linear probing)
// with a 32-bit tag of each item's hash beside the index. A probe compares
// tags, and then the bytes of the candidate item: the hash only proposes
// candidates, the bytes decide. For speed the bytes of a batch of candidates
// are compared together after the probes (see ListTables::Fill), and big
// lists are first sorted into buckets by hash so that each bucket's table
// stays in the cache (MarkRepeatsByBuckets, MarkMatchesByBuckets). Big lists
// are split in two parts on two threads, by one bit of the hash for the
// tables, so that a text and all its copies fall in the same part.
//
// The hash is a template parameter so that tests can force collisions.

#ifndef KARVELLO_LISTS_ITEMTABLE_H_
#define KARVELLO_LISTS_ITEMTABLE_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lists/ItemHash.h"
#include "lists/ItemList.h"

namespace karvello::internal {

// Zero-filled scratch memory. Large blocks are mapped like a large item
// list's arrays (see ItemList.h), on 2 MiB pages where the system allows;
// small ones are reused from earlier calls on the same thread.
class ZeroedBlock {
 public:
  explicit ZeroedBlock(std::size_t bytes);
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  ZeroedBlock(ZeroedBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
        cached_bytes_(std::exchange(other.cached_bytes_, 0)) {}
  ZeroedBlock& operator=(ZeroedBlock&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
    std::swap(cached_bytes_, other.cached_bytes_);
    return *this;
  }
  ~ZeroedBlock();
  void* data() const noexcept { return data_; }

 private:
  void* data_ = nullptr;
  std::size_t mapped_bytes_ = 0;  // of the mapping; 0 for a small block
  std::size_t cached_bytes_ = 0;  // of a small block
};

// Whether two byte strings are equal. Short ones are compared with a few
// overlapping word loads inside the strings instead of a call to memcmp.
inline bool SameText(const char* a, std::size_t a_size, const char* b,
                     std::size_t b_size) noexcept {
  if (a_size != b_size) return false;
  const std::size_t n = a_size;
  if (n > 32) return std::memcmp(a, b, n) == 0;
  if (n >= 16) {
    return ((Load64(a) ^ Load64(b)) | (Load64(a + 8) ^ Load64(b + 8)) |
            (Load64(a + n - 16) ^ Load64(b + n - 16)) |
            (Load64(a + n - 8) ^ Load64(b + n - 8))) == 0;
  }
  if (n >= 8) {
    return ((Load64(a) ^ Load64(b)) |
            (Load64(a + n - 8) ^ Load64(b + n - 8))) == 0;
  }
  if (n >= 4) {
    return ((Load32(a) ^ Load32(b)) |
            (Load32(a + n - 4) ^ Load32(b + n - 4))) == 0;
  }
  // 0 to 3 bytes: the first, middle and last byte are all of them.
  return n == 0 ||
         (a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1]);
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

// Items are probed in batches so that the random loads of a batch overlap:
// first the home slots of the whole batch are loaded, then each item probes
// (in item order), then the candidates' index entries are loaded, then
// their first bytes, and only then are the candidates compared. Prefetch
// instructions barely help on the machines measured (most of these loads
// miss the TLB as well as the cache), and a loop that follows one item at a
// time through its data-dependent branches keeps the processor from running
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

// Runs `work(part)` for part 0 .. parts - 1, part 0 on this thread and the
// others on threads of their own (or here, when no thread can be started);
// rethrows the first exception of any part.
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
  std::vector<int> inline_parts;
  for (int part = 1; part < parts; ++part) {
    try {
      threads.emplace_back(guarded, part);
    } catch (const std::system_error&) {
      // No thread to be had: the part runs here instead, only slower.
      inline_parts.push_back(part);
    }
  }
  guarded(0);
  for (const int part : inline_parts) guarded(part);
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
  // same 32-bit tag, which an even hash makes vanishingly rare), Fill
  // returns false, having called `on_copy` only for checked pairs, and the
  // caller must start again with FillExactly.
  template <typename Hasher, typename OnCopy>
  bool Fill(const Hasher& hasher, OnCopy on_copy) {
    std::atomic<bool> all_equal{true};
    RunParts(parts(), [&](int part) {
      ItemTable<Index>& own = tables_[part];
      ForEachBatch<Index>(
          items_, 0, items_.count, hasher, Mine(part),
          [&](std::uint64_t hash) { return own.Warm(hash); },
          [&](Batch<Index>& batch) {
            if (!all_equal.load(std::memory_order_relaxed)) return;
            for (std::size_t k = 0; k < batch.count; ++k) {
              batch.candidate[k] =
                  own.FindTagOrInsert(batch.hash[k], batch.item[k], hasher);
            }
            const bool equal =
                CheckCandidates(batch, items_, items_,
                                [&](std::size_t i, std::size_t j, bool same) {
                                  if (same) on_copy(i, j);
                                  return same;
                                });
            if (!equal) all_equal = false;
          });
    });
    return all_equal;
  }

  // Fill with exact probes, for when Fill found different texts under the
  // same tag. Empties the tables first.
  template <typename Hasher, typename OnCopy>
  void FillExactly(const Hasher& hasher, OnCopy on_copy) {
    for (auto& table : tables_) table.Clear();
    RunParts(parts(), [&](int part) {
      ItemTable<Index>& own = tables_[part];
      ForEachBatch<Index>(
          items_, 0, items_.count, hasher, Mine(part),
          [&](std::uint64_t hash) { return own.Warm(hash); },
          [&](Batch<Index>& batch) {
            for (std::size_t k = 0; k < batch.count; ++k) {
              const Index first =
                  own.FindOrInsert(batch.hash[k], batch.item[k], hasher);
              if (first != 0) on_copy(batch.item[k], first - 1);
            }
          });
    });
  }

 private:
  auto Mine(int part) const {
    return [part_bits = part_bits_, part](std::uint64_t hash) {
      return PartOf(hash, part_bits) == static_cast<unsigned>(part);
    };
  }

  ItemList::Storage items_;
  unsigned part_bits_;
  std::vector<ItemTable<Index>> tables_;
};

// Sets marks[i] for every item i of `list` whose text occurs at a lower
// index, and, when `mark_first`, also for the first copy of every text that
// occurs more than once. `marks` must be all zero on entry.
template <typename Index, typename Hasher>
void MarkRepeatsWith(const ItemList& list, std::uint8_t* marks, bool mark_first,
                     int parts, const Hasher& hasher) {
  ListTables<Index> tables(list, parts);
  // A copy and its first item lie in the same part, so the two threads
  // never write the same mark.
  auto on_copy = [&](std::size_t i, std::size_t first) {
    marks[i] = 1;
    if (mark_first) marks[first] = 1;
  };
  if (!tables.Fill(hasher, on_copy)) {
    std::memset(marks, 0, list.RawStorage().count);
    tables.FillExactly(hasher, on_copy);
  }
}

// Sets marks[i] to `found` for every item i of `target` whose text equals
// the text of some item of `other`, and to `!found` for every other item.
// `target` and `other` may be the same list.
template <typename Index, typename Hasher>
void MarkMatchesWith(const ItemList& target, const ItemList& other,
                     std::uint8_t* marks, bool found, int parts,
                     const Hasher& hasher) {
  const ItemList::Storage items = target.RawStorage();
  ListTables<Index> tables(other, parts);
  auto ignore = [](std::size_t, std::size_t) {};
  if (!tables.Fill(hasher, ignore)) tables.FillExactly(hasher, ignore);
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
}

// Sets marks as MarkRepeatsWith does, for a big list, so that the table
// probes stay in the cache: the items are first sorted, stably, into buckets
// by the top bits of their hashes (a bucket holds some thousands of items),
// and then each bucket is probed through a small table of its own, in item
// order. As in ListTables::Fill the probes compare tags only and the bytes
// of every pair are compared afterwards; returns false when a pair differs,
// and the caller must then clear the marks and use exact probes.
// Needs fewer than 2^32 - 1 items.
template <typename Hasher>
bool MarkRepeatsByBuckets(const ItemList& list, std::uint8_t* marks,
                          bool mark_first, int parts, const Hasher& hasher) {
  const ItemList::Storage items = list.RawStorage();
  const std::size_t n = items.count;
  const int part_count = parts >= 2 ? 2 : 1;
  constexpr std::size_t kBucketItems = 8192;
  unsigned bucket_bits = 0;
  while (bucket_bits < 16 && (n >> bucket_bits) > kBucketItems) ++bucket_bits;
  const std::size_t buckets = std::size_t{1} << bucket_bits;
  auto bucket_of = [bucket_bits](std::uint64_t hash) -> std::size_t {
    return bucket_bits == 0 ? 0 : hash >> (64 - bucket_bits);
  };
  auto hash_of = [&](std::size_t i) {
    return hasher(items.bytes + items.offsets[i], items.lengths[i]);
  };

  // Bucket sizes, counted per part so that each part can then write its
  // items in order after those of the parts before it.
  std::vector<std::vector<std::size_t>> cursor(
      part_count, std::vector<std::size_t>(buckets, 0));
  RunParts(part_count, [&](int part) {
    const auto [begin, end] = PartRange(n, part, part_count);
    std::vector<std::size_t>& count = cursor[part];
    for (std::size_t i = begin; i < end; ++i) ++count[bucket_of(hash_of(i))];
  });
  std::vector<std::size_t> bucket_start(buckets + 1);
  std::size_t at = 0;
  std::size_t largest = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    bucket_start[b] = at;
    for (int part = 0; part < part_count; ++part) {
      const std::size_t count = cursor[part][b];
      cursor[part][b] = at;
      at += count;
    }
    largest = std::max(largest, at - bucket_start[b]);
  }
  bucket_start[buckets] = at;

  ZeroedBlock copy_block(n * sizeof(std::uint32_t));
  auto* copy_of = static_cast<std::uint32_t*>(copy_block.data());
  {
    ZeroedBlock hash_block(n * sizeof(std::uint64_t));
    ZeroedBlock index_block(n * sizeof(std::uint32_t));
    auto* sorted_hash = static_cast<std::uint64_t*>(hash_block.data());
    auto* sorted_index = static_cast<std::uint32_t*>(index_block.data());
    RunParts(part_count, [&](int part) {
      const auto [begin, end] = PartRange(n, part, part_count);
      std::vector<std::size_t>& next = cursor[part];
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint64_t hash = hash_of(i);
        const std::size_t pos = next[bucket_of(hash)]++;
        sorted_hash[pos] = hash;
        sorted_index[pos] = static_cast<std::uint32_t>(i);
      }
    });
    // A slot packs the tag (32 hash bits that neither the bucket nor the
    // slot position uses) above the item index + 1; 0 is empty.
    RunParts(part_count, [&](int part) {
      std::size_t capacity = 16;
      while (capacity < 2 * largest) capacity *= 2;
      std::vector<std::uint64_t> table(capacity);
      for (std::size_t b = part; b < buckets; b += part_count) {
        const std::size_t first = bucket_start[b];
        const std::size_t size = bucket_start[b + 1] - first;
        std::size_t slots = 16;
        while (slots < 2 * size) slots *= 2;
        const std::size_t mask = slots - 1;
        std::fill_n(table.begin(), slots, 0);
        for (std::size_t k = first; k < first + size; ++k) {
          const std::uint64_t hash = sorted_hash[k];
          const std::uint64_t tag = (hash >> 16) & 0xffffffffu;
          const std::uint32_t i = sorted_index[k];
          for (std::size_t pos = hash & mask;; pos = (pos + 1) & mask) {
            const std::uint64_t slot = table[pos];
            if (slot == 0) {
              table[pos] = (tag << 32) | (std::uint64_t{i} + 1);
              break;
            }
            if ((slot >> 32) == tag) {
              copy_of[i] = static_cast<std::uint32_t>(slot);
              break;
            }
          }
        }
      }
    });
  }

  std::atomic<bool> all_equal{true};
  RunParts(part_count, [&](int part) {
    const auto [begin, end] = PartRange(n, part, part_count);
    Batch<std::uint32_t> batch;
    for (std::size_t i = begin; i < end;) {
      batch.count = 0;
      for (; i < end && batch.count < kBatch; ++i) {
        batch.item[batch.count] = i;
        batch.candidate[batch.count] = copy_of[i];
        batch.count += copy_of[i] != 0 ? 1 : 0;
      }
      const bool equal =
          CheckCandidates(batch, items, items,
                          [&](std::size_t c, std::size_t first, bool same) {
                            if (!same) return false;
                            marks[c] = 1;
                            // The other part may mark the same first copy at
                            // the same time.
                            if (mark_first) {
                              std::atomic_ref<std::uint8_t>(marks[first])
                                  .store(1, std::memory_order_relaxed);
                            }
                            return true;
                          });
      if (!equal || !all_equal.load(std::memory_order_relaxed)) {
        all_equal = false;
        return;
      }
    }
  });
  return all_equal;
}

// Sets marks as MarkMatchesWith does, for a big `other`, so that the table
// probes stay in the cache: the items of both lists are sorted, stably, into
// buckets by the top bits of their hashes (a bucket holds some thousands of
// `other`'s items), and then each bucket's items of `target` are probed
// through a small table of that bucket's items of `other`.
//
// The table keeps one item of `other` per tag, the bytes unchecked, and a
// probe stops at the first item with its tag; the bytes of each such pair
// are compared afterwards, in `target` order. When every pair checks out
// the marks are exact: no candidate means no item of `other` with the same
// hash, and a candidate with the same bytes is a match. When a pair
// differs (two texts under one tag, which an even hash makes vanishingly
// rare) the texts that the table dropped might have matched, so this
// returns false, with the marks part written, and the caller must mark
// again with exact probes.
// Needs fewer than 2^32 - 1 items in each list.
template <typename Hasher>
bool MarkMatchesByBuckets(const ItemList& target, const ItemList& other,
                          std::uint8_t* marks, bool found, int parts,
                          const Hasher& hasher) {
  const ItemList::Storage lists[2] = {target.RawStorage(), other.RawStorage()};
  const ItemList::Storage& items = lists[0];
  const ItemList::Storage& others = lists[1];
  const int part_count = parts >= 2 ? 2 : 1;
  constexpr std::size_t kBucketItems = 8192;
  unsigned bucket_bits = 0;
  while (bucket_bits < 16 && (others.count >> bucket_bits) > kBucketItems) {
    ++bucket_bits;
  }
  const std::size_t buckets = std::size_t{1} << bucket_bits;
  auto bucket_of = [bucket_bits](std::uint64_t hash) -> std::size_t {
    return bucket_bits == 0 ? 0 : hash >> (64 - bucket_bits);
  };
  // An entry packs the tag, as many of the hash bits that the bucket does
  // not use as fit, above the item index; the tag's low bits give the home
  // slot. The tag must be wide: an item's tag is compared with those of all
  // of its bucket's texts, and a false match costs a pass with exact probes.
  unsigned index_bits = 1;
  while ((std::max(items.count, others.count) >> index_bits) != 0) {
    ++index_bits;
  }
  const std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
  auto entry_of = [&](const ItemList::Storage& list, std::size_t i) {
    const std::uint64_t hash =
        hasher(list.bytes + list.offsets[i], list.lengths[i]);
    return std::pair<std::size_t, std::uint64_t>(
        bucket_of(hash), ((hash << bucket_bits) & ~index_mask) | i);
  };

  // Bucket sizes of both lists, counted per part so that each part can then
  // write its items in order after those of the parts before it. Each part
  // takes its share of both lists, so the hashing of both runs at once.
  std::vector<std::size_t> cursor[2][2];
  for (auto& list_cursors : cursor) {
    for (int part = 0; part < part_count; ++part) {
      list_cursors[part].assign(buckets, 0);
    }
  }
  RunParts(part_count, [&](int part) {
    for (int l = 0; l < 2; ++l) {
      const auto [begin, end] = PartRange(lists[l].count, part, part_count);
      std::vector<std::size_t>& count = cursor[l][part];
      for (std::size_t i = begin; i < end; ++i) {
        ++count[entry_of(lists[l], i).first];
      }
    }
  });
  std::vector<std::size_t> bucket_start[2];
  std::size_t largest = 0;
  for (int l = 0; l < 2; ++l) {
    bucket_start[l].resize(buckets + 1);
    std::size_t at = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      bucket_start[l][b] = at;
      for (int part = 0; part < part_count; ++part) {
        const std::size_t count = cursor[l][part][b];
        cursor[l][part][b] = at;
        at += count;
      }
      if (l == 1) largest = std::max(largest, at - bucket_start[l][b]);
    }
    bucket_start[l][buckets] = at;
  }

  ZeroedBlock candidate_block(items.count * sizeof(std::uint32_t));
  auto* candidate_of = static_cast<std::uint32_t*>(candidate_block.data());
  {
    ZeroedBlock entry_blocks[2] = {
        ZeroedBlock(items.count * sizeof(std::uint64_t)),
        ZeroedBlock(others.count * sizeof(std::uint64_t))};
    std::uint64_t* sorted[2] = {
        static_cast<std::uint64_t*>(entry_blocks[0].data()),
        static_cast<std::uint64_t*>(entry_blocks[1].data())};
    RunParts(part_count, [&](int part) {
      for (int l = 0; l < 2; ++l) {
        const auto [begin, end] = PartRange(lists[l].count, part, part_count);
        std::vector<std::size_t>& next = cursor[l][part];
        std::uint64_t* out = sorted[l];
        for (std::size_t i = begin; i < end; ++i) {
          const auto [bucket, entry] = entry_of(lists[l], i);
          out[next[bucket]++] = entry;
        }
      }
    });
    // A slot holds an entry + 1, the tag above the item index + 1; 0 is
    // empty.
    RunParts(part_count, [&](int part) {
      std::size_t capacity = 16;
      while (capacity < 2 * largest) capacity *= 2;
      std::vector<std::uint64_t> table(capacity);
      for (std::size_t b = part; b < buckets; b += part_count) {
        const std::size_t first = bucket_start[1][b];
        const std::size_t size = bucket_start[1][b + 1] - first;
        if (size == 0) continue;
        std::size_t slots = 16;
        while (slots < 2 * size) slots *= 2;
        const std::size_t mask = slots - 1;
        std::fill_n(table.begin(), slots, 0);
        for (std::size_t k = first; k < first + size; ++k) {
          const std::uint64_t entry = sorted[1][k];
          const std::uint64_t tag = entry >> index_bits;
          for (std::size_t pos = tag & mask;; pos = (pos + 1) & mask) {
            const std::uint64_t slot = table[pos];
            if (slot == 0) {
              table[pos] = entry + 1;
              break;
            }
            if ((slot >> index_bits) == tag) break;
          }
        }
        const std::size_t end = bucket_start[0][b + 1];
        for (std::size_t k = bucket_start[0][b]; k < end; ++k) {
          const std::uint64_t entry = sorted[0][k];
          const std::uint64_t tag = entry >> index_bits;
          for (std::size_t pos = tag & mask;; pos = (pos + 1) & mask) {
            const std::uint64_t slot = table[pos];
            if (slot == 0) break;
            if ((slot >> index_bits) == tag) {
              candidate_of[entry & index_mask] =
                  static_cast<std::uint32_t>(slot & index_mask);
              break;
            }
          }
        }
      }
    });
  }

  const std::uint8_t yes = found ? 1 : 0;
  const std::uint8_t no = found ? 0 : 1;
  std::atomic<bool> all_equal{true};
  RunParts(part_count, [&](int part) {
    const auto [begin, end] = PartRange(items.count, part, part_count);
    Batch<std::uint32_t> batch;
    for (std::size_t i = begin; i < end;) {
      batch.count = 0;
      for (; i < end && batch.count < kBatch; ++i) {
        const std::uint32_t candidate = candidate_of[i];
        marks[i] = candidate != 0 ? yes : no;
        batch.item[batch.count] = i;
        batch.candidate[batch.count] = candidate;
        batch.count += candidate != 0 ? 1 : 0;
      }
      const bool equal = CheckCandidates(
          batch, items, others,
          [](std::size_t, std::size_t, bool same) { return same; });
      if (!equal || !all_equal.load(std::memory_order_relaxed)) {
        all_equal = false;
        return;
      }
    }
  });
  return all_equal;
}

// How MarkRepeats and MarkMatches work: chosen by the size of the lists, or
// forced by tests.
enum class RepeatMethod { kAuto, kTables, kBuckets };

// The same, with indices as narrow as the lists allow.
template <typename Hasher = ItemHasher>
void MarkRepeats(const ItemList& list, std::uint8_t* marks, bool mark_first,
                 int parts, const Hasher& hasher = Hasher(),
                 RepeatMethod method = RepeatMethod::kAuto) {
  const auto n = static_cast<std::uint64_t>(list.ListCount());
  const bool narrow = n < std::numeric_limits<std::uint32_t>::max();
  if (method == RepeatMethod::kAuto) {
    // Below this the tables of MarkRepeatsWith fit in the cache anyway.
    constexpr std::uint64_t kBucketsFrom = std::uint64_t{1} << 18;
    method = narrow && n >= kBucketsFrom ? RepeatMethod::kBuckets
                                         : RepeatMethod::kTables;
  }
  if (method == RepeatMethod::kBuckets && narrow) {
    if (MarkRepeatsByBuckets(list, marks, mark_first, parts, hasher)) return;
    std::memset(marks, 0, n);
    ListTables<std::uint32_t> tables(list, parts);
    tables.FillExactly(hasher, [&](std::size_t i, std::size_t first) {
      marks[i] = 1;
      if (mark_first) marks[first] = 1;
    });
    return;
  }
  if (narrow) {
    MarkRepeatsWith<std::uint32_t>(list, marks, mark_first, parts, hasher);
  } else {
    MarkRepeatsWith<std::uint64_t>(list, marks, mark_first, parts, hasher);
  }
}

template <typename Hasher = ItemHasher>
void MarkMatches(const ItemList& target, const ItemList& other,
                 std::uint8_t* marks, bool found, int parts,
                 const Hasher& hasher = Hasher(),
                 RepeatMethod method = RepeatMethod::kAuto) {
  constexpr std::uint64_t kNarrow = std::numeric_limits<std::uint32_t>::max();
  const auto n = static_cast<std::uint64_t>(other.ListCount());
  const bool narrow =
      n < kNarrow && static_cast<std::uint64_t>(target.ListCount()) < kNarrow;
  if (method == RepeatMethod::kAuto) {
    // Below this the tables of MarkMatchesWith fit in the cache anyway.
    constexpr std::uint64_t kBucketsFrom = std::uint64_t{1} << 18;
    method = narrow && n >= kBucketsFrom ? RepeatMethod::kBuckets
                                         : RepeatMethod::kTables;
  }
  if (method == RepeatMethod::kBuckets && narrow &&
      MarkMatchesByBuckets(target, other, marks, found, parts, hasher)) {
    return;
  }
  if (n < kNarrow) {
    MarkMatchesWith<std::uint32_t>(target, other, marks, found, parts, hasher);
  } else {
    MarkMatchesWith<std::uint64_t>(target, other, marks, found, parts, hasher);
  }
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_ITEMTABLE_H_
