#include "cli/Operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/ItemLists.h"
#include "support/KeyTexts.h"
#include "support/ReferenceScan.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
using ::karvello::testing::RandomKeyText;
using ::karvello::testing::ReferenceKey;
using ::karvello::testing::ReferenceScan;
using ::testing::ElementsAre;

constexpr KeyRules kExact{};
constexpr KeyRules kFold{.ignore_case = true};
constexpr KeyRules kTrim{.trim = true};
constexpr KeyRules kBoth{.ignore_case = true, .trim = true};

std::vector<std::string> Apply(std::string_view command,
                               const std::vector<std::string>& items,
                               const KeyRules& rules,
                               std::string_view argument = "",
                               const std::vector<std::string>& other = {}) {
  ItemList list = ListOf(items);
  RunOperation(command, argument, rules, list, ListOf(other));
  return ItemsOf(list);
}

// The reference scan run on reference keys: what `command` leaves of
// `items` under `rules`.
std::vector<std::string> ReferenceRun(std::string_view command,
                                      const std::vector<std::string>& items,
                                      const KeyRules& rules,
                                      const std::string& argument,
                                      const std::vector<std::string>& other) {
  auto keys_of = [&](const std::vector<std::string>& texts) {
    std::vector<std::string> keys;
    for (const std::string& text : texts) {
      keys.push_back(ReferenceKey(text, rules));
    }
    return keys;
  };
  const std::vector<bool> kept = ReferenceScan(
      command, keys_of(items), ReferenceKey(argument, rules), keys_of(other));
  std::vector<std::string> left;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (kept[i]) left.push_back(items[i]);
  }
  return left;
}

// remove-blanks compares no items, so it has no reference run below.
TEST(OperationsTest, RemoveBlanksRemovesOnlyEmptyItems) {
  EXPECT_THAT(Apply("remove-blanks", {"", " ", "a", "\t", ""}, kExact),
              ElementsAre(" ", "a", "\t"));
}

TEST(OperationsTest, EveryCommandUnderEveryRuleMatchesAPlainScan) {
  std::mt19937 random(2024);
  const char* const commands[] = {"dedupe",      "remove-all-dupes",
                                  "remove-with", "remove-without",
                                  "subtract",    "keep-matches"};
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> items, other;
    const int n = 1 + static_cast<int>(random() % 300);
    for (int i = 0; i < n; ++i) items.push_back(RandomKeyText(random));
    for (int i = 0; i < n / 3; ++i) other.push_back(RandomKeyText(random));
    const std::string argument = RandomKeyText(random);
    for (const char* command : commands) {
      for (const KeyRules rules : {kExact, kFold, kTrim, kBoth}) {
        SCOPED_TRACE(::testing::Message()
                     << "round " << round << ", " << command << ", fold "
                     << rules.ignore_case << ", trim " << rules.trim);
        ASSERT_EQ(Apply(command, items, rules, argument, other),
                  ReferenceRun(command, items, rules, argument, other));
      }
    }
  }
}

TEST(OperationsTest, CountsFollowTheFirstCopyOfEachKey) {
  ItemList list;
  DedupeWithCounts(kExact, list);
  EXPECT_EQ(list.ListCount(), 0);

  std::mt19937 random(5);
  for (const KeyRules rules : {kExact, kFold, kTrim, kBoth}) {
    std::vector<std::string> items;
    for (int i = 0; i < 2000; ++i) items.push_back(RandomKeyText(random));
    std::vector<std::string> expected;
    std::map<std::string, std::size_t> slot;
    std::vector<int> counts;
    for (const std::string& item : items) {
      const auto [at, fresh] =
          slot.try_emplace(ReferenceKey(item, rules), expected.size());
      if (fresh) {
        expected.push_back(item);
        counts.push_back(0);
      }
      ++counts[at->second];
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
      expected[i].append("\t").append(std::to_string(counts[i]));
    }
    list = ListOf(items);
    DedupeWithCounts(rules, list);
    EXPECT_EQ(ItemsOf(list), expected);
  }
}

TEST(OperationsTest, StatsLineCountsWhatWasRemoved) {
  EXPECT_EQ(StatsLine("dedupe", 10000000, 3, 2691841),
            "karvello-cli: dedupe: 10000000 items read from 3 files, 7308159 "
            "removed, 2691841 written");
  EXPECT_EQ(StatsLine("cat", 1, 1, 1),
            "karvello-cli: cat: 1 item read from 1 file, 0 removed, 1 written");
}

}  // namespace
}  // namespace karvello
