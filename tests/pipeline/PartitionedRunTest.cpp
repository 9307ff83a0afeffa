#include "pipeline/PartitionedRun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cctype>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lists/Operations.h"
#include "pipeline/SortedRuns.h"

namespace karvello {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pair;

using Texts = std::vector<std::string>;

// Texts drawn from a pool of `distinct`, one of which takes a quarter of all
// draws; now and then a long text or one holding NUL and line ends.
Texts RandomTexts(std::mt19937& random, std::size_t count,
                  std::size_t distinct) {
  Texts texts;
  std::uniform_int_distribution<std::size_t> pick(0, distinct - 1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t n = random() % 4 == 0 ? 0 : pick(random);
    std::string text = "item " + std::to_string(n);
    if (n % 97 == 1) text.assign(5000 + n, static_cast<char>('a' + n % 26));
    if (n % 89 == 2) text = std::string("nul\0cr\rlf\n", 10) + text;
    if (n % 83 == 3) text.clear();
    texts.push_back(text);
  }
  return texts;
}

// The operation of a row of the table, as a part operation, with `choices`.
PartitionedRun::PartOperation RowOf(Op op, Choices choices = {}) {
  return [op, choices](const ItemList& part, const ItemList& other,
                       std::span<std::uint8_t> marks) {
    Mark(OperationOf(op), choices, part, {}, other, marks);
  };
}
const PartitionedRun::PartOperation kNothing =
    [](const ItemList&, const ItemList&, std::span<std::uint8_t> marks) {
      std::ranges::fill(marks, 0);
    };

class PartitionedRunTest : public ::testing::Test {
 protected:
  // Runs `operation` through a PartitionedRun whose parts are as small as
  // it allows, so that the items are split several levels deep.
  Texts RunParts(const Texts& list, const Texts* other,
                 const PartitionedRun::PartOperation& operation,
                 std::size_t part_bytes = 4096) {
    PartitionedRun run(
        {.temp_dir = ::testing::TempDir(), .part_bytes = part_bytes});
    for (const std::string& text : list) run.Add(text);
    if (other != nullptr) {
      for (const std::string& text : *other) run.AddOther(text);
    }
    Texts result;
    run.Finish(operation, [&](std::string_view item, std::uint64_t) {
      result.emplace_back(item);
    });
    parts_by_keys_ = run.PartsByKeysForTesting();
    return result;
  }

  std::size_t parts_by_keys_ = 0;
};

// The choices of a run that a row takes, each alone and some together,
// as the table says: a new row, or a row that takes more, is run here too.
std::vector<Choices> ChoicesFor(const Operation& op) {
  std::vector<Choices> all = {{}};
  if (op.takes.keys) {
    all.push_back({.keys = {.ignore_case = true, .trim = true}});
    all.push_back({.keys = {.field = 2, .delimiter = ' '}});
  }
  if (op.takes.keep_last) {
    all.push_back({.keep_last = true});
    all.push_back({.keys = {.ignore_case = true}, .keep_last = true});
  }
  if (op.takes.descending) {
    all.push_back({.descending = true});
    all.push_back({.keys = {.trim = true}, .descending = true});
  }
  if (op.takes.natural) {
    all.push_back({.natural = true});
    all.push_back({.descending = op.takes.descending, .natural = true});
  }
  return all;
}

// Every row of the table, under each choice it takes, leaves in parts (or
// in sorted runs, for a row that reorders) what it leaves when the whole
// list is in memory, with parts and runs as small as they go.
TEST_F(PartitionedRunTest, EveryRowLeavesWhatItLeavesOnTheWholeList) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    Texts list = RandomTexts(random, 3000, 700 * seed);
    for (std::string& text : list) {
      if (random() % 3 == 0)
        text = " ITEM  0" + text.substr(std::min<std::size_t>(5, text.size()));
    }
    const Texts other = RandomTexts(random, 800, 1400);
    for (const Operation& op : kOperations) {
      for (const Choices& choices : ChoicesFor(op)) {
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << ", " << op.name << ", fold "
                     << choices.keys.ignore_case << ", field "
                     << choices.keys.field << ", last " << choices.keep_last
                     << ", descending " << choices.descending << ", natural "
                     << choices.natural);
        const std::string search = "item 1";
        ItemList whole;
        for (const std::string& text : list) whole.AddItem(text);
        ItemList other_list;
        for (const std::string& text : other) other_list.AddItem(text);
        Apply(op, choices, whole, search, other_list);
        Texts expected;
        for (ItemList::Index i = 0; i < whole.ListCount(); ++i) {
          expected.emplace_back(whole.UncheckedItem(i));
        }
        Texts result;
        if (op.kind == Kind::kReorders) {
          // Runs of 97 items, merged two at a time: several passes.
          SortedRuns runs(
              op, choices,
              {.temp_dir = ::testing::TempDir(), .merge_bytes = 128 << 10});
          ItemList run;
          for (const std::string& text : list) {
            run.AddItem(text);
            if (run.ListCount() == 97) runs.AddRun(run);
          }
          runs.AddRun(run);
          runs.Finish(
              [&](std::string_view item) { result.emplace_back(item); });
          if (op.stream == Stream::kMergedRuns) {
            EXPECT_GT(runs.MergePassesForTesting(), 3);
          }
        } else {
          PartitionedRun run({.temp_dir = ::testing::TempDir(),
                              .part_bytes = 4096,
                              .keys = op.takes.keys ? choices.keys : KeyRules{},
                              .keep_last = choices.keep_last});
          for (const std::string& text : list) run.Add(text);
          if (op.argument == Argument::kOther) {
            for (const std::string& text : other) run.AddOther(text);
          }
          run.Finish(
              [&](const ItemList& part, const ItemList& others,
                  std::span<std::uint8_t> marks) {
                Mark(op, choices, part, search, others, marks);
              },
              [&](std::string_view item, std::uint64_t) {
                result.emplace_back(item);
              });
        }
        ASSERT_THAT(result, ElementsAreArray(expected));
      }
    }
  }
}

TEST_F(PartitionedRunTest, ItemsComeBackByteForByteInTheirOrder) {
  std::mt19937 random(7);
  const Texts list = RandomTexts(random, 2000, 300);
  EXPECT_THAT(RunParts(list, nullptr, kNothing), ElementsAreArray(list));
  // Parts that need no further split.
  EXPECT_THAT(RunParts(list, nullptr, kNothing, 1u << 30),
              ElementsAreArray(list));
  EXPECT_THAT(RunParts({}, nullptr, kNothing), ::testing::IsEmpty());
}

TEST_F(PartitionedRunTest, EveryDepthSplitsByAHashSaltedAnew) {
  // Split again by the bits that made the part, a part would stay whole at
  // every depth, and be worked on by its keys, in more memory than a part.
  Texts distinct;
  for (int i = 0; i < 20000; ++i)
    distinct.push_back("item " + std::to_string(i));
  EXPECT_THAT(RunParts(distinct, nullptr, RowOf(Op::kDedupe)),
              ElementsAreArray(distinct));
  EXPECT_EQ(parts_by_keys_, 0u);
}

TEST_F(PartitionedRunTest, CopiesOfOneTextStayTogetherWhateverTheSize) {
  // No hash splits copies of one text: the part stays over the limit at
  // every level and is worked on as it is.
  Texts list(20000, "same");
  list.insert(list.begin() + 5000, "other");
  EXPECT_THAT(RunParts(list, nullptr, RowOf(Op::kDedupe)),
              ElementsAreArray(Texts{"same", "other"}));
  EXPECT_THAT(RunParts(list, nullptr, RowOf(Op::kDedupe, {.keep_last = true})),
              ElementsAreArray(Texts{"other", "same"}));
  EXPECT_THAT(RunParts(list, nullptr, RowOf(Op::kRemoveAllDupes)),
              ElementsAreArray(Texts{"other"}));
  EXPECT_THAT(RunParts(list, nullptr, RowOf(Op::kKeepDupes)),
              ElementsAreArray(Texts{"same"}));
  const Texts other(3000, "same");
  EXPECT_THAT(RunParts(list, &other, RowOf(Op::kSubtract)),
              ElementsAreArray(Texts{"other"}));
  Texts matches = list;
  matches.erase(matches.begin() + 5000);
  EXPECT_THAT(RunParts(list, &other, RowOf(Op::kKeepMatches)),
              ElementsAreArray(matches));
}

// dedupe with counts, written without the run: each first (or last) item
// of its key, with the number of items that share the key.
std::vector<std::pair<std::string, std::uint64_t>> CountedCopies(
    const Texts& list, const KeyRules& keys, bool last) {
  std::map<std::string, std::uint64_t> copies;
  for (const std::string& text : list) ++copies[KeyOf(text, keys)];
  std::vector<std::pair<std::string, std::uint64_t>> kept;
  std::set<std::string> seen;
  const Texts in_order = last ? Texts(list.rbegin(), list.rend()) : list;
  for (const std::string& text : in_order) {
    const std::string key = KeyOf(text, keys);
    if (seen.insert(key).second) kept.emplace_back(text, copies[key]);
  }
  if (last) std::reverse(kept.begin(), kept.end());
  return kept;
}

TEST_F(PartitionedRunTest, CountsTheCopiesOfEveryKeyAcrossParts) {
  std::mt19937 random(5);
  Texts varied = RandomTexts(random, 3000, 500);
  for (std::string& text : varied) {
    if (random() % 3 == 0) {
      for (char& c : text) c = static_cast<char>(std::toupper(c));
    }
  }
  // Copies of a few texts that no split tells apart, in two cases.
  Texts copies(20000, "same");
  for (std::size_t i = 0; i < copies.size(); i += 3) copies[i] = "SAME";
  copies.insert(copies.begin() + 7000, "other");
  for (const Texts* list : {&varied, &copies}) {
    for (const bool last : {false, true}) {
      const KeyRules keys{.ignore_case = last};
      SCOPED_TRACE(testing::Message() << list->size() << " items, " << last);
      PartitionedRun run({.temp_dir = ::testing::TempDir(),
                          .part_bytes = 4096,
                          .keys = keys,
                          .count_copies = true,
                          .keep_last = last});
      for (const std::string& text : *list) run.Add(text);
      std::vector<std::pair<std::string, std::uint64_t>> result;
      run.Finish(RowOf(Op::kDedupe, {.keys = keys, .keep_last = last}),
                 [&](std::string_view item, std::uint64_t copies) {
                   result.emplace_back(item, copies);
                 });
      EXPECT_THAT(result, ElementsAreArray(CountedCopies(*list, keys, last)));
    }
  }
}

TEST_F(PartitionedRunTest, OtherIsSplitByItsWholeKeyAndCountsInItsPart) {
  // Items compared by their second comma-separated field; OTHER's items are
  // the keys themselves, many more of them than the items' keys: distinct
  // items, and copies of one item, which no split tells apart.
  const KeyRules keys{.field = 2, .delimiter = ','};
  Texts other;
  std::set<std::string> in_other;
  for (int i = 0; i < 60000; i += 2) {
    other.push_back("key " + std::to_string(i));
    in_other.insert(other.back());
  }
  Texts distinct, copies(300, "row,key 8");
  for (int i = 0; i < 300; ++i) {
    distinct.push_back("row " + std::to_string(i) + ",key " +
                       std::to_string(i));
  }
  copies.push_back("row,key 9");
  constexpr std::size_t kPartBytes = 4096;
  for (const Texts* list : {&distinct, &copies}) {
    SCOPED_TRACE(list->front());
    Texts expected;
    for (const std::string& text : *list) {
      if (!in_other.contains(text.substr(text.find(',') + 1))) {
        expected.push_back(text);
      }
    }
    PartitionedRun run({.temp_dir = ::testing::TempDir(),
                        .part_bytes = kPartBytes,
                        .keys = keys});
    for (const std::string& text : *list) run.Add(text);
    for (const std::string& text : other) run.AddOther(text);
    // What a part holds in memory: its items and what it has of OTHER, each
    // item with its 12 bytes of record.
    std::size_t most = 0;
    const auto subtract = RowOf(Op::kSubtract, {.keys = keys});
    Texts result;
    run.Finish(
        [&](const ItemList& part, const ItemList& others,
            std::span<std::uint8_t> marks) {
          most = std::max<std::size_t>(
              most, part.TextBytes() + others.TextBytes() +
                        12 * static_cast<std::size_t>(part.ListCount() +
                                                      others.ListCount()));
          subtract(part, others, marks);
        },
        [&](std::string_view item, std::uint64_t) {
          result.emplace_back(item);
        });
    EXPECT_THAT(result, ElementsAreArray(expected));
    EXPECT_LE(most, kPartBytes);
  }
}

TEST(SpillFileTest, AnUnusableFolderIsAClearError) {
  try {
    SpillFile file("/nonexistent-karvello-folder", 4096);
    FAIL() << "a spill file opened in a missing folder";
  } catch (const StatusError& e) {
    EXPECT_EQ(e.status.Message(),
              "cannot create a file in the temporary folder "
              "/nonexistent-karvello-folder: No such file or directory");
  }
}

TEST(SpillFileTest, LeavesNoFileBehindWithOrWithoutOTmpfile) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / "spill-names";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  // Names another user could have made ready in a shared folder.
  for (int i = 0; i < 200; ++i) {
    std::ofstream(folder / (".karvello-spill." + std::to_string(getpid()) +
                            "." + std::to_string(i)));
  }
  for (const bool named : {false, true}) {
    if (named) UseNamedSpillFilesForTesting();
    {
      SpillFile file(folder.string(), 4096);
      file.Append(3, std::string(10000, 'x'));
      file.Append(4, "y");
      file.Flush();
      std::vector<std::pair<std::uint64_t, std::string>> records;
      ForEachRecord(file, 4096,
                    [&](std::uint64_t position, std::string_view text) {
                      records.emplace_back(position, text);
                    });
      EXPECT_THAT(records,
                  ElementsAre(Pair(3, std::string(10000, 'x')), Pair(4, "y")));
#ifndef _WIN32
      // No name even while open, so that not even SIGKILL leaves one; on
      // Windows the system removes the file when its handle closes instead.
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                              std::filesystem::directory_iterator()),
                200);
#endif
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              200);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace karvello
