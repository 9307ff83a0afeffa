#include "lists/internal/TextSort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/ItemLists.h"

namespace karvello::internal {
namespace {

using namespace std::literals;

// Texts that tie in their first 8 bytes in many ways: shared prefixes,
// trailing NULs that a zero-padded key cannot see, equal copies.
std::vector<std::string> TrickyTexts(std::size_t count, std::uint32_t seed) {
  static const std::string kPrefixes[] = {
      "", "a", "a\0"s, "abcdefgh", "abcdefgh\0"s, "prefix-shared-by-"};
  std::mt19937 random(seed);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < count; ++k) {
    std::string text = kPrefixes[pick(std::size(kPrefixes))];
    const std::size_t extra = pick(12);
    for (std::size_t c = 0; c < extra; ++c) text.push_back("ab\0\xff"[pick(4)]);
    texts.push_back(text);
  }
  return texts;
}

TEST(TextSortTest, OrdersLikeStringComparisonThenByIndex) {
  for (const std::size_t count : {0, 1, 3, 14, 127, 128, 129, 600, 10000}) {
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(std::to_string(count) + " items, seed " +
                   std::to_string(seed));
      const std::vector<std::string> texts = TrickyTexts(count, seed);
      const ItemList list = testing::ListOf(texts);
      std::vector<std::pair<std::string, std::uint32_t>> expected;
      for (std::uint32_t i = 0; i < texts.size(); ++i) {
        expected.emplace_back(texts[i], i);
      }
      std::sort(expected.begin(), expected.end());

      // The even items, in reverse: which items, and the order they come
      // in, must not matter.
      std::vector<std::uint32_t> indices;
      for (auto i = static_cast<std::uint32_t>(texts.size()); i-- > 0;) {
        if (i % 2 == 0) indices.push_back(i);
      }
      std::erase_if(expected,
                    [](const auto& entry) { return entry.second % 2 != 0; });
      SortByText(list.RawStorage(), indices.data(), indices.size());
      ASSERT_EQ(indices.size(), expected.size());
      for (std::size_t k = 0; k < indices.size(); ++k) {
        EXPECT_EQ(indices[k], expected[k].second) << "at " << k;
      }
    }
  }
}

}  // namespace
}  // namespace karvello::internal
