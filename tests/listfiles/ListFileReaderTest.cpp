#include "listfiles/ListFileReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "ReferenceListReader.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

std::vector<std::string> Read(std::string_view file) {
  ItemList list;
  ReadListFields(file, list);
  return ItemsOf(list);
}

std::vector<std::string> ReadLines(std::string_view file) {
  ItemList list;
  ReadListFields(file, list, FieldSplit::kLines);
  return ItemsOf(list);
}

// The rules, one example each: the random tests below hold the reader to a
// plain transcription of them (ReferenceListReader.h) case by case.
TEST(ListFileReaderTest, TheRulesByExample) {
  EXPECT_THAT(Read(""), IsEmpty());
  EXPECT_THAT(Read("a,b\n\nc\r\nd\re,"),
              ElementsAre("a", "b", "", "c", "d", "e", ""));
  EXPECT_THAT(Read("\"x,y\"\r\n\"a\"b,c"), ElementsAre("x,y", "ab", "c"));
  // An unclosed quote is an ordinary byte and swallows no line.
  EXPECT_THAT(Read("\"a,b\nc\"\n"), ElementsAre("\"a", "b", "c\""));
  EXPECT_THAT(Read(" a\t,\0\xFF\n"s), ElementsAre(" a\t", "\0\xFF"s));
  EXPECT_THAT(ReadLines("Smith, John\r\n\"x,y\"\n"),
              ElementsAre("Smith, John", "\"x,y\""));
  // A UTF-8 byte-order mark goes at the start only; UTF-16 is decoded, and
  // a surrogate that is not half of a pair, or an odd last byte, is U+FFFD.
  EXPECT_THAT(Read("\xEF\xBB\xBF"
                   "a\n\xEF\xBB\xBF"
                   "b"),
              ElementsAre("a",
                          "\xEF\xBB\xBF"
                          "b"));
  EXPECT_THAT(Read("\xFF\xFE"
                   "a\0,\0\xE9\0"s),
              ElementsAre("a", "\xC3\xA9"));
  EXPECT_THAT(Read("\xFE\xFF\xD8\x3D\xDE\x00\0\n\xDC\x00\0"s),
              ElementsAre("\xF0\x9F\x98\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"));
}

// The reader must give the same items however the input is cut into blocks,
// and the same as the line-by-line transcription of the rules.
TEST(ListFileReaderTest, BlocksOfAnySizeGiveTheReferenceItems) {
  std::mt19937 random(7);
  const std::string alphabet = "ab,\"\r\n \0"s;
  const std::string starts[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF",
                                "\xEF\xBB"};
  for (int round = 0; round < 6000; ++round) {
    const bool lines_only = round % 2 == 1;
    std::string file = starts[round / 2 % 5];
    const bool utf16 = round / 2 % 5 == 2 || round / 2 % 5 == 3;
    const int length = static_cast<int>(random() % 40);
    for (int k = 0; k < length; ++k) {
      if (!utf16) {
        file += alphabet[random() % alphabet.size()];
        continue;
      }
      // Whole code units, surrogate halves and field ends common among
      // them, so that the blocks often cut a pair; a byte now and then.
      const char16_t units[] = {0xD83D, 0xDE00, u'a', u',', u'\n', u'"'};
      const unsigned unit =
          random() % 3 == 0 ? random() % 0x10000 : units[random() % 6];
      const bool little = round / 2 % 5 == 2;
      file += static_cast<char>(little ? unit : unit >> 8);
      if (random() % 16 != 0)
        file += static_cast<char>(little ? unit >> 8 : unit);
    }
    ItemList list;
    ListFileReader reader(
        list, lines_only ? FieldSplit::kLines : FieldSplit::kCommasAndLines);
    for (std::size_t at = 0; at < file.size();) {
      const std::size_t n =
          std::min<std::size_t>(1 + random() % 5, file.size() - at);
      reader.Feed(std::string_view(file).substr(at, n));
      at += n;
    }
    reader.Finish();
    ASSERT_EQ(ItemsOf(list), reference::ReferenceListItems(file, lines_only))
        << "round " << round;
  }
}

// What a copy writes when runs go straight to the output: each item followed
// by the line end, with the runs in their places.
class PassedCopy {
 public:
  PassedCopy(FieldSplit split, std::string_view line_end, std::size_t shortest)
      : reader_(list_, split), line_end_(line_end) {
    reader_.PassRunsTo(
        line_end_,
        [this](std::string_view bytes, std::size_t items) {
          WriteItems();
          out_ += bytes;
          passed_ += bytes.size();
          items_ += items;
        },
        shortest);
  }
  void Feed(std::string_view bytes) { reader_.Feed(bytes); }
  std::string Finish() {
    reader_.Finish();
    WriteItems();
    return out_;
  }
  std::size_t passed() const { return passed_; }
  // Every item written, read as an item or passed in a run.
  std::size_t items() const { return items_; }

 private:
  void WriteItems() {
    for (const std::string& item : ItemsOf(list_)) out_ += item + line_end_;
    items_ += static_cast<std::size_t>(list_.ListCount());
    list_.Clear();
  }
  ItemList list_;
  ListFileReader reader_;
  std::string line_end_;
  std::string out_;
  std::size_t passed_ = 0;
  std::size_t items_ = 0;
};

std::string Joined(const std::vector<std::string>& items,
                   std::string_view line_end) {
  std::string out;
  for (const std::string& item : items) out += item + std::string(line_end);
  return out;
}

// Runs handed on unparsed must give exactly the bytes the items would,
// whatever the line ends, the stray CRs, commas and quotes, and wherever the
// blocks cut the input (a CR LF split across two blocks included).
TEST(ListFileReaderTest, PassedRunsWriteWhatTheItemsWould) {
  std::mt19937 random(11);
  const std::string pieces[] = {"ab", "x", "\r\n", "\r\n", "\r\n", "\n",
                                "\r", ",", "\"",   " ",    "\0"s,  "\r\r\n"};
  for (int round = 0; round < 4000; ++round) {
    const bool lines_only = round % 2 == 1;
    const std::string_view line_end = round / 2 % 2 == 0 ? "\r\n" : "\n";
    std::string file = round % 7 == 0 ? "\xEF\xBB\xBF" : "";
    const int length = static_cast<int>(random() % 300);
    for (int k = 0; k < length; ++k) {
      // Mostly clean lines of the output's kind, so that runs form.
      file += random() % 3 != 0 ? "item" + std::to_string(random() % 10) +
                                      std::string(line_end)
                                : pieces[random() % std::size(pieces)];
    }
    const auto split =
        lines_only ? FieldSplit::kLines : FieldSplit::kCommasAndLines;
    PassedCopy copy(split, line_end, 1 + random() % 16);
    const std::size_t block = 1 + random() % 70;
    for (std::size_t at = 0; at < file.size(); at += block) {
      copy.Feed(std::string_view(file).substr(at, block));
    }
    const std::vector<std::string> items =
        reference::ReferenceListItems(file, lines_only);
    ASSERT_EQ(copy.Finish(), Joined(items, line_end)) << "round " << round;
    ASSERT_EQ(copy.items(), items.size()) << "round " << round;
  }
}

TEST(ListFileReaderTest, CleanLinesPassAsRunsAndOthersAsItems) {
  std::string clean;
  for (int i = 0; i < 100000; ++i) clean += "user" + std::to_string(i) + "\r\n";
  // One LF-only line and a field with a comma in the middle of the file.
  const std::string file =
      clean + "lf only\n" + "a,b\r\n" + clean + "last line, no end";
  PassedCopy copy(FieldSplit::kCommasAndLines, "\r\n", 4096);
  copy.Feed(file);
  const std::string out = copy.Finish();
  EXPECT_EQ(out, clean + "lf only\r\na\r\nb\r\n" + clean +
                     "last line\r\n no end\r\n");
  // Nearly every byte went through unparsed: only what is near the odd
  // lines, at most a block's tail, was read as items.
  EXPECT_GT(copy.passed(), file.size() * 9 / 10);

  // The same file copied with LF line ends has no run to pass.
  PassedCopy lf_copy(FieldSplit::kCommasAndLines, "\n", 1);
  lf_copy.Feed(clean);
  EXPECT_EQ(lf_copy.Finish().size(), clean.size() - 100000);
  EXPECT_EQ(lf_copy.passed(), 0u);
}

TEST(ListFileReaderTest, FieldsLongerThanABlockStayWhole) {
  const std::string big(3'000'001, 'x');
  EXPECT_THAT(Read(big + ",\"" + big + ",\"\r\n"), ElementsAre(big, big + ","));
}

TEST(ListFileReaderTest, AReadErrorKeepsTheItemsBeforeIt) {
  const std::string block = "a,b\nc";
  int calls = 0;
  ItemList list;
  const int error = ReadListStream(
      [&](char* buffer, std::size_t) -> long {
        if (calls++ == 0) {
          block.copy(buffer, block.size());
          return static_cast<long>(block.size());
        }
        errno = EIO;
        return -1;
      },
      list, 0);
  EXPECT_EQ(error, EIO);
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "b"));
}

}  // namespace
}  // namespace karvello
