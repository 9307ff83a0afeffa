// Marking by buckets, for lists whose tables would not stay in the cache:
// the items are first sorted, stably, into buckets by the top bits of their
// hashes (a bucket holds some thousands of items), and then each bucket is
// probed through a small table of its own, in item order.
//
// A bucket's table keeps one item per tag (the hash bits that the bucket
// does not use, as many as fit beside the item index), the bytes unchecked,
// and a probe stops at the first item with its tag; the bytes of every such
// pair are compared afterwards, a batch at a time, in item order. When all
// of a bucket's pairs check out, each probe stopped where an exact probe
// would have, and the bucket's marks are exact. A bucket where a pair
// differs (two texts under one tag, which an even hash makes vanishingly
// rare), or whose probes run too long (a hash that does not spread its
// items), is marked again by sorting its items by their bytes, which costs
// O(n log n) however the items hash. A text and all its copies always fall
// in the same bucket, so each bucket is marked on its own.
//
// Needs fewer than 2^32 - 1 items in each list.

#ifndef KARVELLO_LISTS_INTERNAL_BUCKETS_H_
#define KARVELLO_LISTS_INTERNAL_BUCKETS_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "lists/ItemList.h"
#include "lists/Parallel.h"
#include "lists/internal/ItemTable.h"
#include "lists/internal/TextSort.h"

namespace karvello::internal {

// How items are spread over buckets: the top bits of an item's hash choose
// its bucket, and its entry packs the hash bits below those (the tag) above
// its index.
class BucketLayout {
 public:
  // About kBucketItems of `bucketed` items a bucket, for indices below
  // `largest`.
  BucketLayout(std::size_t bucketed, std::size_t largest) {
    constexpr std::size_t kBucketItems = 8192;
    while (bucket_bits_ < 16 && (bucketed >> bucket_bits_) > kBucketItems) {
      ++bucket_bits_;
    }
    while ((largest >> index_bits_) != 0) ++index_bits_;
    index_mask_ = (std::uint64_t{1} << index_bits_) - 1;
  }

  std::size_t buckets() const noexcept {
    return std::size_t{1} << bucket_bits_;
  }
  std::size_t BucketOf(std::uint64_t hash) const noexcept {
    return bucket_bits_ == 0 ? 0 : hash >> (64 - bucket_bits_);
  }
  std::uint64_t EntryOf(std::uint64_t hash, std::size_t i) const noexcept {
    return ((hash << bucket_bits_) & ~index_mask_) | i;
  }
  std::uint64_t TagOf(std::uint64_t entry) const noexcept {
    return entry >> index_bits_;
  }
  std::size_t IndexOf(std::uint64_t entry) const noexcept {
    return entry & index_mask_;
  }

 private:
  unsigned bucket_bits_ = 0;
  unsigned index_bits_ = 1;
  std::uint64_t index_mask_ = 0;
};

// The entries of one list in bucket order, items in index order within a
// bucket.
struct BucketedList {
  ZeroedBlock block{0};
  const std::uint64_t* entries = nullptr;
  std::vector<std::size_t> start;  // of each bucket, and the end

  std::pair<std::size_t, std::size_t> Range(std::size_t bucket) const {
    return {start[bucket], start[bucket + 1]};
  }
  std::size_t Largest() const {
    std::size_t largest = 0;
    for (std::size_t b = 0; b + 1 < start.size(); ++b) {
      largest = std::max(largest, start[b + 1] - start[b]);
    }
    return largest;
  }
};

// Sorts the items of each of `lists` into buckets. Each part takes its
// share of every list, so the hashing of all of them runs at once; bucket
// sizes are counted per part so that each part can then write its items in
// order after those of the parts before it.
template <typename Hasher>
std::vector<BucketedList> SortIntoBuckets(
    std::span<const ItemList::Storage> lists, const BucketLayout& layout,
    int parts, const Hasher& hasher) {
  const std::size_t buckets = layout.buckets();
  auto hash_of = [&](const ItemList::Storage& list, std::size_t i) {
    return hasher(list.bytes + list.offsets[i], list.lengths[i]);
  };
  std::vector<std::vector<std::vector<std::size_t>>> cursor(
      lists.size(), std::vector<std::vector<std::size_t>>(
                        parts, std::vector<std::size_t>(buckets, 0)));
  RunParts(parts, [&](int part) {
    for (std::size_t l = 0; l < lists.size(); ++l) {
      const auto [begin, end] = PartRange(lists[l].count, part, parts);
      std::vector<std::size_t>& count = cursor[l][part];
      for (std::size_t i = begin; i < end; ++i) {
        ++count[layout.BucketOf(hash_of(lists[l], i))];
      }
    }
  });
  std::vector<BucketedList> sorted(lists.size());
  std::vector<std::uint64_t*> out(lists.size());
  for (std::size_t l = 0; l < lists.size(); ++l) {
    sorted[l].start.resize(buckets + 1);
    std::size_t at = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      sorted[l].start[b] = at;
      for (int part = 0; part < parts; ++part) {
        const std::size_t count = cursor[l][part][b];
        cursor[l][part][b] = at;
        at += count;
      }
    }
    sorted[l].start[buckets] = at;
    sorted[l].block = ZeroedBlock(lists[l].count * sizeof(std::uint64_t));
    out[l] = static_cast<std::uint64_t*>(sorted[l].block.data());
    sorted[l].entries = out[l];
  }
  RunParts(parts, [&](int part) {
    for (std::size_t l = 0; l < lists.size(); ++l) {
      const auto [begin, end] = PartRange(lists[l].count, part, parts);
      std::vector<std::size_t>& next = cursor[l][part];
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint64_t hash = hash_of(lists[l], i);
        out[l][next[layout.BucketOf(hash)]++] = layout.EntryOf(hash, i);
      }
    }
  });
  return sorted;
}

// The table of one bucket at a time. A slot holds an entry + 1 (the tag
// above the item index + 1); 0 is empty. One word a slot, emptied for each
// bucket of some thousands of items, it stays in the cache where an
// ItemTable of the whole list would not. The probes add the slots they
// visit to a count that the caller keeps (in a local, which the stores to
// the slots cannot alias), so that a bucket whose hashes cluster can be
// given up.
class BucketTable {
 public:
  BucketTable(const BucketLayout& layout, std::size_t largest)
      : layout_(layout) {
    std::size_t capacity = 16;
    while (capacity < 2 * largest) capacity *= 2;
    slots_.resize(capacity);
  }

  // The most steps that `probes` probes (inserts and lookups) may take in
  // all. At most half full under an even hash, a probe takes 1.5 steps on
  // average, 2.5 for an absent tag; eight on average only happens when the
  // hashes cluster.
  static std::size_t Budget(std::size_t probes) noexcept {
    return 8 * probes + kLongestProbe;
  }

  // Empties the table for a bucket of `size` items.
  void Reset(std::size_t size) {
    std::size_t slots = 16;
    while (slots < 2 * size) slots *= 2;
    mask_ = slots - 1;
    std::fill_n(slots_.begin(), slots, 0);
  }

  // The index + 1 of the first item with the tag of `entry`, or 0 after
  // inserting `entry`.
  std::size_t FindOrInsert(std::uint64_t entry, std::size_t& steps) noexcept {
    const BucketLayout layout = layout_;
    const std::size_t mask = mask_;
    std::uint64_t* const slots = slots_.data();
    const std::uint64_t tag = layout.TagOf(entry);
    for (std::size_t pos = tag & mask;; pos = (pos + 1) & mask) {
      ++steps;
      const std::uint64_t slot = slots[pos];
      if (slot == 0) {
        slots[pos] = entry + 1;
        return 0;
      }
      if (layout.TagOf(slot) == tag) return layout.IndexOf(slot);
    }
  }

  // The index + 1 of the first item with the tag of `entry`, or 0.
  std::size_t Find(std::uint64_t entry, std::size_t& steps) const noexcept {
    const BucketLayout layout = layout_;
    const std::size_t mask = mask_;
    const std::uint64_t* const slots = slots_.data();
    const std::uint64_t tag = layout.TagOf(entry);
    for (std::size_t pos = tag & mask;; pos = (pos + 1) & mask) {
      ++steps;
      const std::uint64_t slot = slots[pos];
      if (slot == 0 || layout.TagOf(slot) == tag) return layout.IndexOf(slot);
    }
  }

 private:
  const BucketLayout layout_;
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
};

// One flag per bucket: whether it must be marked again by sorting. Set from
// either thread.
class FailedBuckets {
 public:
  explicit FailedBuckets(std::size_t buckets) : flags_(buckets, 0) {}
  void Add(std::size_t bucket) noexcept {
    std::atomic_ref<std::uint8_t>(flags_[bucket])
        .store(1, std::memory_order_relaxed);
  }
  bool Any() const noexcept {
    return std::find(flags_.begin(), flags_.end(), 1) != flags_.end();
  }

  // Calls `mark(bucket, threads)` for each failed bucket, spread over
  // `parts` threads; a lone failed bucket (as when every item hashes alike)
  // may use them all.
  template <typename Mark>
  void ForEach(int parts, Mark mark) const {
    std::vector<std::size_t> failed;
    for (std::size_t b = 0; b < flags_.size(); ++b) {
      if (flags_[b] != 0) failed.push_back(b);
    }
    if (failed.size() == 1) mark(failed[0], parts);
    if (failed.size() <= 1) return;
    RunParts(parts, [&](int part) {
      for (std::size_t k = part; k < failed.size(); k += parts) {
        mark(failed[k], 1);
      }
    });
  }

 private:
  std::vector<std::uint8_t> flags_;
};

// For each bucket in turn, split over `parts` threads: `probe(bucket,
// table)`, which returns false when it gave up on the bucket; such a bucket
// counts as failed.
template <typename Probe>
void ProbeBuckets(const BucketLayout& layout, std::size_t largest, int parts,
                  FailedBuckets& failed, Probe probe) {
  RunParts(parts, [&](int part) {
    BucketTable table(layout, largest);
    for (std::size_t b = part; b < layout.buckets(); b += parts) {
      if (!probe(b, table)) failed.Add(b);
    }
  });
}

// Compares the bytes of each item i of `items` that has a candidate
// (candidate_of[i], an index + 1 into `candidates`, or 0) with the
// candidate's, a batch at a time on `parts` threads. Calls `visit(i,
// candidate)` for every item and then `on_pair(i, j, same)` for every item
// with a candidate j.
template <typename Visit, typename OnPair>
void CheckAllCandidates(const ItemList::Storage& items,
                        const ItemList::Storage& candidates,
                        const std::uint32_t* candidate_of, int parts,
                        Visit visit, OnPair on_pair) {
  RunParts(parts, [&](int part) {
    const auto [begin, end] = PartRange(items.count, part, parts);
    Batch<std::uint32_t> batch;
    for (std::size_t i = begin; i < end;) {
      batch.count = 0;
      for (; i < end && batch.count < kBatch; ++i) {
        const std::uint32_t candidate = candidate_of[i];
        visit(i, candidate);
        batch.item[batch.count] = i;
        batch.candidate[batch.count] = candidate;
        batch.count += candidate != 0 ? 1 : 0;
      }
      CheckCandidates(batch, items, candidates,
                      [&](std::size_t c, std::size_t j, bool same) {
                        on_pair(c, j, same);
                        return true;
                      });
    }
  });
}

// The item indices of `bucket` of `sorted`.
inline std::vector<std::uint32_t> MembersOf(const BucketedList& sorted,
                                            std::size_t bucket,
                                            const BucketLayout& layout) {
  const auto [begin, end] = sorted.Range(bucket);
  std::vector<std::uint32_t> members(end - begin);
  for (std::size_t k = begin; k < end; ++k) {
    members[k - begin] =
        static_cast<std::uint32_t>(layout.IndexOf(sorted.entries[k]));
  }
  return members;
}

// Probes bucket `b` of `own` through `table`, in item order, setting
// copy_of[i] to the index + 1 of the first item with the tag of each later
// item i. False when the probes ran too long.
inline bool ProbeRepeats(const BucketedList& own, std::size_t b,
                         const BucketLayout& layout, BucketTable& table,
                         std::uint32_t* copy_of) {
  const auto [begin, end] = own.Range(b);
  table.Reset(end - begin);
  const std::size_t budget = BucketTable::Budget(end - begin);
  std::size_t steps = 0;
  for (std::size_t k = begin; k < end; ++k) {
    const std::uint64_t entry = own.entries[k];
    const std::size_t first = table.FindOrInsert(entry, steps);
    if (first != 0) {
      copy_of[layout.IndexOf(entry)] = static_cast<std::uint32_t>(first);
    }
    if (steps > budget) return false;
  }
  return true;
}

// Fills `table` with bucket `b` of `others` and sets candidate_of[i], for
// each item i of the bucket of `targets`, to the index + 1 of the item of
// `others` with its tag, or 0. False when the probes ran too long.
inline bool ProbeMatches(const BucketedList& targets,
                         const BucketedList& others, std::size_t b,
                         const BucketLayout& layout, BucketTable& table,
                         std::uint32_t* candidate_of) {
  const auto [begin, end] = others.Range(b);
  if (begin == end) return true;
  const auto [target_begin, target_end] = targets.Range(b);
  table.Reset(end - begin);
  const std::size_t budget =
      BucketTable::Budget(end - begin + target_end - target_begin);
  std::size_t steps = 0;
  for (std::size_t k = begin; k < end; ++k) {
    table.FindOrInsert(others.entries[k], steps);
    if (steps > budget) return false;
  }
  for (std::size_t k = target_begin; k < target_end; ++k) {
    const std::uint64_t entry = targets.entries[k];
    candidate_of[layout.IndexOf(entry)] =
        static_cast<std::uint32_t>(table.Find(entry, steps));
    if (steps > budget) return false;
  }
  return true;
}

// Sets marks as MarkRepeatsWith does (marks all zero on entry).
template <typename Hasher>
void MarkRepeatsByBuckets(const ItemList& list, std::uint8_t* marks,
                          bool mark_first, int parts, const Hasher& hasher) {
  const ItemList::Storage items = list.RawStorage();
  const int part_count = parts >= 2 ? 2 : 1;
  const BucketLayout layout(items.count, items.count);
  auto sort_into_buckets = [&] {
    return SortIntoBuckets(std::span<const ItemList::Storage>(&items, 1),
                           layout, part_count, hasher);
  };
  std::vector<BucketedList> sorted = sort_into_buckets();
  FailedBuckets failed(layout.buckets());

  ZeroedBlock copy_block(items.count * sizeof(std::uint32_t));
  auto* copy_of = static_cast<std::uint32_t*>(copy_block.data());
  ProbeBuckets(layout, sorted[0].Largest(), part_count, failed,
               [&](std::size_t b, BucketTable& table) {
                 return ProbeRepeats(sorted[0], b, layout, table, copy_of);
               });
  // Freed before the marks are written, so that the marks' pages take the
  // entries' place at the peak; the rare failed buckets sort again.
  sorted.clear();
  CheckAllCandidates(
      items, items, copy_of, part_count, [](std::size_t, std::uint32_t) {},
      [&](std::size_t c, std::size_t first, bool same) {
        if (!same) {
          failed.Add(layout.BucketOf(
              hasher(items.bytes + items.offsets[c], items.lengths[c])));
          return;
        }
        marks[c] = 1;
        // The other part may mark the same first copy at the same time.
        if (mark_first) {
          std::atomic_ref<std::uint8_t>(marks[first])
              .store(1, std::memory_order_relaxed);
        }
      });
  if (failed.Any()) sorted = sort_into_buckets();
  failed.ForEach(part_count, [&](std::size_t b, int threads) {
    const std::vector<std::uint32_t> members = MembersOf(sorted[0], b, layout);
    MarkRepeatsBySorting(items, members.data(), members.size(), marks,
                         mark_first, threads);
  });
}

// Sets marks as MarkMatchesWith does, for a big `other`: both lists are
// sorted into buckets by the hashes (a bucket holds some thousands of
// `other`'s items), and each bucket's items of `target` are probed through a
// table of that bucket's items of `other`.
template <typename Hasher>
void MarkMatchesByBuckets(const ItemList& target, const ItemList& other,
                          std::uint8_t* marks, bool found, int parts,
                          const Hasher& hasher) {
  const ItemList::Storage lists[2] = {target.RawStorage(), other.RawStorage()};
  const ItemList::Storage& items = lists[0];
  const ItemList::Storage& others = lists[1];
  const int part_count = parts >= 2 ? 2 : 1;
  const BucketLayout layout(others.count, std::max(items.count, others.count));
  auto sort_into_buckets = [&] {
    return SortIntoBuckets(std::span<const ItemList::Storage>(lists, 2), layout,
                           part_count, hasher);
  };
  std::vector<BucketedList> sorted = sort_into_buckets();
  FailedBuckets failed(layout.buckets());

  ZeroedBlock candidate_block(items.count * sizeof(std::uint32_t));
  auto* candidate_of = static_cast<std::uint32_t*>(candidate_block.data());
  ProbeBuckets(layout, sorted[1].Largest(), part_count, failed,
               [&](std::size_t b, BucketTable& table) {
                 return ProbeMatches(sorted[0], sorted[1], b, layout, table,
                                     candidate_of);
               });
  sorted.clear();  // as in MarkRepeatsByBuckets
  const std::uint8_t yes = found ? 1 : 0;
  CheckAllCandidates(
      items, others, candidate_of, part_count,
      [&](std::size_t i, std::uint32_t candidate) {
        marks[i] = candidate != 0 ? yes : 1 - yes;
      },
      [&](std::size_t i, std::size_t, bool same) {
        if (!same) {
          failed.Add(layout.BucketOf(
              hasher(items.bytes + items.offsets[i], items.lengths[i])));
        }
      });
  if (failed.Any()) sorted = sort_into_buckets();
  failed.ForEach(part_count, [&](std::size_t b, int threads) {
    const std::vector<std::uint32_t> members = MembersOf(sorted[0], b, layout);
    const std::vector<std::uint32_t> other_members =
        MembersOf(sorted[1], b, layout);
    MarkMatchesBySorting(items, members.data(), members.size(), others,
                         other_members.data(), other_members.size(), marks,
                         found, threads);
  });
}

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_BUCKETS_H_
