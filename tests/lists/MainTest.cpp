#include "lists/Main.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lists/CopyCounts.h"
#include "lists/internal/Marking.h"
#include "lists/internal/TextSearch.h"
#include "support/ItemLists.h"
#include "support/ReferenceScan.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
using ::karvello::testing::ReferenceScan;
using ::testing::ElementsAre;
using Index = ItemList::Index;
using namespace std::literals;

// `list` as the reference scan leaves it after `command`: the kept items in
// order, the selection on its item or gone with it.
ItemList Scanned(const ItemList& list, std::string_view command,
                 std::string_view search = {}, const ItemList& other = {}) {
  const std::vector<bool> kept =
      ReferenceScan(command, ItemsOf(list), search, ItemsOf(other));
  ItemList result;
  for (Index i = 0; i < list.ListCount(); ++i) {
    if (!kept[static_cast<std::size_t>(i)]) continue;
    result.AddItem(list.List(i));
    if (i == list.ListIndex()) result.SetListIndex(result.ListCount() - 1);
  }
  return result;
}

// Random lists in which repeats, empty items, case and trailing-blank
// variants and NUL bytes are all common.
class ListMaker {
 public:
  explicit ListMaker(std::uint32_t seed) : random_(seed) {}

  std::string Text(int max_size, std::string_view alphabet) {
    std::string text(Pick(0, max_size), ' ');
    for (char& c : text) c = alphabet[Pick(0, alphabet.size() - 1)];
    return text;
  }

  ItemList List(std::size_t size) {
    static const std::vector<std::string> kPool = {
        "",
        "a",
        "A",
        "a ",
        "ab",
        "Ab",
        "ab ",
        " ab",
        "b",
        "\0"s,
        "\0\0"s,
        "a\0b"s,
        "a\0c"s,
        "apple",
        "Apple",
        "apple ",
        "pineapple",
        "abcdefghijklmnopq",
        "abcdefghijklmnopr",
        "abcdefghijklmnopqrstuvwxyz0123456789"};
    ItemList list;
    const int style = Pick(0, 2);
    for (std::size_t k = 0; k < size; ++k) {
      if (style == 0) {
        list.AddItem(kPool[Pick(0, kPool.size() - 1)]);
      } else if (style == 1) {
        list.AddItem(Text(3, "aA \0"sv));
      } else {
        list.AddItem(Text(40, "ab"));
      }
    }
    // Removed items leave dead bytes between the live ones; operations that
    // scan the whole byte store at once must not see them.
    const std::size_t removals = size == 0 ? 0 : Pick(0, 3);
    for (std::size_t k = 0; k < removals && list.ListCount() > 0; ++k) {
      list.RemoveItem(Pick(0, list.ListCount() - 1));
    }
    if (list.ListCount() > 0 && Pick(0, 1) == 1) {
      list.SetListIndex(Pick(0, list.ListCount() - 1));
    }
    return list;
  }

  std::size_t Size() {
    static const std::size_t kSizes[] = {0, 1, 2, 3, 5, 17, 64, 300};
    return kSizes[Pick(0, std::size(kSizes) - 1)];
  }

  std::size_t Pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }

 private:
  std::mt19937 random_;
};

void ExpectSameList(const ItemList& actual, const ItemList& expected) {
  EXPECT_EQ(ItemsOf(actual), ItemsOf(expected));
  EXPECT_EQ(actual.ListIndex(), expected.ListIndex());
}

template <typename Fast>
void CheckOneListOperation(Fast fast, std::string_view command) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    ListMaker maker(seed);
    const ItemList original = maker.List(maker.Size());
    ItemList actual = original;
    fast(actual);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectSameList(actual, Scanned(original, command));
  }
}

TEST(DuplicateRemovalTest, MatchesTheScanOnRandomLists) {
  CheckOneListOperation([](ItemList& l) { RemoveDupesExceptFirst(l); },
                        "dedupe");
  CheckOneListOperation([](ItemList& l) { RemoveAllDupes(l); },
                        "remove-all-dupes");
}

TEST(ItemFilterTest, MatchesTheScanOnRandomLists) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    ListMaker maker(seed);
    const ItemList original = maker.List(maker.Size());
    const std::string search =
        seed % 3 == 0 ? maker.Text(20, "ab") : maker.Text(3, "aA \0"sv);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", search of " +
                 std::to_string(search.size()));
    ItemList actual = original;
    RemoveItemsWith(actual, search);
    ExpectSameList(actual, Scanned(original, "remove-with", search));
    actual = original;
    RemoveItemsWithout(actual, search);
    ExpectSameList(actual, Scanned(original, "remove-without", search));
  }
  CheckOneListOperation([](ItemList& l) { RemoveBlanks(l); }, "remove-blanks");
}

TEST(FindTextTest, FindsWhatStringViewFinds) {
  ListMaker maker(7);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = maker.Text(100, round % 2 ? "ab"sv : "ab\0c"sv);
    std::string needle = maker.Text(round % 4 == 0 ? 20 : 4, "ab");
    if (needle.empty()) needle.push_back('a');
    const std::size_t from = maker.Pick(0, text.size() + 1);
    EXPECT_EQ(internal::FindText(text.data(), text.size(), from, needle),
              std::string_view(text).find(needle, from))
        << "text " << text << ", needle " << needle << ", from " << from;
  }
}

// Two-list operations, against the scan, for every kind of other list.
template <typename Fast>
void CheckTwoListOperation(Fast fast, std::string_view command) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    ListMaker maker(seed);
    const ItemList target = maker.List(maker.Size());
    ItemList other;
    switch (seed % 5) {
      case 0:  // empty
        break;
      case 1:  // equal
        other = target;
        break;
      case 2:  // disjoint
        for (Index i = 0; i < target.ListCount(); ++i) {
          other.AddItem(std::string(target.List(i)) + "\x01");
        }
        break;
      case 3: {  // full of repeats
        const ItemList few = maker.List(3);
        for (int k = 0; k < 50 && few.ListCount() > 0; ++k) {
          other.AddItem(few.List(k % few.ListCount()));
        }
        break;
      }
      default:
        other = maker.List(maker.Size());
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ItemList other_before = other;
    ItemList actual = target;
    fast(actual, other);
    ExpectSameList(actual, Scanned(target, command, {}, other));
    ExpectSameList(other, other_before);
  }
}

TEST(TwoListOperationTest, MatchesTheScanOnRandomLists) {
  CheckTwoListOperation(
      [](ItemList& t, const ItemList& o) { SubtractList(t, o); }, "subtract");
  CheckTwoListOperation(
      [](ItemList& t, const ItemList& o) { KeepOnlyMatches(t, o); },
      "keep-matches");
}

TEST(TwoListOperationTest, ListAgainstItself) {
  const ItemList original = ListOf({"a", "b", "a", "", "c"});
  ItemList list = original;
  KeepOnlyMatches(list, list);
  ExpectSameList(list, original);
  SubtractList(list, list);
  EXPECT_EQ(list.ListCount(), 0);
}

// Hashes that collide on purpose, so that only the byte comparison can tell
// texts apart. The first gives every text the same hash; the second splits
// the texts between the two halves by length and then gives each half one
// hash. The third gives texts different tags but one home slot in one
// bucket (only hash bits 32 to 55 survive), so that every probe runs along
// one long cluster. The fourth sends every text to the first part of two.
struct OneSlotHasher {
  std::uint64_t operator()(const char*, std::size_t) const { return 0; }
};
struct TwoSlotHasher {
  std::uint64_t operator()(const char*, std::size_t size) const {
    return size % 2 == 0 ? 0 : ~std::uint64_t{0};
  }
};
struct ClusteredHasher {
  std::uint64_t operator()(const char* p, std::size_t size) const {
    return hasher(p, size) & 0x00ffffff00000000ULL;
  }
  ItemHasher hasher{HashKey{{1, 2, 3}}};
};
struct LopsidedHasher {
  std::uint64_t operator()(const char* p, std::size_t size) const {
    return hasher(p, size) >> 1;
  }
  ItemHasher hasher;
};

// Every way of marking `original` (tables or buckets, one part or two) with
// `hasher`: repeats must leave expected[0] (first copies kept) or expected[1]
// (every repeated text gone), matches against `other` expected[2] (kept) or
// expected[3] (subtracted).
template <typename Hasher>
void ExpectEveryMarking(const ItemList& original, const ItemList& other,
                        const Hasher& hasher, const ItemList (&expected)[4]) {
  using internal::RepeatMethod;
  for (const auto method : {RepeatMethod::kTables, RepeatMethod::kBuckets}) {
    for (const int parts : {1, 2}) {
      for (const bool flag : {false, true}) {
        ItemList actual = original;
        std::vector<std::uint8_t> marks(original.ListCount());
        internal::MarkRepeats(actual, marks.data(), flag, parts, hasher,
                              method);
        actual.RemoveMarked(marks);
        ExpectSameList(actual, expected[flag ? 1 : 0]);

        actual = original;
        // Marks left over from before: matching sets every one of them.
        marks.assign(marks.size(), 7);
        internal::MarkMatches(actual, other, marks.data(), flag, parts, hasher,
                              method);
        actual.RemoveMarked(marks);
        ExpectSameList(actual, expected[flag ? 3 : 2]);
      }
    }
  }
}

// ExpectEveryMarking against the scan, for `rounds` pairs of random lists
// of the sizes `size` gives.
template <typename Hasher, typename Size>
void CheckWithHash(const Hasher& hasher, int rounds, Size size) {
  for (int round = 1; round <= rounds; ++round) {
    ListMaker maker(static_cast<std::uint32_t>(round));
    const ItemList original = maker.List(size(maker));
    const ItemList other = maker.List(size(maker));
    SCOPED_TRACE("round " + std::to_string(round) + ", " +
                 std::to_string(original.ListCount()) + " and " +
                 std::to_string(other.ListCount()) + " items");
    const ItemList expected[4] = {Scanned(original, "dedupe"),
                                  Scanned(original, "remove-all-dupes"),
                                  Scanned(original, "keep-matches", {}, other),
                                  Scanned(original, "subtract", {}, other)};
    ExpectEveryMarking(original, other, hasher, expected);
  }
}

std::size_t SmallSize(ListMaker& maker) { return maker.Size(); }
// Past the longest probe run a table allows, so that colliding hashes make
// the tables give up.
std::size_t LongSize(ListMaker& maker) { return maker.Pick(700, 2500); }

TEST(HashTableTest, BytesDecideWhenHashesCollide) {
  CheckWithHash(OneSlotHasher(), 150, SmallSize);
  CheckWithHash(TwoSlotHasher(), 150, SmallSize);
  CheckWithHash(ClusteredHasher(), 150, SmallSize);
}

TEST(HashTableTest, LongProbeRunsStillMatchTheScan) {
  CheckWithHash(OneSlotHasher(), 4, LongSize);
  CheckWithHash(TwoSlotHasher(), 3, LongSize);
  CheckWithHash(ClusteredHasher(), 4, LongSize);
}

TEST(HashTableTest, TwoPartsGiveTheSameResultAsOne) {
  CheckWithHash(ItemHasher(), 150, SmallSize);
  CheckWithHash(ItemHasher(), 3, LongSize);
}

// Two tables sized for 359 texts each (1,024 slots, at most 714 used) get
// all 715 texts in the first: the last one makes it grow, and the runs of
// the grown table must be measured afresh for the lookups to find them.
TEST(HashTableTest, ATableThatGrowsStillFindsEveryText) {
  std::vector<std::string> texts;
  for (int k = 0; k < 715; ++k) texts.push_back("text " + std::to_string(k));
  const ItemList list = ListOf(texts);
  std::vector<std::uint8_t> marks(texts.size());
  internal::MarkMatches(list, list, marks.data(), true, 2, LopsidedHasher(),
                        internal::RepeatMethod::kTables);
  EXPECT_EQ(marks, std::vector<std::uint8_t>(texts.size(), 1));
}

TEST(HashTableTest, ExactLookupWalksTheWholeRun) {
  std::vector<std::string> texts;
  for (int k = 0; k < 40; ++k) texts.push_back("text " + std::to_string(k));
  const ItemList list = ListOf(texts);
  internal::ItemTable<std::uint32_t> table(list.RawStorage(), texts.size());
  for (std::size_t k = 0; k < texts.size(); ++k) {
    EXPECT_EQ(table.FindOrInsert(0, k, OneSlotHasher()), 0u);
  }
  for (std::size_t k = 0; k < texts.size(); ++k) {
    EXPECT_EQ(table.Find(0, texts[k].data(), texts[k].size()), k + 1);
  }
  EXPECT_EQ(table.Find(0, "text", 4), 0u);
}

// Lists big enough for the operations to use both threads, checked against
// a plain hash-set model (the scan would take too long here).
TEST(BigListTest, MatchesASetModel) {
  ListMaker maker(99);
  std::vector<std::string> texts, other_texts;
  for (int k = 0; k < 150000; ++k) texts.push_back(maker.Text(3, "abcdefgh"));
  for (int k = 0; k < 100000; ++k) {
    other_texts.push_back(maker.Text(3, "abcdefgz"));
  }
  std::unordered_map<std::string, int> counts;
  for (const auto& text : texts) ++counts[text];
  const std::unordered_set<std::string> in_other(other_texts.begin(),
                                                 other_texts.end());
  std::unordered_set<std::string> seen;
  // First copies, unique texts, texts in the other list, texts not in it.
  std::vector<std::string> model[4];
  std::vector<std::uint64_t> copies;  // as CountCopies counts them
  for (const auto& text : texts) {
    const bool first = seen.insert(text).second;
    if (first) model[0].push_back(text);
    copies.push_back(first ? counts[text] : 0);
    if (counts[text] == 1) model[1].push_back(text);
    model[in_other.count(text) != 0 ? 2 : 3].push_back(text);
  }
  const ItemList list = ListOf(texts);
  const ItemList other = ListOf(other_texts);
  EXPECT_EQ(CountCopies(list), copies);
  ItemList copy = list;
  RemoveDupesExceptFirst(copy);
  EXPECT_EQ(ItemsOf(copy), model[0]);
  copy = list;
  RemoveAllDupes(copy);
  EXPECT_EQ(ItemsOf(copy), model[1]);
  copy = list;
  KeepOnlyMatches(copy, other);
  EXPECT_EQ(ItemsOf(copy), model[2]);
  copy = list;
  SubtractList(copy, other);
  EXPECT_EQ(ItemsOf(copy), model[3]);
  copy = list;
  KeepOnlyMatches(copy, copy);
  EXPECT_EQ(ItemsOf(copy), texts);

  // Both ways of marking, on one and on two threads, whatever the size, with
  // the real hash and with one that gives every text the same hash.
  const ItemList expected[4] = {ListOf(model[0]), ListOf(model[1]),
                                ListOf(model[2]), ListOf(model[3])};
  ExpectEveryMarking(list, other, ItemHasher(), expected);
  ExpectEveryMarking(list, other, OneSlotHasher(), expected);
}

// The marking variants, given marks that hold anything, must mark exactly
// what the operations of the same name remove.
TEST(MarkingTest, MarksWhatTheOperationRemoves) {
  using Marks = std::span<std::uint8_t>;
  using Mark = void (*)(const ItemList&, const ItemList&, Marks);
  const std::pair<Mark, const char*> kMarkings[] = {
      {[](auto& l, auto&, Marks m) { MarkDupesExceptFirst(l, m); }, "dedupe"},
      {[](auto& l, auto&, Marks m) { MarkAllDupes(l, m); }, "remove-all-dupes"},
      {[](auto& l, auto&, Marks m) { MarkItemsWith(l, "a", m); },
       "remove-with"},
      {[](auto& l, auto&, Marks m) { MarkItemsWithout(l, "a", m); },
       "remove-without"},
      {[](auto& l, auto& o, Marks m) { MarkSubtract(l, o, m); }, "subtract"},
      {[](auto& l, auto& o, Marks m) { MarkKeepOnlyMatches(l, o, m); },
       "keep-matches"},
  };
  for (std::uint32_t seed = 1; seed <= 100; ++seed) {
    ListMaker maker(seed);
    const ItemList list = maker.List(maker.Size());
    const ItemList other = maker.List(maker.Size());
    for (const auto& [mark, command] : kMarkings) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << ", " << command);
      std::vector<std::uint8_t> marks(list.ListCount(), 0xA5);
      mark(list, other, marks);
      const std::vector<bool> kept =
          ReferenceScan(command, ItemsOf(list), "a", ItemsOf(other));
      for (std::size_t i = 0; i < marks.size(); ++i) {
        EXPECT_EQ(marks[i], kept[i] ? 0 : 1) << "item " << i;
      }
    }
  }
}

}  // namespace
}  // namespace karvello
