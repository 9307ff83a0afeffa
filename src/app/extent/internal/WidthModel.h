// The width model: how wide an item of plain Latin text is drawn, summed
// from tables instead of laid out by the text engine, which is what lets
// ComputeHorizontalExtent go through ten million items in well under a
// second.
//
// The idea. Qt's text engine adds glyph advances in 1/64 pixel (`Fixed`),
// so a sum of widths it measured is exact when it is kept in that unit. For
// a font that kerns in pairs, a line of simple characters is as wide as the
// advances of its characters plus one adjustment for each neighbouring
// pair. So each character is measured once alone and each pair once side by
// side, and an item's width is then a sum of table entries:
//
//   width("AVA") == advance(A) + [advance(V) + adjust(A,V)]
//                              + [advance(A) + adjust(V,A)]
//
// The invariants.
//   - Modelled characters are printable ASCII and U+00A0 to U+024F, soft
//     hyphen aside: simple left-to-right letters and signs. An item with any
//     other character, or longer than kMaxModelledBytes, is not summed.
//   - A character the font draws as other than one glyph, or a pair drawn as
//     other than two (a ligature such as "fi"), is kUnmodelled: it is never
//     summed from the pair tables. SegmentedWidth() measures such a pair with
//     a neighbour either side as one exact segment instead.
//   - Every table entry lies within +-2^18 (4096 pixels) or is kNotSummed
//     (-2^30), so a sum over at most kMaxModelledBytes entries stays above
//     kNotSummedSum (-2^29) exactly when no entry was kNotSummed: one
//     comparison after the loop, none inside it.
//   - Pairwise() turns false, for good, once a run of pairs that each pass
//     measures otherwise than summed: the font shapes past pairs, and no
//     sum of the model is then to be trusted.
//
// The oracle. The model is never the last word: ComputeHorizontalExtent
// measures the widest summed item and a sample of the others exactly and,
// at one difference, measures every item one by one
// (ComputeHorizontalExtentExhaustively in ExtentStats.h). Its tests
// (tests/app/extent) compare the extent with every item measured one by
// one, on random lists of kerning pairs, ligatures, Latin letters, other
// scripts, controls and 8-bit bytes, in fonts that kern and join, and
// require that the model was used, not bypassed.

#ifndef KARVELLO_APP_EXTENT_INTERNAL_WIDTHMODEL_H_
#define KARVELLO_APP_EXTENT_INTERNAL_WIDTHMODEL_H_

#include <QFont>
#include <QFontMetricsF>
#include <QString>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace karvello::internal {

// Widths in 1/64 pixel.
using Fixed = std::int64_t;

inline Fixed ToFixed(qreal pixels) {
  return static_cast<Fixed>(std::llround(pixels * 64.0));
}

// Each modelled character has an id: printable ASCII from 0, then U+00A0
// to U+024F.
inline constexpr int kAsciiIds = 0x7F - 0x20;
inline constexpr int kIds = kAsciiIds + (0x24F - 0xA0 + 1);

// How an item's bytes are read, as ItemDisplayText reads them: as UTF-8
// when they are well-formed UTF-8, as Windows-1252 otherwise.
enum class Encoding { kUtf8, kWindows1252 };

// Qt's text engine cuts very long runs into several pieces and loses the
// kerning across the cuts, so long items are measured one by one.
inline constexpr std::size_t kMaxModelledBytes = 1024;

// Widths of the modelled characters in one font, its characters added as
// items need them. Add() and SegmentedWidth() measure and so belong to one
// thread; the other members only read and may run on several at once.
class WidthModel {
 public:
  WidthModel(const QFont& font, const QFontMetricsF& metrics)
      : font_(font), metrics_(metrics) {}

  bool Has(int id) const { return added_[id]; }

  // False once a check found the font's widths to depend on more than
  // neighbouring pairs; no modelled width can be trusted then.
  bool Pairwise() const { return pairwise_; }

  // Measures the characters `ids` (not yet added) and their pairs with
  // every character added so far.
  void Add(const std::vector<int>& ids);

  // Notes in `wanted` (by id) the modelled characters of `item` that the
  // model lacks; with `ascii_added`, every ASCII one is there already.
  void NoteWanted(std::string_view item, bool ascii_added,
                  std::vector<unsigned char>& wanted) const;

  // The modelled width of `item`, or false when the model does not cover
  // it. Sums from tables laid out as the ASCII tables below, over the
  // measured characters numbered compactly.
  bool Width(std::string_view item, Fixed* width) const;

  // Width() for items of printable ASCII, one table lookup a byte: the
  // entry for two neighbouring bytes, read as one 16-bit number, holds the
  // second byte's advance plus the pair's adjustment; the first byte's
  // advance comes from a table of its own. Entries for bytes the model
  // lacks (all of 0x80 and above among them) hold kNotSummed. Returns false
  // for the items it cannot sum; Width() may still sum them. Inline: it is
  // the loop over every item of a list.
  bool AsciiWidth(std::string_view item, Fixed* width) const {
    if (item.empty()) {
      *width = 0;
      return true;
    }
    if (item.size() > kMaxModelledBytes) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(item.data());
    const std::int32_t* pairs = ascii_pairs_.data();
    Fixed sum = ascii_first_[bytes[0]];
    for (std::size_t k = 1; k < item.size(); ++k) {
      sum += pairs[bytes[k - 1] | (unsigned{bytes[k]} << 8)];
    }
    if (sum < kNotSummedSum) return false;
    *width = sum;
    return true;
  }

  // Width() for items that hold pairs the font shapes otherwise (a
  // ligature such as "fi"): each such pair, with one character either side
  // (whose kerning against the ligature differs), is a segment measured
  // exactly, once for every different segment; the rest of the item is
  // summed as by Width(). Not for use from other threads: it measures.
  bool SegmentedWidth(std::string_view item, Fixed* width);

 private:
  static constexpr std::int32_t kUnmodelled = INT32_MIN;
  static constexpr std::int32_t kUnmeasured = INT32_MIN + 1;
  static constexpr std::int32_t kTableLimit = 1 << 18;
  static constexpr std::int32_t kNotSummed = -(1 << 30);
  static constexpr Fixed kNotSummedSum = -(Fixed{1} << 29);
  static_assert(kMaxModelledBytes * kTableLimit < (Fixed{1} << 29));

  template <Encoding kEncoding>
  bool SumWidth(std::string_view item, Fixed* width) const;
  template <Encoding kEncoding>
  bool SumSegmented(std::string_view item, Fixed* width);
  bool FindSegments(const std::vector<int>& ids);
  Fixed SegmentWidth(const int* ids, std::size_t length);
  std::int32_t Measure(const QString& text) const;
  void CheckPair(int first, int second);
  void ClearInRuns(std::vector<bool>& cleared);
  void FillTables();

  // A table entry, or kNotSummed for a value too large to be one.
  static std::int32_t Entry(Fixed value) {
    return value > -kTableLimit && value < kTableLimit
               ? static_cast<std::int32_t>(value)
               : kNotSummed;
  }
  static std::size_t Pair(int first, int second) {
    return static_cast<std::size_t>(first) * kIds + second;
  }

  QFont font_;
  const QFontMetricsF& metrics_;
  std::unordered_map<std::uint64_t, Fixed> segments_;
  std::vector<int> ids_scratch_;
  std::vector<std::size_t> end_scratch_;
  bool pairwise_ = true;
  std::vector<bool> added_ = std::vector<bool>(kIds, false);
  std::vector<int> measured_;  // the ids drawn as one glyph, in added order
  std::vector<std::int32_t> advance_ =
      std::vector<std::int32_t>(kIds, kUnmodelled);
  std::vector<std::int32_t> pair_ = std::vector<std::int32_t>(
      static_cast<std::size_t>(kIds) * kIds, kUnmeasured);
  std::vector<int> compact_ = std::vector<int>(kIds, -1);
  std::vector<std::int32_t> compact_first_;
  std::vector<std::int32_t> compact_pairs_;
  std::vector<std::int32_t> ascii_first_ =
      std::vector<std::int32_t>(0x100, kNotSummed);
  std::vector<std::int32_t> ascii_pairs_ =
      std::vector<std::int32_t>(0x100 * 0x100, kNotSummed);
};

}  // namespace karvello::internal

#endif  // KARVELLO_APP_EXTENT_INTERNAL_WIDTHMODEL_H_
