#include "cli/Operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
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

// The slow scan each command stands for, on reference keys: item i stays
// when `keep(i)` says so.
template <typename Keep>
std::vector<std::string> Scan(const std::vector<std::string>& items,
                              Keep keep) {
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (keep(i)) kept.push_back(items[i]);
  }
  return kept;
}

std::vector<std::string> ReferenceRun(std::string_view command,
                                      const std::vector<std::string>& items,
                                      const KeyRules& rules,
                                      const std::string& argument,
                                      const std::vector<std::string>& other) {
  std::vector<std::string> keys;
  for (const std::string& item : items) {
    keys.push_back(ReferenceKey(item, rules));
  }
  auto count = [&](const std::string& key) {
    std::size_t n = 0;
    for (const std::string& k : keys) n += k == key ? 1 : 0;
    return n;
  };
  auto in_other = [&](const std::string& key) {
    for (const std::string& item : other) {
      if (ReferenceKey(item, rules) == key) return true;
    }
    return false;
  };
  const std::string search = ReferenceKey(argument, rules);
  auto contains = [&](std::size_t i) {
    return keys[i].find(search) != std::string::npos;
  };
  if (command == "dedupe") {
    return Scan(items, [&](std::size_t i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (keys[j] == keys[i]) return false;
      }
      return true;
    });
  }
  if (command == "remove-all-dupes") {
    return Scan(items, [&](std::size_t i) { return count(keys[i]) == 1; });
  }
  if (command == "remove-with") {
    return Scan(items,
                [&](std::size_t i) { return search.empty() || !contains(i); });
  }
  if (command == "remove-without") {
    return Scan(items,
                [&](std::size_t i) { return search.empty() || contains(i); });
  }
  if (command == "subtract") {
    return Scan(items, [&](std::size_t i) { return !in_other(keys[i]); });
  }
  return Scan(items, [&](std::size_t i) { return in_other(keys[i]); });
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
