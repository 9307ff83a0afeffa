// Random item texts that exercise the comparison keys, and a plain
// reference for the keys, shared by the key and CLI operation tests.

#ifndef KARVELLO_TESTS_SUPPORT_KEYTEXTS_H_
#define KARVELLO_TESTS_SUPPORT_KEYTEXTS_H_

#ifndef KARVELLO_NO_ICU_REFERENCE
#include <unicode/normalizer2.h>
#endif

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "lists/ItemKey.h"
#include "support/ReferenceFold.h"
#include "support/Utf8.h"

namespace karvello::testing {

// The length of the well-formed UTF-8 sequence at the start of `s` (the
// table of well-formed byte sequences in the Unicode standard), or 0.
inline std::size_t WellFormedLength(std::string_view s) {
  auto at = [&](std::size_t i) {
    return i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0x100;
  };
  auto in = [](unsigned b, unsigned lo, unsigned hi) {
    return b >= lo && b <= hi;
  };
  const unsigned b0 = at(0), b1 = at(1), b2 = at(2), b3 = at(3);
  if (b0 <= 0x7F) return 1;
  if (in(b0, 0xC2, 0xDF) && in(b1, 0x80, 0xBF)) return 2;
  const bool tail2 = in(b2, 0x80, 0xBF);
  if (b0 == 0xE0 && in(b1, 0xA0, 0xBF) && tail2) return 3;
  if ((in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) && in(b1, 0x80, 0xBF) &&
      tail2) {
    return 3;
  }
  if (b0 == 0xED && in(b1, 0x80, 0x9F) && tail2) return 3;
  const bool tail3 = tail2 && in(b3, 0x80, 0xBF);
  if (b0 == 0xF0 && in(b1, 0x90, 0xBF) && tail3) return 4;
  if (in(b0, 0xF1, 0xF3) && in(b1, 0x80, 0xBF) && tail3) return 4;
  if (b0 == 0xF4 && in(b1, 0x80, 0x8F) && tail3) return 4;
  return 0;
}

inline char32_t DecodeUtf8(std::string_view s, std::size_t n) {
  const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  if (n == 1) return b(0);
  if (n == 2) return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (n == 3)
    return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
         (b(3) & 0x3F);
}

// The field-th field of `text`, read one byte at a time as a spreadsheet
// reads a CSV field: a field that opens with a quote runs to the quote that
// closes it ("" inside standing for "), then on to the delimiter; one that
// never closes is read as plain bytes.
inline std::string ReferenceField(std::string_view text, std::uint32_t field,
                                  char delimiter) {
  std::size_t at = 0;
  for (std::uint32_t n = 1;; ++n) {
    std::string value;
    std::size_t end = at;
    bool closed = false;
    if (at < text.size() && text[at] == '"') {
      for (end = at + 1; end < text.size(); ++end) {
        if (text[end] != '"') {
          value += text[end];
        } else if (end + 1 < text.size() && text[end + 1] == '"') {
          value += text[++end];
        } else {
          closed = true;
          ++end;
          break;
        }
      }
    }
    if (!closed) {
      value.clear();
      end = at;
    }
    for (; end < text.size() && text[end] != delimiter; ++end) {
      value += text[end];
    }
    if (n == field) return value;
    if (end >= text.size()) return "";
    at = end + 1;
  }
}

// Whether the reference can normalize: it takes ICU, which the Windows
// build lacks. Tests leave those rules out there; examples check them.
#ifdef KARVELLO_NO_ICU_REFERENCE
inline constexpr bool kNormalizes = false;
inline std::string ReferenceNfc(std::string_view text) {
  return std::string(text);
}
#else
inline constexpr bool kNormalizes = true;

// The NFC form of `text`: each stretch of well-formed UTF-8 normalized
// through ICU's UTF-16 interface, every other byte copied.
inline std::string ReferenceNfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t end = i;
    while (end < text.size() && WellFormedLength(text.substr(end)) != 0) {
      end += WellFormedLength(text.substr(end));
    }
    if (end == i) {
      out += text[i++];
      continue;
    }
    nfc->normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(
                       text.data() + i, static_cast<std::int32_t>(end - i))),
                   status)
        .toUTF8String(out);
    i = end;
  }
  return out;
}
#endif

// The key of `text`, written out plainly: the field, then trim by index,
// then normalize, then decode one character at a time and fold each with
// the Unicode table (a byte that starts no well-formed sequence is copied),
// then normalize again.
inline std::string ReferenceKey(std::string_view text, const KeyRules& rules) {
  std::string field;
  if (rules.field != 0) {
    field = ReferenceField(text, rules.field, rules.delimiter);
    text = field;
  }
  if (rules.trim) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
      text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
      text.remove_suffix(1);
    }
  }
  std::string normal(text);
  if (rules.normalize) normal = ReferenceNfc(normal);
  if (!rules.ignore_case) return normal;
  text = normal;
  std::string key;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = WellFormedLength(text.substr(i));
    if (n == 0) {
      key += text[i++];
      continue;
    }
    AppendUtf8(key, ReferenceFold(DecodeUtf8(text.substr(i), n)));
    i += n;
  }
  return rules.normalize ? ReferenceNfc(key) : key;
}

// A short text of pieces that fold, trim or break UTF-8 in interesting
// ways, so that random lists hold many items with equal keys.
inline std::string RandomKeyText(std::mt19937& random) {
  static constexpr std::string_view kPieces[] = {
      "a",
      "A",
      "b",
      "B",
      " ",
      "\t",
      "\xC3\x89",
      "\xC3\xA9",  // É é
      "\xC3\x9F",
      "\xE1\xBA\x9E",
      "ss",  // ß ẞ
      "\xCE\xA3",
      "\xCF\x83",
      "\xCF\x82",  // Σ σ ς
      "\xC4\xB0",
      "\xC4\xB1",
      "i",
      "I",  // İ ı
      "\xE2\x84\xAA",
      "k",  // Kelvin sign
      "\xFF",
      "\xC3",
      "\x80",
      "\xED\xA0\x80",
      ",",
      "e",
      "T",
      "\xCC\x81",
      "\xCC\x88",      // combining acute and diaeresis
      "\xE1\xBA\x97",  // ẗ
      "\"",
  };
  std::string text;
  const int pieces = static_cast<int>(random() % 4);
  for (int k = 0; k < pieces; ++k) {
    text += kPieces[random() % std::size(kPieces)];
  }
  return text;
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_KEYTEXTS_H_
