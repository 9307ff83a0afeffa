#include "listfiles/HorizontalList1.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <QFontMetricsF>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::testing::ListOf;
using ::testing::ElementsAre;

constexpr int kBar = 17;

// The definition: every item measured one by one, widest rounded up.
int Expected(const std::vector<std::string>& items, const QFont& font) {
  if (items.empty()) return 0;
  const QFontMetricsF metrics(font);
  qreal widest = 0;
  for (const std::string& item : items) {
    widest = std::max(widest, metrics.horizontalAdvance(ItemDisplayText(item)));
  }
  return static_cast<int>(std::ceil(widest)) + kBar;
}

// Expects the extent of `items` to equal measuring every item, and returns
// how it was reached.
ExtentStats ExpectExact(const std::vector<std::string>& items,
                        const QFont& font) {
  ExtentStats stats;
  EXPECT_EQ(ComputeHorizontalExtent(ListOf(items), font, kBar, &stats),
            Expected(items, font))
      << font.family().toStdString() << " " << font.pointSize();
  return stats;
}

std::vector<char16_t> Utf16(const QString& text) {
  return std::vector<char16_t>(text.utf16(), text.utf16() + text.size());
}

TEST(ItemDisplayTextTest, ShowsEveryByteWithoutBreakingTheLine) {
  // Text is shown as it is, ampersands too (no mnemonics).
  EXPECT_EQ(ItemDisplayText("Fish & Chips"), QString("Fish & Chips"));
  // U+009C would end Qt's measurement of the text early.
  EXPECT_THAT(Utf16(ItemDisplayText("a\xC2\x9C"
                                    "b")),
              ElementsAre(u'a', 0xFFFD, u'b'));
  // The Control Pictures block lists the C0 controls in order from U+2400,
  // and DEL at U+2421; the same in a UTF-8 item and in an 8-bit one.
  for (int byte = 0; byte < 0x20; ++byte) {
    SCOPED_TRACE(byte);
    const char c = static_cast<char>(byte);
    EXPECT_THAT(Utf16(ItemDisplayText(std::string(1, c))),
                ElementsAre(0x2400 + byte));
    EXPECT_THAT(Utf16(ItemDisplayText(std::string{'x', c, '\xE9'})),
                ElementsAre(u'x', 0x2400 + byte, 0xE9));
  }
  EXPECT_THAT(Utf16(ItemDisplayText("\x7F")), ElementsAre(0x2421));
  EXPECT_THAT(Utf16(ItemDisplayText("\x7F\xE9")), ElementsAre(0x2421, 0xE9));
}

// The character that the system's Windows-1252 converter makes of `byte`,
// or 0 where it defines none.
#ifdef _WIN32
char16_t Windows1252(unsigned char byte) {
  const char in = static_cast<char>(byte);
  wchar_t out = 0;
  // Windows passes the bytes it leaves undefined through as C1 controls.
  const bool done =
      MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, &in, 1, &out, 1) == 1;
  return done && (out < 0x80 || out >= 0xA0) ? static_cast<char16_t>(out) : 0;
}
#else
char16_t Windows1252(unsigned char byte) {
  iconv_t cd = iconv_open("UTF-16LE", "WINDOWS-1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  char in[1] = {static_cast<char>(byte)};
  char out[4] = {};
  char* in_at = in;
  char* out_at = out;
  std::size_t in_left = 1;
  std::size_t out_left = sizeof out;
  const std::size_t done = iconv(cd, &in_at, &in_left, &out_at, &out_left);
  iconv_close(cd);
  if (done == static_cast<std::size_t>(-1) || out_left != 2) return 0;
  return static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                               static_cast<unsigned char>(out[1]) << 8);
}
#endif

TEST(ItemDisplayTextTest, ItemsThatAreNotUtf8ShowAsWindows1252) {
  EXPECT_EQ(ItemDisplayText("caf\xC3\xA9"), QString::fromUtf16(u"caf\u00E9"));
  // One invalid byte makes the whole item 8-bit, its UTF-8 look-alikes too.
  EXPECT_EQ(ItemDisplayText("\xC3\xA9\xE9"),
            QString::fromUtf16(u"\u00C3\u00A9\u00E9"));

  ASSERT_EQ(Windows1252(0xE9), 0xE9) << "no Windows-1252 converter";
  for (int byte = 0x80; byte < 0x100; ++byte) {
    SCOPED_TRACE(byte);
    const char16_t expected = Windows1252(static_cast<unsigned char>(byte));
    // A lone byte from 80 up is never UTF-8. The five bytes Windows-1252
    // leaves undefined show as the C1 controls they stand for: U+FFFD.
    const bool undefined = byte == 0x81 || byte == 0x8D || byte == 0x8F ||
                           byte == 0x90 || byte == 0x9D;
    EXPECT_EQ(expected == 0, undefined);
    EXPECT_THAT(
        Utf16(ItemDisplayText(std::string{'a', static_cast<char>(byte)})),
        ElementsAre(u'a', undefined ? char16_t{0xFFFD} : expected));
  }
}

TEST(ItemDisplayTextTest, Utf8IsTheWellFormedByteSequences) {
  // Agrees with Qt's decoder, which changes only what is not UTF-8, on
  // random runs of the bytes at the edges of each row of the table of
  // well-formed byte sequences (overlong forms, surrogates, past U+10FFFF,
  // cut-off sequences). Qt drops a leading byte-order mark, so that is
  // checked on its own.
  std::mt19937 random(1252);
  std::uniform_int_distribution<int> length(1, 6);
  const unsigned char bytes[] = {0x41, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEE,
                                 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFF};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof bytes - 1);
  for (int round = 0; round < 50000; ++round) {
    std::string item;
    for (int n = length(random); n > 0; --n) {
      item.push_back(static_cast<char>(bytes[pick(random)]));
    }
    const QByteArray raw(item.data(), static_cast<qsizetype>(item.size()));
    EXPECT_EQ(IsValidUtf8(item), QString::fromUtf8(raw).toUtf8() == raw)
        << ::testing::PrintToString(item);
  }
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("\xEF\xBB\xBFmark"));
}

TEST(ComputeHorizontalExtentTest, EmptyListsAndEmptyItems) {
  const QFont font("Arial", 9);
  EXPECT_EQ(ComputeHorizontalExtent(ItemList(), font, kBar), 0);
  // A list of empty items is not empty: the scroll bar allowance remains.
  EXPECT_EQ(ComputeHorizontalExtent(ListOf({"", ""}), font, kBar), kBar);
}

// Random items drawn from `alphabet` (UTF-8 pieces, one chosen at a time).
std::vector<std::string> RandomItems(std::mt19937& random, int count,
                                     int max_pieces,
                                     const std::vector<std::string>& alphabet) {
  std::vector<std::string> items(count);
  std::uniform_int_distribution<int> length(0, max_pieces);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (std::string& item : items) {
    for (int n = length(random); n > 0; --n)
      item.append(alphabet[pick(random)]);
  }
  return items;
}

std::vector<std::string> Pieces(const std::string& characters) {
  std::vector<std::string> pieces;
  for (char c : characters) pieces.emplace_back(1, c);
  return pieces;
}

std::vector<QFont> TestFonts() {
  QFont bold("Arial", 12);
  bold.setBold(true);
  QFont italic("DejaVu Serif", 10);
  italic.setItalic(true);
  // DejaVu makes ligatures of ff, fi and fl; Arial kerns pairs like AV.
  return {QFont("Arial", 9), bold, QFont("DejaVu Sans", 9), italic};
}

TEST(ComputeHorizontalExtentTest, EqualsMeasuringEveryItemOnRandomLists) {
  std::string printable;
  for (char c = 0x20; c < 0x7F; ++c) printable.push_back(c);
  const std::vector<std::string> alphabets[] = {
      Pieces(printable),
      Pieces("AVWTYoaer.,-LPf&ilj1"),  // dense in kerning pairs and ligatures
      {"a", "e", "\xC3\xA9", "\xC3\x9F", "\xC5\x81", "\xC8\xB7", "\xC2\xA0",
       "\xC2\xAD", "V"},
      {"a", "W", " ", "\xD7\xA9", "\xD8\xB3", "\xD9\x85", "\xE4\xB8\xAD",
       "\xF0\x9F\x98\x80", "e\xCC\x81", "\xCC\x88", "\xE2\x80\x8D",
       "\xE0\xA4\x95\xE0\xA5\x8D"},
      {"a", "\t", std::string(1, '\0'), "\x1B", "\x7F", "\xC2\x9C", "\xFF",
       "\xC3", "\x80", "\xED\xA0\x80", "\xC0\xAF", "&"},
      // 8-bit items mixed with UTF-8 ones: a single 8-bit byte turns the
      // whole item, UTF-8 pairs included, to Windows-1252.
      {"a", "V", "f", "i", "\xE9", "\xFC", "\xDF", "\x80", "\x92", "\x8A",
       "\x81", "\x9D", "\xAD", "\xA0", "\xC3\xA9", "\xC3", "\xA9"},
  };
  std::mt19937 random(20261206);
  for (const QFont& font : TestFonts()) {
    for (const std::vector<std::string>& alphabet : alphabets) {
      for (int round = 0; round < 4; ++round) {
        // These fonts kern in pairs (and join a few into ligatures): the
        // checks must find nothing that sends every item to measurement.
        EXPECT_FALSE(ExpectExact(RandomItems(random, 200, 40, alphabet), font)
                         .measured_all)
            << round << " alphabet of " << alphabet.size();
      }
    }
    // Long items: past the length measured by pairs, and just below it.
    for (int pieces : {1030, 1000}) {
      std::vector<std::string> items = RandomItems(random, 6, 10, alphabets[0]);
      items.push_back("AVAV");
      std::string long_item;
      for (int k = 0; k < pieces; ++k) {
        long_item.push_back(printable[(k * 7) % printable.size()]);
      }
      items.push_back(long_item);
      EXPECT_FALSE(ExpectExact(items, font).measured_all) << pieces;
    }
  }
}

TEST(ComputeHorizontalExtentTest,
     EqualsMeasuringEveryItemOnAListLargeEnoughForTwoThreads) {
  // Short items of letters and digits, every fifth with a Latin-1 letter
  // (summed on the second look), and one kerned item in either half.
  std::mt19937 random(7);
  std::vector<std::string> items = RandomItems(
      random, 150000, 12, Pieces("abcdefghijklmnopqrstuvwxyz0123456789"));
  for (std::size_t i = 1; i < items.size(); i += 5) items[i].append("\xC3\xA9");
  for (std::size_t i = 3; i < items.size(); i += 5) items[i].append("\xE9");
  for (const QFont& font : {QFont("Arial", 9), QFont("DejaVu Sans", 9)}) {
    // No item needs measuring on its own, ligatures (DejaVu) included.
    const ExtentStats stats = ExpectExact(items, font);
    EXPECT_FALSE(stats.measured_all);
    EXPECT_EQ(stats.measured_items, 0);
    for (std::size_t at : {std::size_t{10}, items.size() - 10}) {
      std::string kerned = "WAWAWAWAWAWAWAWAWAWAWAWAWAWAWAWAWA";
      items[at].swap(kerned);
      ExpectExact(items, font);
      items[at].swap(kerned);
    }
  }
}

}  // namespace
}  // namespace karvello

// Fonts need a QGuiApplication; tests never need a real display.
int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
