#include "lists/UndoHistory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lists/Main.h"
#include "lists/Operations.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A list as a test sees it: its texts, its selection and what it counts of
// its texts.
struct Snapshot {
  std::vector<std::string> items;
  ItemList::Index selected;
  std::size_t text_bytes;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};
Snapshot Snap(const ItemList& list) {
  return {ItemsOf(list), list.ListIndex(), list.TextBytes()};
}

ViewState View(std::int64_t top) { return {top, static_cast<int>(top) + 7, 3}; }

class UndoHistoryTest : public ::testing::Test {
 protected:
  // Runs `change` on list `id` as one step, with views `top` before and
  // `top + 1` after.
  template <typename Change>
  void Step(int id, std::int64_t top, Change change) {
    history_.Open(id, *lists_[id], View(top));
    change(*lists_[id]);
    history_.Close(View(top + 1));
  }

  ItemList::Change Prepared(bool undo) const {
    const std::array<const ItemList*, 2> lists = {&one_, &two_};
    return history_.PrepareReplay(lists, undo);
  }

  ItemList one_;
  ItemList two_;
  std::array<ItemList*, 2> lists_{&one_, &two_};
  UndoHistory history_;
};

TEST_F(UndoHistoryTest, ANewChangeDropsTheUndoneStepsButANoOpKeepsThem) {
  one_ = ListOf({"a", "b", "c"});
  Step(0, 0, [](ItemList& l) { l.RemoveItem(0); });
  Step(0, 0, [](ItemList& l) { l.RemoveItem(0); });
  history_.Undo(lists_);
  EXPECT_THAT(ItemsOf(one_), ElementsAre("b", "c"));

  // A command that finds nothing to do is no change.
  Step(0, 0, [](ItemList& l) { RemoveItemsWith(l, "zzz"); });
  EXPECT_TRUE(history_.CanRedo());

  Step(1, 0, [](ItemList& l) { l.AddItem("other list"); });
  EXPECT_FALSE(history_.CanRedo());
  EXPECT_FALSE(history_.Redo(lists_).has_value());
  history_.Undo(lists_);
  EXPECT_THAT(ItemsOf(two_), IsEmpty());
  history_.Undo(lists_);
  EXPECT_THAT(ItemsOf(one_), ElementsAre("a", "b", "c"));
  EXPECT_FALSE(history_.CanUndo());
}

// Random lists and random changes of every kind, each step checked against
// a copy taken before it, all the way back and forward again: the list, its
// selection and the view kept with the step. A change that finds nothing to
// do is no step.
TEST_F(UndoHistoryTest, RandomChangesReplayBothWays) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&rng](int n) {
      return static_cast<int>(rng() % static_cast<unsigned>(n));
    };
    auto text = [&] {
      return std::string(1, static_cast<char>('a' + pick(4))) +
             (pick(3) == 0 ? "" : "x");
    };
    one_.Clear();
    two_.Clear();
    // Some lists longer than a word of the bits that record a removal.
    const int longest = seed % 3 == 0 ? 150 : 40;
    for (int i = 0, n = pick(longest); i < n; ++i) one_.AddItem(text());
    for (int i = 0, n = pick(longest); i < n; ++i) two_.AddItem(text());
    history_.Clear();

    // Both lists before and after each step that changed something. A
    // selection made between steps is no change, but is part of what an
    // undo gives back.
    struct Recorded {
      int id;
      int step;
      std::array<Snapshot, 2> before, after;
    };
    std::vector<Recorded> steps;
    for (int step = 0; step < 25; ++step) {
      const int id = pick(2);
      ItemList& list = *lists_[id];
      ItemList& other = *lists_[1 - id];
      if (list.ListCount() > 0 && pick(2) == 0) {
        list.SetListIndex(pick(static_cast<int>(list.ListCount())));
      }
      const int kind = pick(14);
      const std::array<Snapshot, 2> before = {Snap(one_), Snap(two_)};
      const std::function<void(ItemList&)> changes[] = {
          [](ItemList& l) { RemoveDupesExceptFirst(l); },
          [](ItemList& l) { RemoveAllDupes(l); },
          [](ItemList& l) { RemoveItemsWith(l, "x"); },
          [](ItemList& l) { RemoveItemsWithout(l, "x"); },
          [&](ItemList& l) { SubtractList(l, other); },
          [&](ItemList& l) { KeepOnlyMatches(l, other); },
          [](ItemList& l) { l.Clear(); },
          [&](ItemList& l) {
            if (l.ListCount() > 0) l.RemoveItem(pick(int(l.ListCount())));
          },
          [&](ItemList& l) {
            for (int i = 0, n = pick(5); i < n; ++i) l.AddItem(text());
          },
          [](ItemList& l) {
            Apply(OperationOf(Op::kSort), {.descending = true}, l, "", {});
          },
          [](ItemList& l) { Apply(OperationOf(Op::kReverse), {}, l, "", {}); },
          // Prepared beside the list and taken whole, the selection moved
          // in between.
          [&](ItemList& l) {
            std::vector<std::uint8_t> marks(std::size_t(l.ListCount()));
            for (auto& mark : marks) mark = pick(3) == 0;
            ItemList::Change change = l.PrepareRemoveMarked(marks);
            if (l.ListCount() > 0) l.SetListIndex(pick(int(l.ListCount())));
            l.Take(std::move(change));
          },
          [&](ItemList& l) {
            l.AddItem("y");
            ItemList::Change change = l.PrepareReorder(
                Order(OperationOf(Op::kSort), {.descending = true}, l));
            l.SetListIndex(pick(int(l.ListCount())));
            l.Take(std::move(change));
          },
          // Several edits in one step, a reorder between them.
          [&](ItemList& l) {
            l.AddItem("zz");
            Apply(OperationOf(Op::kSort), {.keys = {.ignore_case = true}}, l,
                  "", {});
            RemoveItemsWith(l, "x");
          }};
      Step(id, step, changes[kind]);
      if (Snap(list).items != before[id].items) {
        steps.push_back({id, step, before, {Snap(one_), Snap(two_)}});
      }
    }
    ASSERT_EQ(history_.StepCount(), steps.size());
    for (std::size_t k = steps.size(); k-- > 0;) {
      SCOPED_TRACE("undo of step " + std::to_string(k));
      std::optional<UndoHistory::Replayed> undone;
      // Every other replay worked out beside the lists first.
      ASSERT_NO_THROW(undone = k % 2 == 0
                                   ? history_.Undo(lists_, Prepared(true))
                                   : history_.Undo(lists_));
      ASSERT_TRUE(undone.has_value());
      const int id = steps[k].id;
      EXPECT_EQ(undone->list_id, id);
      EXPECT_EQ(undone->view, View(steps[k].step));
      // The other list's selection may have moved between steps since.
      ASSERT_TRUE(Snap(*lists_[id]) == steps[k].before[id]);
      ASSERT_EQ(ItemsOf(*lists_[1 - id]), steps[k].before[1 - id].items);
    }
    EXPECT_FALSE(history_.Undo(lists_).has_value());
    for (std::size_t k = 0; k < steps.size(); ++k) {
      SCOPED_TRACE("redo of step " + std::to_string(k));
      std::optional<UndoHistory::Replayed> redone;
      ASSERT_NO_THROW(redone = k % 2 == 1
                                   ? history_.Redo(lists_, Prepared(false))
                                   : history_.Redo(lists_));
      ASSERT_TRUE(redone.has_value());
      const int id = steps[k].id;
      EXPECT_EQ(redone->list_id, id);
      EXPECT_EQ(redone->view, View(steps[k].step + 1));
      ASSERT_TRUE(Snap(*lists_[id]) == steps[k].after[id]);
      ASSERT_EQ(ItemsOf(*lists_[1 - id]), steps[k].after[1 - id].items);
    }
    EXPECT_FALSE(history_.Redo(lists_).has_value());
  }
}

TEST_F(UndoHistoryTest, LimitsDropTheOldestStepsButNeverTheLastChange) {
  history_.SetLimits(3, std::size_t{1} << 30);
  for (int i = 0; i < 5; ++i) {
    Step(0, i, [i](ItemList& l) { l.AddItem(std::to_string(i)); });
  }
  EXPECT_EQ(history_.StepCount(), 3u);
  while (history_.Undo(lists_)) {
  }
  EXPECT_THAT(ItemsOf(one_), ElementsAre("0", "1"));

  // The bytes of a removed text count, not just its index entry: a step
  // bigger than the whole memory limit is still kept, alone.
  history_.Clear();
  history_.SetLimits(100, 10000);
  one_ = ListOf({"small", std::string(100000, 'x')});
  Step(0, 0, [](ItemList& l) { l.AddItem("small"); });
  Step(0, 0, [](ItemList& l) { l.RemoveItem(1); });
  EXPECT_EQ(history_.StepCount(), 1u);
  EXPECT_GT(history_.MemoryBytes(), 100000u);
  history_.Undo(lists_);
  EXPECT_EQ(one_.ListCount(), 3);
  EXPECT_FALSE(history_.Undo(lists_).has_value());
}

TEST_F(UndoHistoryTest, AListChangedOutsideTheHistoryDropsIt) {
  one_ = ListOf({"a", "a"});
  Step(0, 0, [](ItemList& l) { RemoveDupesExceptFirst(l); });
  one_.AddItem("behind its back");
  EXPECT_FALSE(history_.Undo(lists_).has_value());
  EXPECT_FALSE(history_.CanUndo());
  EXPECT_THAT(ItemsOf(one_), ElementsAre("a", "behind its back"));

  // A removal outside any step is not recorded either.
  one_.RemoveItem(0);
  EXPECT_FALSE(history_.CanUndo());
}

}  // namespace
}  // namespace karvello
