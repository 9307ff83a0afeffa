#include "lists/TextSet.h"

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "lists/internal/Bytes.h"

namespace karvello {

namespace {

// How many items ahead InsertAll and FindAll fetch the table: far enough
// that the slot has arrived from memory when its turn comes.
constexpr std::size_t kAhead = 16;

constexpr int kOffsetBits = 40;
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
constexpr std::uint64_t kTagMask = ~kOffsetMask;
constexpr std::size_t kLengthBytes = 4;

}  // namespace

const char* TextSet::Entry(Slot slot) const noexcept {
  return bytes_.data() + (slot & kOffsetMask) - 1;
}

bool TextSet::Holds(Slot slot, std::string_view text) const noexcept {
  const char* entry = Entry(slot);
  return internal::SameText(entry + kLengthBytes, internal::Load32(entry),
                            text.data(), text.size());
}

std::size_t TextSet::Find(std::string_view text,
                          std::uint64_t hash) const noexcept {
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot == 0) return i;
    if ((slot & kTagMask) == (hash & kTagMask) && Holds(slot, text)) return i;
  }
}

std::size_t TextSet::Probe(std::uint64_t hash) const noexcept {
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot == 0 || (slot & kTagMask) == (hash & kTagMask)) return i;
  }
}

void TextSet::Prefetch(std::uint64_t hash) const noexcept {
  const Slot* home = slots_.data() + (hash & mask_);
  __builtin_prefetch(home);
  // A run of slots that starts late in its cache line goes on into the
  // next line more often than not in a table filled to 70%.
  __builtin_prefetch(home + 4);
}

void TextSet::Reserve(std::size_t more) {
  std::size_t count = slots_.size() == 0 ? 1024 : slots_.size();
  // At most 70% full: the probes for a missing text stay within a cache
  // line or two, and the table is fresh zeroed memory that costs to touch.
  while ((size_ + more) * 10 > count * 7) count *= 2;
  const std::size_t old_count = slots_.size();
  if (count == old_count) return;
  // The table grows where it is and is filled again from the bytes, not
  // from its old slots: only the part added is fresh memory, and no second
  // table is held beside it while it fills.
  slots_.Resize(count);
  // Filling touches every page of the table anyway, so zeroing the part
  // that may be fresh costs little, and holds wherever the memory came from.
  std::memset(static_cast<void*>(slots_.data()), 0, count * sizeof(Slot));
  const std::size_t mask = count - 1;
  Slot* const grown = slots_.data();
  // A slot keeps none of the index bits, so every text is hashed again, in
  // the order of the bytes: a read straight through them. The slots they go
  // to are fetched some texts ahead, in a ring of the texts in between.
  struct Moving {
    std::uint64_t offset;
    std::uint64_t hash;
  };
  Moving ring[kAhead];
  std::size_t offset = 0;
  auto next = [&](Moving& moving) {
    const char* entry = bytes_.data() + offset;
    const auto length = static_cast<std::size_t>(internal::Load32(entry));
    moving = {offset, Hash(entry + kLengthBytes, length)};
    __builtin_prefetch(grown + (moving.hash & mask));
    offset += kLengthBytes + length;
  };
  std::size_t ahead = 0;
  while (ahead < kAhead && offset < bytes_.size()) next(ring[ahead++]);
  for (std::size_t k = 0; k < size_; ++k) {
    Moving& moving = ring[k % kAhead];
    std::size_t i = moving.hash & mask;
    while (grown[i] != 0) i = (i + 1) & mask;
    grown[i] = (moving.offset + 1) | (moving.hash & kTagMask);
    if (offset < bytes_.size()) next(moving);
  }
  mask_ = mask;
}

void TextSet::Store(std::size_t i, std::string_view text, std::uint64_t hash) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("text of 4 GiB or more");
  }
  const std::uint64_t offset = bytes_.size();
  if (offset + kLengthBytes + text.size() >= kOffsetMask) {
    throw std::length_error("distinct texts of 1 TiB or more");
  }
  // Room for the whole entry first, so that a failure leaves no half of it.
  bytes_.Grow(kLengthBytes + text.size());
  bytes_.Resize(offset + kLengthBytes + text.size());
  char* const entry = bytes_.data() + offset;
  const auto length = static_cast<std::uint32_t>(text.size());
  std::memcpy(entry, &length, kLengthBytes);
  if (!text.empty())
    std::memcpy(entry + kLengthBytes, text.data(), text.size());
  slots_[i] = (offset + 1) | (hash & kTagMask);
  ++size_;
}

bool TextSet::InsertHashed(std::string_view text, std::uint64_t hash) {
  const std::size_t i = Find(text, hash);
  if (slots_[i] != 0) return false;
  Store(i, text, hash);
  return true;
}

bool TextSet::Insert(std::string_view text) {
  Reserve(1);
  return InsertHashed(text, Hash(text.data(), text.size()));
}

template <typename Hashes, typename Visit>
void TextSet::Pipeline(const ItemList& list, Hashes* hashes,
                       Visit visit) const {
  const auto count = static_cast<std::size_t>(list.ListCount());
  auto fetch = [&](std::size_t i) {
    if constexpr (!std::is_const_v<Hashes>) {
      const std::string_view text =
          list.UncheckedItem(static_cast<ItemList::Index>(i));
      hashes[i] = Hash(text.data(), text.size());
    }
    Prefetch(hashes[i]);
  };
  for (std::size_t k = 0; k < count && k < kAhead; ++k) fetch(k);
  for (std::size_t k = 0; k < count; ++k) {
    if (k + kAhead < count) fetch(k + kAhead);
    visit(k, list.UncheckedItem(static_cast<ItemList::Index>(k)), hashes[k]);
  }
}

template <typename Collided>
void TextSet::Verify(const ItemList& list,
                     const std::vector<Candidate>& candidates,
                     Collided collided) const {
  const std::size_t n = candidates.size();
  // An entry that equals its item ends where the item's length says, and
  // may reach into the next cache line: that line is fetched too (a
  // prefetch past the bytes of a shorter entry is harmless). Read through
  // bytes_ each time: `collided` may insert, which can move the bytes.
  auto fetch = [&](const Candidate& candidate) {
    const char* entry = Entry(candidate.slot);
    const std::size_t size =
        list.UncheckedItem(static_cast<ItemList::Index>(candidate.item)).size();
    __builtin_prefetch(entry);
    __builtin_prefetch(entry + kLengthBytes + size - 1);
  };
  for (std::size_t k = 0; k < n && k < kAhead; ++k) fetch(candidates[k]);
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) fetch(candidates[k + kAhead]);
    const std::string_view text =
        list.UncheckedItem(static_cast<ItemList::Index>(candidates[k].item));
    if (!Holds(candidates[k].slot, text)) {
      collided(candidates[k].item);
    }
  }
}

// Both passes first agree on the tag alone and compare the bytes of
// the texts that agree afterwards, all together: compared on the way, each
// stored text is a miss that can only start once its slot has arrived, and
// the two misses of an item queue one behind the other. Gathered, the
// stored texts are fetched side by side like the slots. A candidate whose
// bytes differ only collided, and is looked up again in full.
//
// That gives each item the fate a plain lookup would: a text that agrees
// with no slot on the way to an empty one is not in the table, and a text
// that stops at a colliding slot stops there every time, so no later copy
// of it is taken for new either.

template <typename Hashes>
void TextSet::InsertHashes(const ItemList& list, Hashes* hashes,
                           std::uint8_t* added) {
  const auto count = static_cast<std::size_t>(list.ListCount());
  // Room for every item first, so that the table does not move under the
  // fetches made ahead.
  Reserve(count);
  std::vector<Candidate> candidates;
  candidates.reserve(count);
  Pipeline(list, hashes,
           [&](std::size_t i, std::string_view text, std::uint64_t hash) {
             const std::size_t k = Probe(hash);
             added[i] = slots_[k] == 0;
             if (added[i]) {
               Store(k, text, hash);
             } else {
               candidates.push_back({i, slots_[k]});
             }
           });
  Verify(list, candidates, [&](std::size_t i) {
    added[i] = InsertHashed(list.UncheckedItem(static_cast<ItemList::Index>(i)),
                            hashes[i]);
  });
}

void TextSet::InsertAll(const ItemList& list, std::uint8_t* added) {
  const auto hashes = std::make_unique_for_overwrite<std::uint64_t[]>(
      static_cast<std::size_t>(list.ListCount()));
  InsertHashes(list, hashes.get(), added);
}

void TextSet::InsertAll(const ItemList& list, const std::uint64_t* hashes,
                        std::uint8_t* added) {
  InsertHashes(list, hashes, added);
}

template <typename Hashes>
void TextSet::FindHashes(const ItemList& list, Hashes* hashes,
                         std::uint8_t* found) const {
  const auto count = static_cast<std::size_t>(list.ListCount());
  std::vector<Candidate> candidates;
  candidates.reserve(count);
  Pipeline(list, hashes,
           [&](std::size_t i, std::string_view, std::uint64_t hash) {
             const std::size_t k = Probe(hash);
             found[i] = slots_[k] != 0;
             if (found[i]) candidates.push_back({i, slots_[k]});
           });
  Verify(list, candidates, [&](std::size_t i) {
    found[i] = slots_[Find(list.UncheckedItem(static_cast<ItemList::Index>(i)),
                           hashes[i])] != 0;
  });
}

// An empty list may come with no marks at all, a null pointer that memset
// must not be given; an empty set has no table to look in.
bool TextSet::FoundNothing(const ItemList& list, std::uint8_t* found) const {
  if (list.ListCount() != 0 && size_ == 0) {
    std::memset(found, 0, static_cast<std::size_t>(list.ListCount()));
  }
  return list.ListCount() == 0 || size_ == 0;
}

void TextSet::FindAll(const ItemList& list, std::uint8_t* found) const {
  if (FoundNothing(list, found)) return;
  const auto hashes = std::make_unique_for_overwrite<std::uint64_t[]>(
      static_cast<std::size_t>(list.ListCount()));
  FindHashes(list, hashes.get(), found);
}

void TextSet::FindAll(const ItemList& list, const std::uint64_t* hashes,
                      std::uint8_t* found) const {
  if (!FoundNothing(list, found)) FindHashes(list, hashes, found);
}

std::span<char> TextSet::RoomAhead(std::size_t bytes) {
  bytes_.Grow(bytes);
  return {bytes_.data() + bytes_.size(), bytes_.capacity() - bytes_.size()};
}

bool TextSet::Contains(std::string_view text) const noexcept {
  if (size_ == 0) return false;
  return slots_[Find(text, Hash(text.data(), text.size()))] != 0;
}

}  // namespace karvello
