#include "lists/internal/TextSort.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lists/Parallel.h"
#include "lists/internal/Bytes.h"

namespace karvello::internal {

namespace {

// An item with its first 8 bytes as a number that orders as the bytes do
// (zero-padded, so "a" and "a\0" tie and the rest of the text decides).
// Sorting these touches the texts themselves only where keys tie, and then
// through `offset`, which can be fetched ahead (the texts of a big group
// lie all over memory; in sorted order each read of one is a cache miss).
struct Keyed {
  std::uint64_t key;
  std::uint64_t offset;
  std::uint32_t index;
  std::uint32_t length;
};

// Starts loading the bytes of `k` past its key, for a comparison soon.
void Fetch(const Keyed& k, const ItemList::Storage& items) noexcept {
  if (k.length > 8) __builtin_prefetch(items.bytes + k.offset + 8);
}

// How far ahead a walk over sorted records fetches.
constexpr std::size_t kFetchAhead = 16;

std::uint64_t PrefixKey(const char* p, std::size_t size) noexcept {
  std::uint64_t word = 0;
  if (size >= 8) {
    word = Load64(p);
  } else if (size > 0) {
    std::memcpy(&word, p, size);
  }
  return __builtin_bswap64(word);
}

// Byte-wise order, a text before its extensions.
int CompareBytes(const char* a, std::size_t a_size, const char* b,
                 std::size_t b_size) noexcept {
  const std::size_t common = std::min(a_size, b_size);
  const int order = common == 0 ? 0 : std::memcmp(a, b, common);
  if (order != 0) return order;
  return a_size < b_size ? -1 : (a_size > b_size ? 1 : 0);
}

// The order of the texts of `a` (an item of `a_items`) and `b`.
int CompareKeyed(const Keyed& a, const ItemList::Storage& a_items,
                 const Keyed& b, const ItemList::Storage& b_items) noexcept {
  if (a.key != b.key) return a.key < b.key ? -1 : 1;
  // Equal keys: the bytes that the keys cover are equal in both texts.
  const std::size_t skip = std::min<std::size_t>({8, a.length, b.length});
  const char* a_rest = a_items.bytes + a.offset + skip;
  const char* b_rest = b_items.bytes + b.offset + skip;
  // Tied keys are mostly copies of one text: test for equality first,
  // without a call.
  if (a.length == b.length &&
      SameText(a_rest, a.length - skip, b_rest, b.length - skip)) {
    return 0;
  }
  return CompareBytes(a_rest, a.length - skip, b_rest, b.length - skip);
}

bool SameKeyedText(const Keyed& a, const Keyed& b,
                   const ItemList::Storage& items) noexcept {
  if (a.key != b.key || a.length != b.length) return false;
  return a.length <= 8 || SameText(items.bytes + a.offset + 8, a.length - 8,
                                   items.bytes + b.offset + 8, b.length - 8);
}

class KeyedLess {
 public:
  explicit KeyedLess(const ItemList::Storage& items) : items_(items) {}
  const ItemList::Storage& items() const noexcept { return items_; }
  bool operator()(const Keyed& a, const Keyed& b) const noexcept {
    const int order = CompareKeyed(a, items_, b, items_);
    return order != 0 ? order < 0 : a.index < b.index;
  }

 private:
  const ItemList::Storage& items_;
};

// Below this many records a radix pass, which counts into 256 buckets,
// costs more than a comparison sort.
constexpr std::size_t kRadixFrom = 64;

// Ties of the whole key, by the rest of the bytes and then the index. The
// radix passes keep ties in index order, so copies of one text are sorted
// already: check before sorting.
void SortTies(Keyed* data, std::size_t count, const KeyedLess& less) {
  for (std::size_t k = 0; k < count && k < kFetchAhead; ++k) {
    Fetch(data[k], less.items());
  }
  if (!std::is_sorted(data, data + count, less)) {
    std::sort(data, data + count, less);
  }
}

// A few records, by comparison; their texts are fetched first, all at once,
// in case keys tie.
void SortSmall(Keyed* data, std::size_t count, const KeyedLess& less) {
  for (std::size_t k = 1; k < count; ++k) {
    if (data[k].key == data[k - 1].key) {
      for (std::size_t f = 0; f < count; ++f) Fetch(data[f], less.items());
      break;
    }
  }
  std::sort(data, data + count, less);
}

// Most-significant-byte-first radix sort of `data` by key, starting at the
// byte `shift` selects, through `scratch` (as long as `data`); each bucket
// then on its own, the small ones by comparison. With `parts` 2, the buckets
// of the first byte that differs are shared out between two threads.
void RadixSort(Keyed* data, Keyed* scratch, std::size_t count, int shift,
               const KeyedLess& less, int parts) {
  for (;;) {
    if (count < kRadixFrom) {
      SortSmall(data, count, less);
      return;
    }
    if (shift < 0) {
      SortTies(data, count, less);
      return;
    }
    std::size_t start[257] = {};
    for (std::size_t k = 0; k < count; ++k) {
      ++start[((data[k].key >> shift) & 0xff) + 1];
    }
    if (start[((data[0].key >> shift) & 0xff) + 1] == count) {
      shift -= 8;  // every key has this byte
      continue;
    }
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    std::size_t next[256];
    std::copy(start, start + 256, next);
    for (std::size_t k = 0; k < count; ++k) {
      scratch[next[(data[k].key >> shift) & 0xff]++] = data[k];
    }
    std::memcpy(data, scratch, count * sizeof(Keyed));
    // The buckets below `split` go to the first part, the rest to the
    // second: about half the records each.
    int split = parts >= 2 ? 0 : 256;
    while (split < 256 && start[split + 1] <= count / 2) ++split;
    RunParts(parts >= 2 ? 2 : 1, [&](int part) {
      const int first = part == 0 ? 0 : split;
      const int last = part == 0 ? split : 256;
      for (int b = first; b < last; ++b) {
        const std::size_t size = start[b + 1] - start[b];
        if (size > 1) {
          RadixSort(data + start[b], scratch + start[b], size, shift - 8, less,
                    1);
        }
      }
    });
    return;
  }
}

// The items `indices[0 .. count)` of `items` as records sorted by text, then
// by index.
std::unique_ptr<Keyed[]> SortKeyed(const ItemList::Storage& items,
                                   const std::uint32_t* indices,
                                   std::size_t count, int parts) {
  auto keyed = std::make_unique_for_overwrite<Keyed[]>(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t i = indices[k];
    const std::uint64_t offset = items.offsets[i];
    keyed[k] = {PrefixKey(items.bytes + offset, items.lengths[i]), offset, i,
                items.lengths[i]};
  }
  const KeyedLess less(items);
  if (count >= kRadixFrom) {
    auto scratch = std::make_unique_for_overwrite<Keyed[]>(count);
    RadixSort(keyed.get(), scratch.get(), count, 56, less, parts);
  } else {
    SortSmall(keyed.get(), count, less);
  }
  return keyed;
}

}  // namespace

void SortByText(const ItemList::Storage& items, std::uint32_t* indices,
                std::size_t count, int parts) {
  const std::unique_ptr<Keyed[]> sorted =
      SortKeyed(items, indices, count, parts);
  for (std::size_t k = 0; k < count; ++k) indices[k] = sorted[k].index;
}

void MarkRepeatsBySorting(const ItemList::Storage& items,
                          const std::uint32_t* members, std::size_t count,
                          std::uint8_t* marks, bool mark_first, int parts) {
  const std::unique_ptr<Keyed[]> sorted =
      SortKeyed(items, members, count, parts);
  for (std::size_t begin = 0; begin < count;) {
    std::size_t end = begin + 1;
    for (;; ++end) {
      if (end + kFetchAhead < count) Fetch(sorted[end + kFetchAhead], items);
      if (end == count || !SameKeyedText(sorted[begin], sorted[end], items)) {
        break;
      }
      marks[sorted[end].index] = 1;
    }
    // A run starts with its lowest index: the first copy.
    marks[sorted[begin].index] = mark_first && end - begin > 1 ? 1 : 0;
    begin = end;
  }
}

void MarkMatchesBySorting(const ItemList::Storage& items,
                          const std::uint32_t* members, std::size_t count,
                          const ItemList::Storage& others,
                          const std::uint32_t* other_members,
                          std::size_t other_count, std::uint8_t* marks,
                          bool found, int parts) {
  std::unique_ptr<Keyed[]> sorted;
  std::unique_ptr<Keyed[]> other_sorted;
  RunParts(parts >= 2 ? 2 : 1, [&](int part) {
    if (part == 0) sorted = SortKeyed(items, members, count, 1);
    if (part == 1 || parts < 2) {
      other_sorted = SortKeyed(others, other_members, other_count, 1);
    }
  });
  const std::uint8_t yes = found ? 1 : 0;
  std::size_t j = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const Keyed& item = sorted[k];
    if (k + kFetchAhead < count) Fetch(sorted[k + kFetchAhead], items);
    if (j + kFetchAhead < other_count) {
      Fetch(other_sorted[j + kFetchAhead], others);
    }
    int order = 1;
    while (j < other_count) {
      order = CompareKeyed(other_sorted[j], others, item, items);
      if (order >= 0) break;
      ++j;
    }
    marks[item.index] = j < other_count && order == 0 ? yes : 1 - yes;
  }
}

}  // namespace karvello::internal
