// A fast keyed 64-bit hash of short byte strings, for the hash tables of the
// list operations. Equal byte strings always hash alike under one key;
// different ones collide rarely, so a table uses the hash only to find
// candidates and compares the bytes to decide.
//
// The key is drawn once per process from the system's random source, so that
// a list cannot be built in advance to make all of its items collide: lists
// come from the web and from other people. (The tables also bound their
// worst case when items do collide; the key only keeps that case rare.)
//
// The hash reads exactly the `size` bytes it is given (short strings through
// overlapping loads inside the string), never one byte beyond them.

#ifndef KARVELLO_LISTS_INTERNAL_ITEMHASH_H_
#define KARVELLO_LISTS_INTERNAL_ITEMHASH_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lists/internal/Bytes.h"

namespace karvello::internal {

struct HashKey {
  std::uint64_t words[3];
};

// Fills `size` bytes at `buffer` with random bytes and returns true, or
// returns false.
using RandomSource = bool (*)(void* buffer, std::size_t size);

// Fills from getrandom(2), retrying when interrupted; on Windows from
// BCryptGenRandom.
bool SystemRandom(void* buffer, std::size_t size) noexcept;

// A key from `source`; when it fails, a key mixed from the clocks, the
// process id, addresses (which the system places at random) and a count of
// calls, so that even then two keys, and two processes' keys, differ.
HashKey MakeHashKey(RandomSource source) noexcept;

// This process's key: MakeHashKey(SystemRandom), made on first use.
const HashKey& ProcessHashKey() noexcept;

// Multiplies into 128 bits and folds the halves together: one instruction
// that mixes every input bit into every output bit.
__extension__ typedef unsigned __int128 Uint128;

inline std::uint64_t FoldedMultiply(std::uint64_t a, std::uint64_t b) noexcept {
  const Uint128 product = static_cast<Uint128>(a) * b;
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t HashBytes(const char* p, std::size_t size,
                               const HashKey& key) noexcept {
  constexpr std::uint64_t kMix0 = 0x2d358dccaa6c78a5ULL;
  constexpr std::uint64_t kMix1 = 0x8bb84b93962eacc9ULL;
  constexpr std::uint64_t kMix2 = 0x4b33a62ed433d4a3ULL;
  const std::uint64_t block_key = kMix1 ^ key.words[1];

  std::uint64_t state = kMix0 ^ key.words[0] ^ (size * kMix2);
  std::uint64_t a;
  std::uint64_t b;
  if (size <= 16) {
    if (size >= 4) {
      // Two pairs of 4-byte loads that together cover every byte: from the
      // front and from the back, moved inwards by 4 when there are 8 or more.
      const std::size_t inner = (size >> 3) << 2;
      a = (Load32(p) << 32) | Load32(p + inner);
      b = (Load32(p + size - 4) << 32) | Load32(p + size - 4 - inner);
    } else if (size > 0) {
      a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
          (static_cast<std::uint64_t>(static_cast<unsigned char>(p[size >> 1]))
           << 8) |
          static_cast<unsigned char>(p[size - 1]);
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    std::size_t left = size;
    while (left > 16) {
      // The state is folded back in: a block whose product is zero then
      // drops only itself, not everything mixed before it.
      state = FoldedMultiply(Load64(p) ^ block_key, Load64(p + 8) ^ state) ^
              std::rotl(state, 29);
      p += 16;
      left -= 16;
    }
    // The last 16 bytes, overlapping bytes already mixed when `left` < 16.
    a = Load64(p + left - 16);
    b = Load64(p + left - 8);
  }
  return FoldedMultiply(kMix1 ^ key.words[2] ^ size,
                        FoldedMultiply(a ^ block_key, b ^ state ^ kMix2));
}

// The hash the list operations use, as a function object so that a table can
// take another one in its place. Holds a copy of the process's key.
class ItemHasher {
 public:
  ItemHasher() noexcept : key_(ProcessHashKey()) {}
  explicit ItemHasher(const HashKey& key) noexcept : key_(key) {}

  std::uint64_t operator()(const char* p, std::size_t size) const noexcept {
    return HashBytes(p, size, key_);
  }
  std::uint64_t operator()(std::string_view text) const noexcept {
    return HashBytes(text.data(), text.size(), key_);
  }

 private:
  HashKey key_;
};

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_ITEMHASH_H_
