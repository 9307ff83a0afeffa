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
