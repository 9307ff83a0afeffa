#include "lists/ItemKey.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <random>
#include <string>
#include <vector>

#include "support/ItemLists.h"
#include "support/KeyTexts.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
using ::karvello::testing::RandomKeyText;
using ::karvello::testing::ReferenceKey;
using ::testing::ElementsAre;

constexpr KeyRules kFold{.ignore_case = true};
constexpr KeyRules kTrim{.trim = true};
constexpr KeyRules kBoth{.ignore_case = true, .trim = true};

TEST(ItemKeyTest, FoldingUsesSimpleDefaultMappings) {
  EXPECT_EQ(KeyOf("Smith@Example.COM", kFold), "smith@example.com");
  EXPECT_EQ(KeyOf("\xC3\x89tienne", kFold), "\xC3\xA9tienne");  // É -> é
  // Σ and final ς both fold to σ.
  EXPECT_EQ(KeyOf("\xCE\xA3\xCE\xBF\xCF\x82", kFold),
            "\xCF\x83\xCE\xBF\xCF\x83");
  // ß stays ß (only full folding gives ss); capital ẞ folds to ß.
  EXPECT_EQ(KeyOf("Stra\xC3\x9F"
                  "e",
                  kFold),
            "stra\xC3\x9F"
            "e");
  EXPECT_EQ(KeyOf("\xE1\xBA\x9E", kFold), "\xC3\x9F");
  // Without Turkic rules: dotted İ and dotless ı stay, I becomes i.
  EXPECT_EQ(KeyOf("\xC4\xB0\xC4\xB1I", kFold), "\xC4\xB0\xC4\xB1i");
  // The Kelvin sign folds to ASCII k, from three bytes to one.
  EXPECT_EQ(KeyOf("5\xE2\x84\xAA", kFold), "5k");
}

TEST(ItemKeyTest, BytesThatAreNotUtf8StayAsTheyAre) {
  EXPECT_EQ(KeyOf("A\xFF"
                  "B",
                  kFold),
            "a\xFF"
            "b");
  // A cut sequence, a lone continuation byte, an encoded surrogate and an
  // overlong form are all kept; the letters around them still fold.
  EXPECT_EQ(KeyOf("\xC3"
                  "A\x80"
                  "B",
                  kFold),
            "\xC3"
            "a\x80"
            "b");
  EXPECT_EQ(KeyOf("\xED\xA0\x80Q", kFold), "\xED\xA0\x80q");
  EXPECT_EQ(KeyOf("\xC1\x81Z", kFold), "\xC1\x81z");
}

TEST(ItemKeyTest, TrimDropsOnlyOuterBlanksAndTabs) {
  EXPECT_EQ(KeyOf(" \t a b\t ", kTrim), "a b");
  EXPECT_EQ(KeyOf(" \t ", kTrim), "");
  // Other white space is content.
  EXPECT_EQ(KeyOf("\xC2\xA0x\r", kTrim), "\xC2\xA0x\r");
  EXPECT_EQ(KeyOf("  AbC ", kBoth), "abc");
  EXPECT_EQ(KeyOf("  AbC ", KeyRules{}), "  AbC ");
}

TEST(ItemKeyTest, KeysOfKeepsOrderAndMatchesTheReference) {
  std::mt19937 random(11);
  for (const KeyRules rules : {kFold, kTrim, kBoth}) {
    std::vector<std::string> items;
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
      items.push_back(RandomKeyText(random));
      expected.push_back(ReferenceKey(items.back(), rules));
    }
    EXPECT_EQ(ItemsOf(KeysOf(ListOf(items), rules)), expected);
  }
}

// Every code point through the ASCII shortcut and the decoder must agree
// with the folding table, one character at a time.
TEST(ItemKeyTest, EveryCodePointFoldsAsTheTableSays) {
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string text;
    testing::AppendUtf8(text, static_cast<char32_t>(c));
    std::string folded;
    testing::AppendUtf8(
        folded, static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)));
    ASSERT_EQ(KeyOf(text, kFold), folded) << "U+" << std::hex << c;
  }
}

}  // namespace
}  // namespace karvello
