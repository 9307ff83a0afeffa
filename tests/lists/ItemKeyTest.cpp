#include "lists/ItemKey.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
