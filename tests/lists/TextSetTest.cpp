#include "lists/TextSet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/ItemLists.h"

namespace karvello {
namespace {

using testing::ListOf;

// Texts that differ late, by length only, by a NUL, and long ones: the
// comparison reads eight bytes at a time and must still see every byte.
std::string RandomText(std::mt19937& random) {
  const int kind = static_cast<int>(random() % 6);
  std::string text =
      "prefix-shared-by-many-texts-" + std::to_string(random() % 5000);
  if (kind == 1) text.resize(random() % 9);
  if (kind == 2) text += std::string(1, '\0');
  if (kind == 3) text.assign(random() % 40, 'x');
  if (kind == 4) text += std::string(100 + random() % 100, 'y');
  return text;
}

TEST(TextSetTest, KeepsExactlyOneCopyOfEachTextAcrossGrowth) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    TextSet set;
    std::set<std::string> reference;
    // One at a time, then in batches, so that both paths see a table that
    // grows several times over.
    for (int i = 0; i < 20000; ++i) {
      const std::string text = RandomText(random);
      ASSERT_EQ(set.Insert(text), reference.insert(text).second) << i;
    }
    for (int batch = 0; batch < 10; ++batch) {
      std::vector<std::string> texts;
      for (int i = 0; i < 3000; ++i) texts.push_back(RandomText(random));
      std::vector<std::uint8_t> added(texts.size());
      set.InsertAll(ListOf(texts), added.data());
      for (std::size_t i = 0; i < texts.size(); ++i) {
        // A text repeated within the batch is added only the first time.
        ASSERT_EQ(added[i] != 0, reference.insert(texts[i]).second) << i;
      }
    }
    EXPECT_EQ(set.size(), reference.size());

    std::vector<std::string> probes;
    for (int i = 0; i < 5000; ++i) probes.push_back(RandomText(random));
    probes.push_back("");
    probes.push_back("prefix-shared-by-many-texts-");
    std::vector<std::uint8_t> found(probes.size());
    set.FindAll(ListOf(probes), found.data());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      const bool in = reference.contains(probes[i]);
      EXPECT_EQ(found[i] != 0, in) << probes[i];
      EXPECT_EQ(set.Contains(probes[i]), in) << probes[i];
    }
  }
}

TEST(TextSetTest, EmptySetFindsNothingAndTheEmptyTextIsAText) {
  TextSet set;
  EXPECT_FALSE(set.Contains(""));
  std::vector<std::uint8_t> found(2, 7);
  set.FindAll(ListOf({"", "a"}), found.data());
  EXPECT_THAT(found, ::testing::ElementsAre(0, 0));
  EXPECT_TRUE(set.Insert(""));
  EXPECT_FALSE(set.Insert(""));
  EXPECT_TRUE(set.Contains(""));
  EXPECT_FALSE(set.Contains(std::string(1, '\0')));
  EXPECT_TRUE(set.Insert("Apple"));
  EXPECT_TRUE(set.Insert("apple"));
  EXPECT_TRUE(set.Insert("apple "));
  EXPECT_EQ(set.size(), 4u);
}

}  // namespace
}  // namespace karvello
