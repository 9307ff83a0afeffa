// Word loads and byte-string comparison for the hash tables and sorts of the
// list operations.

#ifndef KARVELLO_LISTS_INTERNAL_BYTES_H_
#define KARVELLO_LISTS_INTERNAL_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace karvello::internal {

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

// Whether two byte strings are equal. Short ones are compared with a few
// overlapping word loads inside the strings instead of a call to memcmp;
// always inlined, as a call would cost more than the comparison. The one
// byte comparison of the hash tables and the sorts.
[[gnu::always_inline]] inline bool SameText(const char* a, std::size_t a_size,
                                            const char* b,
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

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_BYTES_H_
