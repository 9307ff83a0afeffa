#include "lists/ItemKey.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#ifndef KARVELLO_NO_ICU_REFERENCE
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include "lists/internal/Normalization.h"
#endif
#include "support/ItemLists.h"
#include "support/KeyTexts.h"
#include "support/ReferenceFold.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::kNormalizes;
using ::karvello::testing::ListOf;
using ::karvello::testing::RandomKeyText;
using ::karvello::testing::ReferenceFold;
using ::karvello::testing::ReferenceKey;
using ::karvello::testing::ReferenceNfc;

constexpr KeyRules kFold{.ignore_case = true};
constexpr KeyRules kTrim{.trim = true};
constexpr KeyRules kBoth{.ignore_case = true, .trim = true};

// Single characters are checked against the folding table one by one
// below, and texts of them, of broken UTF-8 and of blanks against the
// reference; these are what those texts never hold.
TEST(ItemKeyTest, OverlongFormsAndOtherWhiteSpaceStayAsTheyAre) {
  EXPECT_EQ(KeyOf("\xC1\x81Z", kFold), "\xC1\x81z");
  EXPECT_EQ(KeyOf("\r \xC2\xA0x\r\t", kTrim), "\r \xC2\xA0x\r");
  EXPECT_EQ(KeyOf("\xC2\xA0X\r ", kBoth), "\xC2\xA0x\r");
  EXPECT_EQ(KeyOf("  AbC ", KeyRules{}), "  AbC ");
}

// The random texts hold these too, but on Windows there is no ICU to check
// them against: NFC composes across a run of marks in canonical order,
// Hangul jamo into a syllable, leaves compatibility forms (the fi ligature)
// apart, and keeps broken bytes as they are without composing across them.
TEST(ItemKeyTest, NormalizationComposesAsUnicodeSays) {
  constexpr KeyRules kNfc{.normalize = true};
  EXPECT_EQ(KeyOf("e\xCC\x81t\xC3\xA9", kNfc), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(KeyOf("a\xCC\xA3\xCC\x82", kNfc), "\xE1\xBA\xAD");
  EXPECT_EQ(KeyOf("a\xCC\x82\xCC\xA3", kNfc), "\xE1\xBA\xAD");
  EXPECT_EQ(KeyOf("\xE1\x84\x80\xE1\x85\xA1", kNfc), "\xEA\xB0\x80");
  EXPECT_EQ(KeyOf("\xEF\xAC\x81", kNfc), "\xEF\xAC\x81");
  EXPECT_EQ(KeyOf(std::string_view("e\xFF\xCC\x81\0E\xCC\x81", 8), kNfc),
            std::string("e\xFF\xCC\x81\0\xC3\x89", 7));
  EXPECT_EQ(
      KeyOf("E\xCC\x81", KeyRules{.ignore_case = true, .normalize = true}),
      "\xC3\xA9");
}

#ifndef KARVELLO_NO_ICU_REFERENCE
// The work of putting the marks that `text` decomposes to into canonical
// order by insertion, as the library does: the pairs of marks in one run
// that stand in the wrong order.
std::uint64_t InsertionWork(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::UnicodeString utf16 =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  std::uint64_t work = 0;
  std::uint64_t seen[256] = {};  // marks so far in the run, by class
  icu::UnicodeString decomposition;
  for (std::int32_t i = 0; i < utf16.length();) {
    const UChar32 c = utf16.char32At(i);
    i += U16_LENGTH(c);
    if (!nfd->getDecomposition(c, decomposition)) decomposition = c;
    for (std::int32_t j = 0; j < decomposition.length();) {
      const UChar32 d = decomposition.char32At(j);
      j += U16_LENGTH(d);
      const std::uint8_t combining_class = u_getCombiningClass(d);
      if (combining_class == 0) {
        std::fill(std::begin(seen), std::end(seen), 0);
        continue;
      }
      for (int above = combining_class + 1; above < 256; ++above) {
        work += seen[above];
      }
      ++seen[combining_class];
    }
  }
  return work;
}

// A line of 320 KB of alternating U+0301 and U+0316 took 37 s in
// remove-with --normalize, where as many of one mark took 0.12 s: the
// library ordered the run by insertion. Long runs reach it in order now,
// whatever they are made of, and the keys stay the library's NFC.
TEST(ItemKeyTest, LongRunsOfMarksReachTheLibraryInCanonicalOrder) {
  static std::uint64_t given_work;
  const internal::LibraryNormalizer library = internal::LibraryNfc();
  internal::LibraryNfc() = [](std::string_view text, std::string& out) {
    given_work += InsertionWork(text);
    out = ReferenceNfc(text);
  };
  std::mt19937 random(15);
  // Marks of classes 220 and 230; U+0F73 and U+0344, which decompose to
  // two marks each; U+1EAD, a letter that decomposes to a letter and two
  // marks; a letter, a Hangul syllable and broken bytes between runs.
  const char* const kPieces[] = {"\xCC\x81",     "\xCC\x96",     "\xCC\xA3",
                                 "\xCC\x82",     "\xE0\xBD\xB3", "\xCD\x84",
                                 "\xE1\xBA\xAD", "\xD6\xB0",     "e",
                                 "\xEA\xB0\x80", "\xFF",         "\xCC"};
  for (int round = 0; round < 40; ++round) {
    std::string text;
    const int runs = 1 + static_cast<int>(random() % 4);
    for (int run = 0; run < runs; ++run) {
      const int length = static_cast<int>(random() % 400);
      text += kPieces[8 + random() % 4];
      for (int i = 0; i < length; ++i) {
        text += kPieces[random() % (round % 2 == 0 ? 4 : 8)];
      }
    }
    SCOPED_TRACE(round);
    given_work = 0;
    std::string key;
    internal::AppendNormalized(text, key);
    EXPECT_TRUE(key == ReferenceNfc(text));
    EXPECT_LE(given_work, 32u * 32u * 4u * 4u);
  }
  std::string alternating = "a";
  for (int i = 0; i < 20000; ++i)
    alternating += i % 2 ? "\xCC\x96" : "\xCC\x81";
  given_work = 0;
  std::string key;
  internal::AppendNormalized(alternating, key);
  EXPECT_EQ(given_work, 0u);
  internal::LibraryNfc() = library;
}
#endif

TEST(ItemKeyTest, KeysOfKeepsOrderAndMatchesTheReference) {
  std::mt19937 random(11);
  for (const KeyRules rules :
       {kFold, kTrim, kBoth, KeyRules{.normalize = true},
        KeyRules{.ignore_case = true, .normalize = true},
        KeyRules{.trim = true, .field = 2, .delimiter = ','}}) {
    if (rules.normalize && !kNormalizes) continue;
    std::vector<std::string> items;
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
      items.push_back(RandomKeyText(random));
      expected.push_back(ReferenceKey(items.back(), rules));
    }
    EXPECT_EQ(ItemsOf(KeysOf(ListOf(items), rules)), expected);
  }
}

// Every code point through the ASCII shortcut, the decoder and the
// generated table must fold as ICU (on Windows Unicode's data file) says,
// one character at a time.
TEST(ItemKeyTest, EveryCodePointFoldsAsTheReferenceSays) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string text;
    testing::AppendUtf8(text, c);
    std::string folded;
    testing::AppendUtf8(folded, ReferenceFold(c));
    ASSERT_EQ(KeyOf(text, kFold), folded)
        << "U+" << std::hex << static_cast<std::uint32_t>(c);
  }
}

}  // namespace
}  // namespace karvello
