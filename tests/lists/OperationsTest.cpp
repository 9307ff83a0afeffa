#include "lists/Operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lists/CopyCounts.h"
#include "support/ItemLists.h"
#include "support/KeyTexts.h"
#include "support/ReferenceScan.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::kNormalizes;
using ::karvello::testing::ListOf;
using ::karvello::testing::RandomKeyText;
using ::karvello::testing::ReferenceKey;
using ::karvello::testing::ReferenceOrder;
using ::karvello::testing::ReferenceScan;

constexpr KeyRules kRules[] = {{},
                               {.ignore_case = true},
                               {.trim = true},
                               {.ignore_case = true, .trim = true},
                               {.ignore_case = true, .normalize = true},
                               {.trim = true, .field = 2, .delimiter = ','}};

std::vector<std::string> ReferenceKeys(const std::vector<std::string>& texts,
                                       const KeyRules& rules) {
  std::vector<std::string> keys;
  for (const std::string& text : texts)
    keys.push_back(ReferenceKey(text, rules));
  return keys;
}

// What the reference scan leaves of `items` for `op` on the reference keys;
// the last copies are the first of the list read backwards.
std::vector<bool> ReferenceKept(const Operation& op, const KeyRules& rules,
                                bool keep_last,
                                const std::vector<std::string>& items,
                                const std::string& search,
                                const std::vector<std::string>& other) {
  if (op.stream == Stream::kCopy) return std::vector<bool>(items.size(), true);
  const KeyRules used = op.takes.keys ? rules : KeyRules{};
  std::vector<std::string> keys = ReferenceKeys(items, used);
  if (keep_last) std::reverse(keys.begin(), keys.end());
  std::vector<bool> kept =
      ReferenceScan(op.name, keys, ReferenceKey(search, used.ForKeys()),
                    ReferenceKeys(other, used.ForKeys()));
  if (keep_last) std::reverse(kept.begin(), kept.end());
  return kept;
}

// A build that cannot check the rows while compiling still checks them.
TEST(OperationsTest, EveryRowHasTheFunctionsAndChoicesOfItsKind) {
  EXPECT_TRUE(TableIsWhole());
}

// Every row of the table, under every rule and choice, leaves what the
// reference scan leaves when it is run on the reference keys: the original
// items.
TEST(OperationsTest, EveryRowUnderEveryRuleMatchesAPlainScan) {
  std::mt19937 random(2024);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> items, other;
    const int n = 1 + static_cast<int>(random() % 300);
    for (int i = 0; i < n; ++i) items.push_back(RandomKeyText(random));
    for (int i = 0; i < n / 3; ++i) other.push_back(RandomKeyText(random));
    const std::string search = RandomKeyText(random);
    for (const Operation& op : kOperations) {
      for (const KeyRules& rules : kRules) {
        if (rules.normalize && !kNormalizes) continue;
        for (const bool keep_last : {false, true}) {
          if (keep_last && !op.takes.keep_last) continue;
          if (op.kind != Kind::kRemoves) continue;
          SCOPED_TRACE(::testing::Message()
                       << "round " << round << ", " << op.name << ", fold "
                       << rules.ignore_case << ", trim " << rules.trim
                       << ", normalize " << rules.normalize << ", field "
                       << rules.field << ", last " << keep_last);
          ItemList list = ListOf(items);
          Apply(op, {.keys = rules, .keep_last = keep_last}, list, search,
                ListOf(other));
          const std::vector<bool> kept =
              ReferenceKept(op, rules, keep_last, items, search, other);
          std::vector<std::string> left;
          for (std::size_t i = 0; i < items.size(); ++i) {
            if (kept[i]) left.push_back(items[i]);
          }
          ASSERT_EQ(ItemsOf(list), left);
        }
      }
    }
  }
}

// Every row that reorders, under every rule and order, puts the items where
// a plain stable sort of the reference keys puts them; choices a row does
// not take change nothing.
TEST(OperationsTest, EveryReorderingRowMatchesAPlainStableSort) {
  std::mt19937 random(77);
  for (int round = 0; round < 30; ++round) {
    std::vector<std::string> items;
    const int n = static_cast<int>(random() % 400);
    for (int i = 0; i < n; ++i) {
      // Numbers, with and without leading zeros, among the texts.
      items.push_back(random() % 3 == 0
                          ? "x" + std::string(random() % 3, '0') +
                                std::to_string(random() % 120) + "y"
                          : RandomKeyText(random));
    }
    for (const Operation& op : kOperations) {
      if (op.kind != Kind::kReorders) continue;
      for (const KeyRules& rules : kRules) {
        if (rules.normalize && !kNormalizes) continue;
        for (const int order : {0, 1, 2, 3}) {
          const bool descending = order & 1, natural = order & 2;
          SCOPED_TRACE(::testing::Message()
                       << "round " << round << ", " << op.name << ", fold "
                       << rules.ignore_case << ", trim " << rules.trim
                       << ", field " << rules.field << ", descending "
                       << descending << ", natural " << natural);
          ItemList list = ListOf(items);
          Apply(op,
                {.keys = rules,
                 .keep_last = true,
                 .descending = descending,
                 .natural = natural},
                list, "", ItemList());
          const std::vector<std::size_t> expected = ReferenceOrder(
              op.name, ReferenceKeys(items, op.takes.keys ? rules : KeyRules{}),
              descending && op.takes.descending, natural && op.takes.natural);
          std::vector<std::string> placed;
          for (std::size_t i : expected) placed.push_back(items[i]);
          ASSERT_EQ(ItemsOf(list), placed);
        }
      }
    }
  }
  // The natural order's own cases, and the kinds each function refuses.
  std::vector<std::string> names = {"x10", "x09", "file10", "x9", "file2",
                                    "a!",  "a1",  "a",      "",   "x009"};
  ItemList list = ListOf(names);
  Apply(OperationOf(Op::kSort), {.natural = true}, list, "", ItemList());
  EXPECT_THAT(ItemsOf(list),
              ::testing::ElementsAre("", "a", "a1", "a!", "file2", "file10",
                                     "x9", "x09", "x009", "x10"));
  std::vector<std::uint8_t> marks(names.size());
  EXPECT_THROW(Mark(OperationOf(Op::kSort), {}, list, "", ItemList(), marks),
               std::invalid_argument);
  EXPECT_THROW(Order(OperationOf(Op::kDedupe), {}, list),
               std::invalid_argument);
}

TEST(OperationsTest, CopiesAreCountedOnTheFirstItemOfEachKey) {
  std::mt19937 random(5);
  for (const KeyRules& rules : kRules) {
    if (rules.normalize && !kNormalizes) continue;
    std::vector<std::string> items;
    for (int i = 0; i < 2000; ++i) items.push_back(RandomKeyText(random));
    std::map<std::string, std::size_t> first;
    std::vector<std::uint64_t> expected(items.size(), 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
      ++expected[first.try_emplace(ReferenceKey(items[i], rules), i)
                     .first->second];
    }
    EXPECT_EQ(CountCopies(KeysOf(ListOf(items), rules)), expected);
  }
}

}  // namespace
}  // namespace karvello
