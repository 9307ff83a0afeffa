// UTF-8 as the lists read it: which bytes are well-formed, decoding and
// encoding one sequence. The rules are written here once; the case folding,
// the normalization and the list box's display text all follow them.
//
//   IsWellFormedUtf8("caf\xC3\xA9") == true
//   IsWellFormedUtf8("caf\xE9") == false  // Latin-1's é

#ifndef KARVELLO_LISTS_UTF8_H_
#define KARVELLO_LISTS_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace karvello {

// The length of the well-formed UTF-8 sequence of 2 to 4 bytes that starts
// at `p`, of which `left` bytes may be read, with its code point in `c`; 0
// when none starts there (an ASCII byte included). Well-formed as the
// Unicode standard's table of UTF-8 sequences says: no overlong form, no
// surrogate, nothing past U+10FFFF.
inline std::size_t DecodeUtf8(const std::uint8_t* p, std::size_t left,
                              char32_t& c) noexcept {
  const unsigned lead = p[0];
  if (lead < 0xC2 || lead > 0xF4) return 0;
  auto tail = [&](std::size_t k) { return (p[k] & 0xC0) == 0x80; };
  if (lead < 0xE0) {
    if (left < 2 || !tail(1)) return 0;
    c = (lead & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  // The second byte's range depends on the lead: E0 and F0 exclude
  // overlong forms, ED the surrogates, F4 what lies past U+10FFFF.
  const unsigned second = left >= 2 ? p[1] : 0;
  const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (second < low || second > high) return 0;
  if (lead < 0xF0) {
    if (left < 3 || !tail(2)) return 0;
    c = (lead & 0x0F) << 12 | (second & 0x3F) << 6 | (p[2] & 0x3F);
    return 3;
  }
  if (left < 4 || !tail(2) || !tail(3)) return 0;
  c = (lead & 0x07) << 18 | (second & 0x3F) << 12 | (p[2] & 0x3F) << 6 |
      (p[3] & 0x3F);
  return 4;
}

// Whether all of `bytes` is well-formed UTF-8: ASCII bytes, and sequences
// that DecodeUtf8 reads; nothing stray, truncated or overlong.
inline bool IsWellFormedUtf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  char32_t c;
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (p[pos] < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t n = DecodeUtf8(p + pos, bytes.size() - pos, c);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

// Writes the UTF-8 form of code point `c` (at most U+10FFFF) at `out`,
// which has room for 4 bytes, and returns its length.
inline std::size_t EncodeUtf8(char32_t c, char* out) noexcept {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | c >> 6);
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | c >> 12);
    out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | c >> 18);
  out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace karvello

#endif  // KARVELLO_LISTS_UTF8_H_
