#include "lists/ItemList.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lists/Main.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::literals;

TEST(ItemListTest, SelectionFollowsItsItem) {
  EXPECT_EQ(ItemList().ListIndex(), -1);
  ItemList list = ListOf({"a", "b", "c", "d"});
  list.SetListIndex(2);  // "c"
  list.RemoveItem(3);
  EXPECT_EQ(list.ListIndex(), 2);
  list.RemoveItem(0);
  EXPECT_EQ(list.ListIndex(), 1);
  EXPECT_EQ(list.List(list.ListIndex()), "c");
  list.RemoveItem(1);
  EXPECT_EQ(list.ListIndex(), -1);
  // RemoveMarked's selection is checked with the operations (MainTest.cpp).

  list.SetListIndex(0);
  list.Clear();
  EXPECT_EQ(list.ListIndex(), -1);
  EXPECT_EQ(list.ListCount(), 0);
}

TEST(ItemListTest, OutOfRangeThrowsAndChangesNothing) {
  ItemList list = ListOf({"a", "b"});
  EXPECT_THROW(list.List(2), std::out_of_range);
  EXPECT_THROW(list.List(-1), std::out_of_range);
  EXPECT_THROW(list.RemoveItem(2), std::out_of_range);
  EXPECT_THROW(list.RemoveItem(-1), std::out_of_range);
  EXPECT_THROW(list.SetListIndex(2), std::out_of_range);
  EXPECT_THROW(list.SetListIndex(-2), std::out_of_range);
  const std::vector<std::uint8_t> wrong_size = {1};
  EXPECT_THROW(list.RemoveMarked(wrong_size), std::invalid_argument);
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "b"));
  EXPECT_THROW(ItemList().RemoveItem(0), std::out_of_range);
}

TEST(ItemListTest, RemovalsKeepOrderAndTextsSurviveCompaction) {
  // Removing most items, one by one and in bulk, makes the list reclaim the
  // dead bytes; every remaining text must come through intact and in order,
  // checked against the same removals from a vector.
  ItemList list;
  std::vector<std::string> expected;
  for (int k = 0; k < 2000; ++k) {
    std::string text = "item " + std::to_string(k);
    if (k % 7 == 0) text.clear();
    if (k % 11 == 0) text += "\0tail"s;
    if (k % 13 == 0) text += "\xff\xfe";
    list.AddItem(text);
    expected.push_back(text);
  }
  for (int k = 1999; k >= 0; k -= 2) {
    list.RemoveItem(k);
    expected.erase(expected.begin() + k);
  }
  std::vector<std::uint8_t> marks(expected.size());
  std::vector<std::string> kept;
  for (std::size_t k = 0; k < marks.size(); ++k) {
    marks[k] = k % 3 != 0;
    if (!marks[k]) kept.push_back(expected[k]);
  }
  list.RemoveMarked(marks);
  EXPECT_EQ(ItemsOf(list), kept);
  std::size_t bytes = 0;
  for (const auto& text : kept) bytes += text.size();
  EXPECT_EQ(list.TextBytes(), bytes);
  list.AddItem("last");
  kept.push_back("last");
  EXPECT_EQ(ItemsOf(list), kept);
}

TEST(ItemListTest, BigListsGrowAndCopyIntact) {
  // Past a few megabytes the arrays move to mappings of their own and grow
  // by moving pages; every text must come through growth, copy and removal.
  constexpr int kItems = 700000;
  auto text_of = [](int k) { return "item " + std::to_string(k * 7919LL); };
  ItemList list;
  for (int k = 0; k < kItems; ++k) list.AddItem(text_of(k));
  ItemList copy = list;
  std::vector<std::uint8_t> marks(kItems);
  for (int k = 0; k < kItems; ++k) marks[k] = k % 3 == 0;
  copy.RemoveMarked(marks);
  ASSERT_EQ(list.ListCount(), kItems);
  ASSERT_EQ(copy.ListCount(), kItems - (kItems + 2) / 3);
  for (int k = 0; k < kItems; k += 997) EXPECT_EQ(list.List(k), text_of(k));
  for (ItemList::Index k = 0; k < copy.ListCount(); k += 991) {
    const int original = static_cast<int>(k / 2 * 3 + k % 2 + 1);
    EXPECT_EQ(copy.List(k), text_of(original));
  }
  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
  list.AddItem("small again");
  EXPECT_THAT(ItemsOf(list), ElementsAre("small again"));
}

TEST(ItemListTest, CopiesAreIndependentAndMovesEmptyTheSource) {
  ItemList list = ListOf({"a", "b", "c"});
  list.SetListIndex(1);
  ItemList copy = list;
  copy.RemoveItem(0);
  copy.AddItem("d");
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "b", "c"));
  EXPECT_EQ(list.ListIndex(), 1);
  EXPECT_THAT(ItemsOf(copy), ElementsAre("b", "c", "d"));
  EXPECT_EQ(copy.ListIndex(), 0);

  list.RemoveItem(0);  // leaves dead bytes, which move along
  list.SetListIndex(1);
  ItemList moved = std::move(list);
  EXPECT_THAT(ItemsOf(moved), ElementsAre("b", "c"));
  EXPECT_EQ(moved.ListIndex(), 1);
  EXPECT_EQ(moved.TextBytes(), 2u);
  EXPECT_EQ(list.ListCount(), 0);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(list.ListIndex(), -1);
  EXPECT_EQ(list.TextBytes(), 0u);
  list = std::move(moved);
  EXPECT_EQ(moved.TextBytes(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.ListIndex(), -1);
  moved = list;
  list.AddItem("a");
  copy = moved;
  copy = copy;
  EXPECT_THAT(ItemsOf(copy), ElementsAre("b", "c"));
}

// A change prepared beside the list and taken later gives what the direct
// call gives, whatever was selected meanwhile, and is refused by a list
// that changed since.
TEST(ItemListTest, APreparedChangeTakesAsTheDirectCallWould) {
  const std::vector<std::string> texts = {"d", "a", "c", "a", "b",
                                          "",  "e", "b", "f", "a"};
  ItemList original = ListOf(texts);
  for (ItemList::Index selected = -1;
       selected < static_cast<ItemList::Index>(texts.size()); ++selected) {
    SCOPED_TRACE(selected);
    // Selection moved between the preparing and the taking.
    ItemList direct = original;
    ItemList taken = original;
    const std::vector<std::uint8_t> marks = {0, 1, 0, 1, 0, 1, 1, 0, 0, 1};
    ItemList::Change removal = taken.PrepareRemoveMarked(marks);
    EXPECT_EQ(removal.Removed(), 5);
    direct.SetListIndex(selected);
    taken.SetListIndex(selected);
    direct.RemoveMarked(marks);
    taken.Take(std::move(removal));
    EXPECT_EQ(ItemsOf(taken), ItemsOf(direct));
    EXPECT_EQ(taken.ListIndex(), direct.ListIndex());
    EXPECT_EQ(taken.TextBytes(), direct.TextBytes());

    const std::vector<ItemList::Index> order = {4, 0, 2, 1, 3};
    ItemList::Change reorder = taken.PrepareReorder(order);
    ASSERT_FALSE(reorder.Empty());
    if (direct.ListCount() > 0) {
      direct.SetListIndex(selected % direct.ListCount());
      taken.SetListIndex(selected % direct.ListCount());
    }
    direct.Reorder(order);
    taken.Take(std::move(reorder));
    EXPECT_EQ(ItemsOf(taken), ItemsOf(direct));
    EXPECT_EQ(taken.ListIndex(), direct.ListIndex());
    EXPECT_EQ(taken.RawStorage().in_order, direct.RawStorage().in_order);
    // Appended after, each text still its own.
    taken.AddItem("g");
    direct.AddItem("g");
    EXPECT_EQ(ItemsOf(taken), ItemsOf(direct));
  }

  // What moves nothing, or removes nothing, is empty; bad input throws.
  ItemList list = ListOf({"x", "x", "y"});
  EXPECT_TRUE(list.PrepareReorder({1, 0, 2}).Empty());
  EXPECT_TRUE(list.PrepareRemoveMarked(std::vector<std::uint8_t>(3)).Empty());
  EXPECT_THROW(static_cast<void>(list.PrepareReorder({0, 0, 2})),
               std::invalid_argument);
  EXPECT_THROW(
      static_cast<void>(list.PrepareRemoveMarked(std::vector<std::uint8_t>(2))),
      std::invalid_argument);
  // A list changed since refuses the change and stays as it is.
  ItemList::Change stale =
      list.PrepareRemoveMarked(std::vector<std::uint8_t>{1, 0, 0});
  list.AddItem("z");
  EXPECT_THROW(list.Take(std::move(stale)), std::logic_error);
  ItemList::Change also_stale = list.PrepareReorder({3, 2, 1, 0});
  list.RemoveItem(0);
  EXPECT_THROW(list.Take(std::move(also_stale)), std::logic_error);
  EXPECT_THAT(ItemsOf(list), ElementsAre("x", "y", "z"));
}

// Counts what it is told.
class CountingObserver final : public internal::RemovalObserver {
 public:
  void WillRemoveMarked(const ItemList& list,
                        std::span<const std::uint8_t> marks) override {
    for (std::size_t i = 0; i < marks.size(); ++i) {
      if (marks[i]) seen.emplace_back(list.List(static_cast<long>(i)));
    }
  }
  void WillRemoveItem(const ItemList& list, std::int64_t i) override {
    seen.emplace_back(list.List(i));
  }
  void WillClear(ItemList& list) override {
    seen.push_back("clear of " + std::to_string(list.ListCount()));
  }
  void WillReorder(const ItemList& list,
                   std::span<const std::int64_t> order) override {
    seen.push_back("reorder of " + std::to_string(list.ListCount()) + " from " +
                   std::to_string(order[0]));
  }
  void WillTake(const ItemList& list, internal::ChangeRecord&) override {
    seen.push_back("take from " + std::to_string(list.ListCount()));
  }
  std::vector<std::string> seen;
};

// A reorder moves the index alone, so the texts then lie out of list
// order: whatever scans the storage, compacts it or appends to it must
// still find each item's own bytes.
TEST(ItemListTest, ReorderedItemsKeepTheirTextsThroughEveryChange) {
  ItemList list = ListOf({"apple", "kiwi", "fig", "banana", "cherry"});
  list.SetListIndex(1);
  list.Reorder(std::vector<ItemList::Index>{3, 4, 2, 0, 1});
  EXPECT_THAT(ItemsOf(list),
              ElementsAre("banana", "cherry", "fig", "apple", "kiwi"));
  EXPECT_EQ(list.ListIndex(), 4);
  EXPECT_FALSE(list.RawStorage().in_order);
  // Orders that are no permutation change nothing.
  for (const std::vector<ItemList::Index>& bad :
       {std::vector<ItemList::Index>{0, 1, 2, 3},
        {0, 1, 2, 3, 3},
        {0, 1, 2, 3, 5},
        {0, 1, 2, 3, -1}}) {
    EXPECT_THROW(list.Reorder(bad), std::invalid_argument);
  }
  EXPECT_THAT(ItemsOf(list),
              ElementsAre("banana", "cherry", "fig", "apple", "kiwi"));
  // A search over the storage finds each text in its own item.
  RemoveItemsWith(list, "an");
  EXPECT_THAT(ItemsOf(list), ElementsAre("cherry", "fig", "apple", "kiwi"));
  RemoveItemsWithout(list, "i");
  EXPECT_THAT(ItemsOf(list), ElementsAre("fig", "kiwi"));
  // Compacted, the texts come back in list order.
  list.AddItem("date");
  list.RemoveItem(0);
  EXPECT_TRUE(list.RawStorage().in_order);
  EXPECT_THAT(ItemsOf(list), ElementsAre("kiwi", "date"));
  RemoveItemsWith(list, "iw");
  EXPECT_THAT(ItemsOf(list), ElementsAre("date"));
}

// What the undo history relies on and cannot see itself; its own tests
// replay every kind of change through the door.
TEST(ItemListTest, TheUndoDoorIsTheListObjectsAlone) {
  using internal::UndoDoor;
  CountingObserver observer;
  ItemList list = ListOf({"a", "bb", "ccc", "dddd"});
  UndoDoor::SetRemovalObserver(list, &observer);
  UndoDoor::HoldRemovedBytes(list, true);
  // Copies and moves take neither the observer nor the hold.
  ItemList copy = list;
  copy = list;
  copy.RemoveItem(0);
  ItemList moved = std::move(copy);
  moved.Clear();

  const ItemList::Storage storage = list.RawStorage();
  const std::vector<std::uint64_t> offsets = {storage.offsets[2],
                                              storage.offsets[3]};
  const std::vector<std::uint32_t> lengths = {3, 4};
  const std::uint8_t marks[] = {0, 0, 1, 1};
  list.RemoveMarked(marks);
  // Positions that do not number the items, or a range outside the
  // storage, change nothing.
  const std::uint64_t three_bits[] = {0b1110};
  EXPECT_THROW(UndoDoor::RestoreRemoved(list, three_bits, offsets, lengths),
               std::invalid_argument);
  const std::vector<std::uint64_t> outside = {storage.offsets[2], 100};
  const std::uint64_t bits[] = {0b1100};
  EXPECT_THROW(UndoDoor::RestoreRemoved(list, bits, outside, lengths),
               std::invalid_argument);
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "bb"));

  // Released, the storage compacts once it is more than half dead.
  const std::size_t held = list.RawStorage().arena_size;
  UndoDoor::HoldRemovedBytes(list, false);
  EXPECT_LT(list.RawStorage().arena_size, held);
  // A cut that takes the selected item takes the selection.
  list.SetListIndex(1);
  UndoDoor::Truncate(list, 1);
  EXPECT_EQ(list.ListIndex(), -1);
  list.AddItem("y");
  // An order that moves nothing is no change to be told of.
  list.Reorder(std::vector<ItemList::Index>{0, 1});
  list.Reorder(std::vector<ItemList::Index>{1, 0});
  list.Clear();
  UndoDoor::SetRemovalObserver(list, nullptr);
  list.AddItem("z");
  list.Clear();
  EXPECT_THAT(observer.seen,
              ElementsAre("ccc", "dddd", "reorder of 2 from 1", "clear of 2"));
}

}  // namespace
}  // namespace karvello
