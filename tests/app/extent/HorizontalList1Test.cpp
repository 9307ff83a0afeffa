#include "app/extent/HorizontalList1.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/extent/ItemDisplayText.h"
#include "app/extent/internal/ExtentStats.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::internal::ExtentStats;
using ::karvello::testing::ListOf;

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
  EXPECT_EQ(
      internal::ComputeHorizontalExtent(ListOf(items), font, kBar, &stats),
      Expected(items, font))
      << font.family().toStdString() << " " << font.pointSize();
  return stats;
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
