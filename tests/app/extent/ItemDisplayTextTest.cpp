// How an item shows: every byte visible, the line never broken, 8-bit
// items in Windows-1252 as the system's own converter reads them, and UTF-8
// as Qt's decoder reads it.

#include "app/extent/ItemDisplayText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <QByteArray>
#include <random>
#include <string>
#include <vector>

#include "lists/Utf8.h"

namespace karvello {
namespace {

using ::testing::ElementsAre;

std::vector<char16_t> Utf16(const QString& text) {
  return std::vector<char16_t>(text.utf16(), text.utf16() + text.size());
}

TEST(ItemDisplayTextTest, ShowsEveryByteWithoutBreakingTheLine) {
  // Text is shown as it is, ampersands too (no mnemonics).
  EXPECT_EQ(ItemDisplayText("Fish & Chips"), QString("Fish & Chips"));
  // A C1 control (U+009C would end Qt's measurement of the text early)
  // shows as the replacement character.
  for (char c1 = '\x80'; c1 <= '\x9F'; ++c1) {
    EXPECT_THAT(Utf16(ItemDisplayText(std::string{'a', '\xC2', c1, 'b'})),
                ElementsAre(u'a', 0xFFFD, u'b'));
  }
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
    EXPECT_EQ(IsWellFormedUtf8(item), QString::fromUtf8(raw).toUtf8() == raw)
        << ::testing::PrintToString(item);
  }
  EXPECT_TRUE(IsWellFormedUtf8(""));
  EXPECT_TRUE(IsWellFormedUtf8("\xEF\xBB\xBFmark"));
}

}  // namespace
}  // namespace karvello
