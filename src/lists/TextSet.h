// A set of byte strings that keeps one copy of each text it is given, for
// work that streams: remembering the first copies of a list's texts while
// the list goes by, or the texts of another list to look items up in.
// Texts are equal when their bytes are, as everywhere in the program; the
// hash only proposes candidates, the bytes decide.
//
//   TextSet seen;
//   seen.Insert("a");   // true: new
//   seen.Insert("a");   // false: already there
//   seen.Contains("b"); // false
//
// Memory follows the distinct texts, not how often they come: each costs
// its bytes, four more for its length, and 12 to 23 bytes of table. Its
// table is not the operations' ItemTable, which names items of a list that
// stays: the texts a TextSet is given are gone once it has seen them, so it
// keeps its own copies, and a slot is their offset with a tag beside it.

#ifndef KARVELLO_LISTS_TEXTSET_H_
#define KARVELLO_LISTS_TEXTSET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "lists/ItemHash.h"
#include "lists/ItemList.h"
#include "lists/internal/Bytes.h"

namespace karvello {

class TextSet {
 public:
  TextSet() = default;

  // The hash a set files a text under. A copy may be used on any thread,
  // so that the hashes of a list can be made beside the set's own work and
  // given to InsertAll and FindAll.
  class Hasher {
   public:
    std::uint64_t operator()(std::string_view text) const noexcept {
      return hash_(text.data(), text.size()) & bits_;
    }

   private:
    friend class TextSet;
    // Keyed, so that a list built to make its texts collide cannot be.
    ItemHasher hash_;
    std::uint64_t bits_ = ~std::uint64_t{0};
  };

  // A test hook: a set that keeps only the bits of each hash that are set in
  // `hash_bits`, so that texts collide on purpose and only their bytes can
  // tell them apart.
  static TextSet WithHashBitsForTesting(std::uint64_t hash_bits) {
    TextSet set;
    set.hasher_.bits_ = hash_bits;
    return set;
  }

  const Hasher& hasher() const noexcept { return hasher_; }

  // Adds `text` unless an equal text is in the set; true when it was added.
  // Throws std::bad_alloc when memory runs out (the set is then unchanged)
  // and std::length_error for a text of 4 GiB or more.
  bool Insert(std::string_view text);

  // Inserts the items of `list` in order, setting added[i] to 1 when item i
  // was added (the first copy of its text) and to 0 when not. The table is
  // fetched some items ahead, as one Insert per item cannot. Throws as
  // Insert does; the set then holds what it held and the texts of some of
  // the items, and `added` is left unspecified.
  void InsertAll(const ItemList& list, std::uint8_t* added);
  // The same with hashes[i] = hasher()(item i) made beforehand.
  void InsertAll(const ItemList& list, const std::uint64_t* hashes,
                 std::uint8_t* added);

  // Sets found[i] to 1 for each item of `list` whose text is in the set and
  // to 0 for the others.
  void FindAll(const ItemList& list, std::uint8_t* found) const;
  // The same with hashes[i] = hasher()(item i) made beforehand.
  void FindAll(const ItemList& list, const std::uint64_t* hashes,
               std::uint8_t* found) const;

  // True when a text equal to `text` is in the set.
  bool Contains(std::string_view text) const noexcept;

  // Calls visit(text) for each text of the set, in the order they came.
  template <typename Visit>
  void ForEach(Visit visit) const {
    constexpr std::size_t kLength = sizeof(std::uint32_t);
    for (std::size_t at = 0; at < bytes_.size();) {
      const auto size =
          static_cast<std::size_t>(internal::Load32(bytes_.data() + at));
      visit(std::string_view(bytes_.data() + at + kLength, size));
      at += kLength + size;
    }
  }

  // The storage that the bytes of the texts inserted next go to, grown
  // first, if need be, to hold `bytes` more. It stays where it is until
  // the set grows past it; another thread may fault its pages in
  // (internal::PrefaultBlock) meanwhile. Throws std::bad_alloc.
  std::span<char> RoomAhead(std::size_t bytes);

  // The bytes that the texts take, with their lengths.
  std::size_t TextBytes() const noexcept { return bytes_.size(); }

  // The number of distinct texts.
  std::size_t size() const noexcept { return size_; }

 private:
  // 0 for an empty slot. Otherwise the low 40 bits are 1 + the offset in
  // bytes_ of the text's entry, its length in four bytes and then its bytes;
  // the high 24 bits are the high 24 bits of its hash, which tell nearly
  // every other text apart without reading either. A slot of 8 bytes keeps
  // the table small: less memory to fault in, more of it in the cache.
  using Slot = std::uint64_t;

  // An item whose hash agreed with the tag of slot `slot`: it equals the
  // stored text unless the two only collide.
  struct Candidate {
    std::size_t item;
    Slot slot;
  };

  // The slot holding `text`, or the empty slot where it would go.
  std::size_t Find(std::string_view text, std::uint64_t hash) const noexcept;
  // The first slot from the home of `hash` whose tag agrees with it (a
  // candidate), or the empty slot where its text would go: reads no text.
  std::size_t Probe(std::uint64_t hash) const noexcept;
  // True when the text that `slot` stores equals `text`.
  bool Holds(Slot slot, std::string_view text) const noexcept;
  const char* Entry(Slot slot) const noexcept;
  bool InsertHashed(std::string_view text, std::uint64_t hash);
  // Stores `text` in the empty slot `i`.
  void Store(std::size_t i, std::string_view text, std::uint64_t hash);
  // Makes room for `more` texts without the table filling past 70%.
  void Reserve(std::size_t more);
  void Prefetch(std::uint64_t hash) const noexcept;
  // Calls visit(i, text, hash) for each item i of `list` in order, with
  // the table fetched some items ahead. `hashes` holds the items' hashes,
  // or, when it is not const, is given them here as they are needed.
  template <typename Hashes, typename Visit>
  void Pipeline(const ItemList& list, Hashes* hashes, Visit visit) const;
  // True, with every mark of `found` 0, when there is nothing to look up.
  bool FoundNothing(const ItemList& list, std::uint8_t* found) const;
  // The bodies of InsertAll and FindAll, for either kind of `hashes`.
  template <typename Hashes>
  void InsertHashes(const ItemList& list, Hashes* hashes, std::uint8_t* added);
  template <typename Hashes>
  void FindHashes(const ItemList& list, Hashes* hashes,
                  std::uint8_t* found) const;
  // Compares each candidate's item with its stored text, the texts fetched
  // some candidates ahead, and calls collided(item) in order for each whose
  // bytes differ.
  template <typename Collided>
  void Verify(const ItemList& list, const std::vector<Candidate>& candidates,
              Collided collided) const;

  std::uint64_t Hash(const char* text, std::size_t size) const noexcept {
    return hasher_(std::string_view(text, size));
  }

  Hasher hasher_;
  internal::PodBuffer<char> bytes_;
  internal::PodBuffer<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace karvello

#endif  // KARVELLO_LISTS_TEXTSET_H_
