#include "lists/internal/Normalization.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lists/Utf8.h"

namespace karvello::internal {

namespace {

// ICU puts a run of combining marks into canonical order by insertion, in
// time that grows with the square of a run in the wrong order: one line of
// 160,000 alternating marks took 37 s. A run longer than this is put in
// order here first, in time n log n, so that ICU meets it ordered.
constexpr int kLongestUnorderedRun = 32;

const icu::Normalizer2& Nfc() {
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const nfc =
      icu::Normalizer2::getNFCInstance(status);
  if (nfc == nullptr) throw std::bad_alloc();
  return *nfc;
}

void IcuNfc(std::string_view text, std::string& out) {
  // ICU copies ill-formed sequences through unchanged.
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  Nfc().normalizeUTF8(0, icu::StringPiece(text.data(), text.size()), sink,
                      nullptr, status);
  if (U_FAILURE(status)) throw std::bad_alloc();
}

// Calls `each(c, length)` for each well-formed code point of `text` and
// `each(-1, 1)` for each byte of anything else.
template <typename Each>
void ForEachCodePoint(std::string_view text, Each each) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    char32_t c = p[at];
    std::size_t n = c < 0x80 ? 1 : DecodeUtf8(p + at, text.size() - at, c);
    if (n == 0) {
      each(-1, 1);
      n = 1;
    } else {
      each(static_cast<UChar32>(c), n);
    }
    at += n;
  }
}

// Whether some run of code points that decompose to non-starters, each
// after one that ends in a non-starter, is longer than kLongestUnorderedRun.
bool HasLongRun(std::string_view text) {
  int run = 0;
  bool found = false;
  ForEachCodePoint(text, [&](UChar32 c, std::size_t) {
    if (c < 0x300) {
      run = 0;
      return;
    }
    const bool leads =
        u_getIntPropertyValue(c, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0;
    const bool trails =
        u_getIntPropertyValue(c, UCHAR_TRAIL_CANONICAL_COMBINING_CLASS) != 0;
    run = leads ? run + 1 : trails ? 1 : 0;
    found = found || run > kLongestUnorderedRun;
  });
  return found;
}

// The canonical decomposition of `text` (NFD), which is canonically
// equivalent to it: each code point decomposed, each run of non-starters
// stably sorted by combining class. Ill-formed bytes stay where they are
// and end a run, as they do for ICU.
// One piece, past 50 lines: its three small lambdas share the run being
// sorted and the output, and read best beside the loop that feeds them.
std::string CanonicallyOrdered(std::string_view text) {
  const icu::Normalizer2& nfd = *[] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(status);
    if (n == nullptr) throw std::bad_alloc();
    return n;
  }();
  std::string ordered;
  ordered.reserve(text.size());
  std::vector<std::pair<std::uint8_t, UChar32>> run;
  auto append = [&ordered](UChar32 c) {
    char bytes[4];
    std::int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    ordered.append(bytes, static_cast<std::size_t>(length));
  };
  auto flush = [&] {
    std::stable_sort(run.begin(), run.end(), [](const auto& a, const auto& b) {
      return a.first < b.first;
    });
    for (const auto& [combining_class, c] : run) append(c);
    run.clear();
  };
  auto take = [&](UChar32 c) {
    const auto combining_class =
        static_cast<std::uint8_t>(u_getCombiningClass(c));
    if (combining_class == 0) {
      flush();
      append(c);
    } else {
      run.emplace_back(combining_class, c);
    }
  };
  icu::UnicodeString decomposition;
  std::size_t at = 0;
  ForEachCodePoint(text, [&](UChar32 c, std::size_t length) {
    if (c < 0) {
      flush();
      ordered += text[at];
    } else if (!nfd.getDecomposition(c, decomposition)) {
      take(c);
    } else {
      for (std::int32_t i = 0; i < decomposition.length();) {
        const UChar32 d = decomposition.char32At(i);
        i += U16_LENGTH(d);
        take(d);
      }
    }
    at += length;
  });
  flush();
  return ordered;
}

}  // namespace

LibraryNormalizer& LibraryNfc() {
  static LibraryNormalizer normalizer = IcuNfc;
  return normalizer;
}

void AppendNormalized(std::string_view text, std::string& out) {
  // Below U+0300 every character is in NFC and composes with nothing that
  // comes before it, so text of such characters (all of ASCII and Latin-1)
  // is its own NFC form. U+0300 starts with the byte 0xCC.
  if (std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0xCC;
      })) {
    out.append(text);
    return;
  }
  if (text.size() > INT32_MAX) {
    throw std::length_error("an item of 2 GiB or more cannot be normalized");
  }
  if (HasLongRun(text)) {
    LibraryNfc()(CanonicallyOrdered(text), out);
  } else {
    LibraryNfc()(text, out);
  }
}

}  // namespace karvello::internal
