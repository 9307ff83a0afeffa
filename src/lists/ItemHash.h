// A fast 64-bit hash of short byte strings, for the hash tables of the list
// operations. Equal byte strings always hash alike; different ones collide
// rarely, so a table uses the hash only to find candidates and compares the
// bytes to decide.
//
// The hash reads exactly the `size` bytes it is given (short strings through
// overlapping loads inside the string), never one byte beyond them.

#ifndef KARVELLO_LISTS_ITEMHASH_H_
#define KARVELLO_LISTS_ITEMHASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace karvello {

namespace internal {

inline std::uint64_t Load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t Load32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Multiplies into 128 bits and folds the halves together: one instruction
// that mixes every input bit into every output bit.
__extension__ typedef unsigned __int128 Uint128;

inline std::uint64_t FoldedMultiply(std::uint64_t a, std::uint64_t b) noexcept {
  const Uint128 product = static_cast<Uint128>(a) * b;
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

}  // namespace internal

inline std::uint64_t HashBytes(const char* p, std::size_t size) noexcept {
  using internal::FoldedMultiply;
  using internal::Load32;
  using internal::Load64;
  constexpr std::uint64_t kMix0 = 0x2d358dccaa6c78a5ULL;
  constexpr std::uint64_t kMix1 = 0x8bb84b93962eacc9ULL;
  constexpr std::uint64_t kMix2 = 0x4b33a62ed433d4a3ULL;

  std::uint64_t state = kMix0 ^ (size * kMix2);
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
      state = FoldedMultiply(Load64(p) ^ kMix1, Load64(p + 8) ^ state);
      p += 16;
      left -= 16;
    }
    // The last 16 bytes, overlapping bytes already mixed when `left` < 16.
    a = Load64(p + left - 16);
    b = Load64(p + left - 8);
  }
  return FoldedMultiply(kMix1 ^ size,
                        FoldedMultiply(a ^ kMix1, b ^ state ^ kMix2));
}

inline std::uint64_t HashBytes(std::string_view text) noexcept {
  return HashBytes(text.data(), text.size());
}

// The hash the list operations use, as a function object so that a table can
// take another one in its place.
struct ItemHasher {
  std::uint64_t operator()(const char* p, std::size_t size) const noexcept {
    return HashBytes(p, size);
  }
};

}  // namespace karvello

#endif  // KARVELLO_LISTS_ITEMHASH_H_
