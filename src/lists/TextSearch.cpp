#include "lists/internal/TextSearch.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvello::internal {

std::size_t FindText(const char* text, std::size_t size, std::size_t from,
                     std::string_view needle) noexcept {
  const std::size_t m = needle.size();
  if (m == 0 || size < m || from > size - m) return std::string_view::npos;
  const std::size_t last_start = size - m;
  if (m == 1) {
    const void* hit = std::memchr(text + from, needle[0], size - from);
    return hit == nullptr ? std::string_view::npos
                          : static_cast<const char*>(hit) - text;
  }
  std::size_t pos = from;
#if defined(__SSE2__)
  // Test 16 start positions at once on the needle's first and last byte,
  // and compare the bytes between only where both agree.
  const __m128i first = _mm_set1_epi8(needle.front());
  const __m128i last = _mm_set1_epi8(needle.back());
  while (last_start - pos >= 15 && pos <= last_start) {
    const __m128i at_first =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + pos));
    const __m128i at_last =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + pos + m - 1));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
        _mm_cmpeq_epi8(at_first, first), _mm_cmpeq_epi8(at_last, last))));
    while (mask != 0) {
      const std::size_t at =
          pos + static_cast<std::size_t>(__builtin_ctz(mask));
      if (m == 2 || std::memcmp(text + at + 1, needle.data() + 1, m - 2) == 0) {
        return at;
      }
      mask &= mask - 1;
    }
    pos += 16;
  }
#endif
  for (; pos <= last_start; ++pos) {
    if (text[pos] == needle.front() &&
        std::memcmp(text + pos, needle.data(), m) == 0) {
      return pos;
    }
  }
  return std::string_view::npos;
}

void MarkContaining(const ItemList& list, std::string_view needle,
                    std::uint8_t* marks, std::uint8_t with,
                    std::uint8_t without) {
  const ItemList::Storage items = list.RawStorage();
  const std::size_t n = items.count;
  if (n == 0) return;
  std::memset(marks, without, n);
  const std::size_t m = needle.size();
  if (!items.in_order) {
    for (std::size_t i = 0; i < n; ++i) {
      if (FindText(items.bytes + items.offsets[i], items.lengths[i], 0,
                   needle) != std::string_view::npos) {
        marks[i] = with;
      }
    }
    return;
  }
  const std::size_t end = items.offsets[n - 1] + items.lengths[n - 1];
  // One search over the whole arena instead of one per item. A hit counts
  // only when it lies wholly inside one item; it may also fall across the
  // end of an item or on the dead bytes of a removed one.
  std::size_t k = 0;
  std::size_t from = items.offsets[0];
  while (true) {
    const std::size_t hit = FindText(items.bytes, end, from, needle);
    if (hit == std::string_view::npos) break;
    // Items that end before the hit does cannot hold it, nor any later hit.
    while (k < n && items.offsets[k] + items.lengths[k] < hit + m) ++k;
    if (k == n) break;
    if (items.offsets[k] <= hit) {
      marks[k] = with;
      ++k;
      if (k == n) break;
    }
    // No later hit inside item k - 1 (already marked, or too short for a hit
    // that starts where this one does) matters: go on at the next item.
    from = items.offsets[k];
  }
}

}  // namespace karvello::internal
