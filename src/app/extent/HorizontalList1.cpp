#include "app/extent/HorizontalList1.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "app/extent/internal/ExtentStats.h"
#include "lists/Parallel.h"

namespace karvello {
namespace {

// Widths in 1/64 pixel. Qt's text engine adds glyph advances in this
// fixed-point unit, so sums of widths it measured stay exact when held so.
using Fixed = std::int64_t;

Fixed ToFixed(qreal pixels) {
  return static_cast<Fixed>(std::llround(pixels * 64.0));
}

// The characters whose widths are modelled: printable ASCII, then U+00A0 to
// U+024F (Latin-1 and Latin Extended-A and -B, all simple left-to-right
// letters and signs without combining marks). Everything else in an item
// sends the whole item to exact measurement.
constexpr int kAsciiIds = 0x7F - 0x20;
constexpr char32_t kLatinFirst = 0xA0;
constexpr char32_t kLatinLast = 0x24F;
constexpr char32_t kSoftHyphen = 0xAD;
constexpr int kIds = kAsciiIds + static_cast<int>(kLatinLast - kLatinFirst + 1);
constexpr int kNoId = -1;
constexpr std::int32_t kUnmodelled = INT32_MIN;

// Qt's text engine cuts very long runs into several pieces and loses the
// kerning across the cuts, so long items are measured one by one.
constexpr std::size_t kMaxModelledBytes = 1024;

constexpr auto kMinItemsForThreads =
    static_cast<ItemList::Index>(kTwoThreadsFrom);

// Pairs are checked for ligatures in runs of this many characters once
// there are at least kMinPairsForRuns of them; shaping a long run costs
// little more than shaping a pair (BM_ComputeHorizontalExtentLigatureFont in
// bench/ListBoxBench.cpp).
constexpr std::size_t kRunLength = 512;
constexpr std::size_t kMinPairsForRuns = 64;

// How many modelled items are measured exactly to confirm the model.
constexpr ItemList::Index kSampleSize = 256;

// What Windows-1252 makes of the bytes 80 to 9F; it agrees with Latin-1
// elsewhere. The five bytes it leaves undefined stay the C1 controls of the
// same number.
constexpr char16_t kWindows1252From80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t Windows1252(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252From80[byte - 0x80]
                                     : char16_t{byte};
}

// The id of a character from U+00A0 up, or kNoId.
inline int LatinId(char32_t code) {
  return code >= kLatinFirst && code <= kLatinLast && code != kSoftHyphen
             ? kAsciiIds + static_cast<int>(code - kLatinFirst)
             : kNoId;
}

// An item is read as UTF-8 when it is valid UTF-8 and as Windows-1252
// otherwise, as ItemDisplayText reads it.
enum class Encoding { kUtf8, kWindows1252 };

// Reads the character at `bytes[pos]` and moves `pos` past it. Returns its
// id, or kNoId for anything that is not a modelled character, including
// invalid UTF-8 (which then need not advance `pos`).
template <Encoding kEncoding>
inline int NextId(const unsigned char* bytes, std::size_t size,
                  std::size_t& pos) {
  const unsigned lead = bytes[pos];
  if (lead < 0x80) {
    ++pos;
    return lead >= 0x20 && lead < 0x7F ? static_cast<int>(lead) - 0x20 : kNoId;
  }
  if constexpr (kEncoding == Encoding::kWindows1252) {
    ++pos;
    return LatinId(Windows1252(static_cast<unsigned char>(lead)));
  }
  // Only two-byte sequences can encode the modelled range; C2 to C9 are
  // exactly their lead bytes there, and none of them is overlong.
  if (lead >= 0xC2 && lead <= 0xC9 && pos + 1 < size &&
      (bytes[pos + 1] & 0xC0) == 0x80) {
    const char32_t code = ((lead & 0x1F) << 6) | (bytes[pos + 1] & 0x3F);
    pos += 2;
    return LatinId(code);
  }
  return kNoId;
}

// Runs `read.template operator()<encoding>()` for UTF-8 and, when that
// fails on an item that is not valid UTF-8, again for Windows-1252. A read
// that succeeds as UTF-8 met only well-formed sequences, so the item is
// UTF-8 unless the read stopped early.
template <typename Read>
bool InItemEncoding(std::string_view item, Read read) {
  if (read.template operator()<Encoding::kUtf8>()) return true;
  return !IsValidUtf8(item) &&
         read.template operator()<Encoding::kWindows1252>();
}

QChar IdChar(int id) {
  return id < kAsciiIds
             ? QChar(0x20 + id)
             : QChar(static_cast<char16_t>(kLatinFirst + id - kAsciiIds));
}

int GlyphCount(const QString& text, const QFont& font) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  layout.setTextOption(option);
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  int glyphs = 0;
  for (const QGlyphRun& run : layout.glyphRuns()) {
    glyphs += static_cast<int>(run.glyphIndexes().size());
  }
  return glyphs;
}

// Widths of the modelled characters in one font: an item's width is the sum
// of its characters' advances plus one adjustment per neighbouring pair
// (kerning). A character or pair that the font shapes into a different
// number of glyphs (a ligature, a decomposition) is kUnmodelled, as the
// adjustment of a ligature depends on more than one pair. Characters are
// added as items need them.
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
  void Add(const std::vector<int>& ids) {
    if (ids.empty()) return;
    for (int id : ids) {
      added_[id] = true;
      const QString one(IdChar(id));
      if (GlyphCount(one, font_) == 1) {
        advance_[id] = Measure(one);
        measured_.push_back(id);
      }
    }
    // Every new pair is measured on its own; whether it shapes as two
    // glyphs is settled below, in long runs where there are many.
    std::vector<std::pair<int, int>> fresh;
    QString two(2, QChar(' '));
    for (int first : measured_) {
      for (int second : measured_) {
        std::int32_t& adjust = pair_[Pair(first, second)];
        if (adjust != kUnmeasured) continue;
        two[0] = IdChar(first);
        two[1] = IdChar(second);
        adjust = Measure(two) - advance_[first] - advance_[second];
        fresh.emplace_back(first, second);
      }
    }
    std::vector<bool> cleared(static_cast<std::size_t>(kIds) * kIds, false);
    if (fresh.size() >= kMinPairsForRuns) ClearInRuns(cleared);
    for (const auto& [first, second] : fresh) {
      if (!cleared[Pair(first, second)]) CheckPair(first, second);
    }
    FillTables();
  }

  // The modelled width of `item`, or false when the model does not cover
  // it. Sums from tables laid out as the ASCII tables below, over the
  // measured characters numbered compactly.
  bool Width(std::string_view item, Fixed* width) const {
    return InItemEncoding(item, [&]<Encoding kEncoding>() {
      return SumWidth<kEncoding>(item, width);
    });
  }

  // Width() for items of printable ASCII, one table lookup a byte: the
  // entry for two neighbouring bytes, read as one 16-bit number, holds the
  // second byte's advance plus the pair's adjustment; the first byte's
  // advance comes from a table of its own. Entries for bytes the model
  // lacks (all of 0x80 and above among them) hold kNotSummed, which drives
  // the sum far below any width. Returns false for the items it cannot
  // sum; Width() may still sum them.
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
  bool SegmentedWidth(std::string_view item, Fixed* width) {
    return InItemEncoding(item, [&]<Encoding kEncoding>() {
      return SumSegmented<kEncoding>(item, width);
    });
  }

 private:
  // The sums of Width() and SegmentedWidth() for items read as `kEncoding`.
  template <Encoding kEncoding>
  bool SumWidth(std::string_view item, Fixed* width) const {
    if (item.size() > kMaxModelledBytes) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(item.data());
    const std::int32_t* first = compact_first_.data();
    const std::int32_t* pairs = compact_pairs_.data();
    const std::size_t stride = measured_.size();
    Fixed sum = 0;
    int previous = -1;
    std::size_t pos = 0;
    while (pos < item.size()) {
      const int id = NextId<kEncoding>(bytes, item.size(), pos);
      if (id == kNoId) return false;
      const int compact = compact_[id];
      if (compact < 0) return false;
      sum += previous < 0
                 ? first[compact]
                 : pairs[static_cast<std::size_t>(previous) * stride + compact];
      previous = compact;
    }
    if (sum < kNotSummedSum) return false;
    *width = sum;
    return true;
  }

  template <Encoding kEncoding>
  bool SumSegmented(std::string_view item, Fixed* width) {
    if (item.size() > kMaxModelledBytes) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(item.data());
    std::vector<int>& ids = ids_scratch_;
    ids.clear();
    std::size_t pos = 0;
    while (pos < item.size()) {
      const int id = NextId<kEncoding>(bytes, item.size(), pos);
      if (id == kNoId || compact_[id] < 0) return false;
      ids.push_back(id);
    }
    if (!FindSegments(ids)) return false;
    const std::vector<std::size_t>& segment_end = end_scratch_;
    Fixed sum = 0;
    int previous = kNoId;
    for (std::size_t k = 0; k < ids.size();) {
      if (previous != kNoId) {
        const std::int32_t adjust = pair_[Pair(previous, ids[k])];
        if (adjust == kUnmodelled || adjust == kUnmeasured) return false;
        sum += adjust;
      }
      const std::size_t next = segment_end[k] == 0 ? k + 1 : segment_end[k];
      sum += segment_end[k] == 0 ? advance_[ids[k]]
                                 : SegmentWidth(ids.data() + k, next - k);
      previous = ids[next - 1];
      k = next;
    }
    *width = sum;
    return true;
  }

  // Sets end_scratch_[k] to one past the last character of the segment that
  // starts at character k of `ids`, 0 where none starts: each pair the font
  // shapes otherwise with one character either side, overlapping segments
  // joined. False when there is no such pair, or a pair is unmeasured.
  bool FindSegments(const std::vector<int>& ids) {
    const std::size_t n = ids.size();
    std::vector<std::size_t>& segment_end = end_scratch_;
    segment_end.assign(n, 0);
    std::size_t open = n;  // start of the segment being grown, if any
    std::size_t open_end = 0;
    for (std::size_t k = 1; k < n; ++k) {
      const std::int32_t adjust = pair_[Pair(ids[k - 1], ids[k])];
      if (adjust == kUnmeasured) return false;
      if (adjust != kUnmodelled) continue;
      const std::size_t start = k >= 2 ? k - 2 : 0;
      const std::size_t end = std::min(n, k + 2);
      if (open != n && start < open_end) {
        open_end = end;
      } else {
        if (open != n) segment_end[open] = open_end;
        open = start;
        open_end = end;
      }
    }
    if (open == n) return false;
    segment_end[open] = open_end;
    return true;
  }

  static constexpr std::int32_t kUnmeasured = INT32_MIN + 1;
  // Table entries are kept below 2^18 (4096 pixels) in magnitude, so that
  // kMaxModelledBytes of them stay above kNotSummedSum and one kNotSummed
  // brings any sum below it.
  static constexpr std::int32_t kTableLimit = 1 << 18;
  static constexpr std::int32_t kNotSummed = -(1 << 30);
  static constexpr Fixed kNotSummedSum = -(Fixed{1} << 29);
  static_assert(kMaxModelledBytes * kTableLimit < (Fixed{1} << 29));

  // The exact width of the characters `ids[0 .. length - 1]`, from a cache
  // keyed by the ids themselves (ten bits each) where they fit in 64 bits.
  Fixed SegmentWidth(const int* ids, std::size_t length) {
    static_assert(kIds <= 1 << 10);
    auto measure = [&] {
      QString segment;
      for (std::size_t j = 0; j < length; ++j) segment.append(IdChar(ids[j]));
      return ToFixed(metrics_.horizontalAdvance(segment));
    };
    if (length > 6) return measure();
    std::uint64_t key = length;
    for (std::size_t j = 0; j < length; ++j) {
      key = key << 10 | static_cast<std::uint64_t>(ids[j]);
    }
    const auto found = segments_.find(key);
    if (found != segments_.end()) return found->second;
    const Fixed width = measure();
    segments_.emplace(key, width);
    return width;
  }

  // A table entry, or kNotSummed for a value too large to be one.
  static std::int32_t Entry(Fixed value) {
    return value > -kTableLimit && value < kTableLimit
               ? static_cast<std::int32_t>(value)
               : kNotSummed;
  }

  static std::size_t Pair(int first, int second) {
    return static_cast<std::size_t>(first) * kIds + second;
  }

  std::int32_t Measure(const QString& text) const {
    return static_cast<std::int32_t>(ToFixed(metrics_.horizontalAdvance(text)));
  }

  // Marks the pair kUnmodelled unless the font shapes it as two glyphs.
  void CheckPair(int first, int second) {
    std::int32_t& adjust = pair_[Pair(first, second)];
    if (adjust == kUnmodelled) return;
    QString two(2, QChar(' '));
    two[0] = IdChar(first);
    two[1] = IdChar(second);
    if (GlyphCount(two, font_) != 2) adjust = kUnmodelled;
  }

  // Shapes a sequence in which every ordered pair of the measured
  // characters stands side by side (a de Bruijn sequence of order two), in
  // overlapping runs. A run that shapes as one glyph a character and
  // measures exactly as the model sums it clears all its pairs at once; the
  // pairs of any other run are checked one by one. A run whose pairs all
  // pass and still measures otherwise shows that the font's shaping reaches
  // past pairs: the model is then not to be used at all.
  void ClearInRuns(std::vector<bool>& cleared) {
    const int n = static_cast<int>(measured_.size());
    std::vector<int> sequence;
    sequence.reserve(static_cast<std::size_t>(n) * n + 1);
    for (int i = 0; i < n; ++i) {
      sequence.push_back(measured_[i]);
      for (int j = i + 1; j < n; ++j) {
        sequence.push_back(measured_[i]);
        sequence.push_back(measured_[j]);
      }
    }
    sequence.push_back(measured_[0]);

    for (std::size_t start = 0; start + 1 < sequence.size();
         start += kRunLength - 1) {
      const std::size_t end = std::min(sequence.size(), start + kRunLength);
      QString run;
      run.reserve(static_cast<qsizetype>(end - start));
      Fixed modelled = 0;
      bool summable = true;
      for (std::size_t k = start; k < end; ++k) {
        run.append(IdChar(sequence[k]));
        modelled += advance_[sequence[k]];
        if (k == start) continue;
        const std::int32_t adjust = pair_[Pair(sequence[k - 1], sequence[k])];
        if (adjust == kUnmodelled) summable = false;
        modelled += adjust;
      }
      const bool shaped_simply = GlyphCount(run, font_) == run.size();
      const bool measured_as_summed =
          summable && ToFixed(metrics_.horizontalAdvance(run)) == modelled;
      if (shaped_simply && measured_as_summed) {
        for (std::size_t k = start + 1; k < end; ++k) {
          cleared[Pair(sequence[k - 1], sequence[k])] = true;
        }
        continue;
      }
      bool all_pairs_simple = summable;
      for (std::size_t k = start + 1; k < end; ++k) {
        const int first = sequence[k - 1];
        const int second = sequence[k];
        CheckPair(first, second);
        cleared[Pair(first, second)] = true;
        if (pair_[Pair(first, second)] == kUnmodelled) all_pairs_simple = false;
      }
      if (all_pairs_simple && !measured_as_summed) pairwise_ = false;
    }
  }

  void FillTables() {
    const std::size_t stride = measured_.size();
    std::fill(compact_.begin(), compact_.end(), -1);
    for (std::size_t c = 0; c < stride; ++c) {
      compact_[measured_[c]] = static_cast<int>(c);
    }
    compact_first_.assign(stride, kNotSummed);
    compact_pairs_.assign(stride * stride, kNotSummed);
    for (std::size_t c = 0; c < stride; ++c) {
      const int id = measured_[c];
      compact_first_[c] = Entry(advance_[id]);
      for (std::size_t d = 0; d < stride; ++d) {
        const int next = measured_[d];
        const std::int32_t adjust = pair_[Pair(id, next)];
        if (adjust != kUnmodelled && adjust != kUnmeasured) {
          compact_pairs_[c * stride + d] =
              Entry(Fixed{advance_[next]} + adjust);
        }
      }
    }

    auto ascii_id = [this](unsigned byte) {
      if (byte < 0x20 || byte >= 0x7F) return kNoId;
      const int id = static_cast<int>(byte) - 0x20;
      return advance_[id] == kUnmodelled ? kNoId : id;
    };
    for (unsigned byte = 0; byte < 0x100; ++byte) {
      const int id = ascii_id(byte);
      ascii_first_[byte] = id == kNoId ? kNotSummed : Entry(advance_[id]);
    }
    for (unsigned first = 0; first < 0x100; ++first) {
      const int first_id = ascii_id(first);
      for (unsigned second = 0; second < 0x100; ++second) {
        const int second_id = ascii_id(second);
        std::int32_t& slot = ascii_pairs_[first | (second << 8)];
        slot = kNotSummed;
        if (first_id == kNoId || second_id == kNoId) continue;
        const std::int32_t adjust = pair_[Pair(first_id, second_id)];
        if (adjust != kUnmodelled && adjust != kUnmeasured) {
          slot = Entry(Fixed{advance_[second_id]} + adjust);
        }
      }
    }
  }

  QFont font_;
  const QFontMetricsF& metrics_;
  std::unordered_map<std::uint64_t, Fixed> segments_;
  std::vector<int> ids_scratch_;
  std::vector<std::size_t> end_scratch_;
  bool pairwise_ = true;
  std::vector<bool> added_ = std::vector<bool>(kIds, false);
  std::vector<int> measured_;
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

// Runs `work(begin, end, part)` over the items in one or two parts, the
// second on its own thread, and rethrows what either part threw. The second
// part starts at a multiple of 64, so that the parts never share a word of a
// bitmap with one bit an item.
template <typename Work>
void ForParts(ItemList::Index count, int parts, Work work) {
  RunParts(parts, [&](int part) {
    const auto [begin, end] =
        PartRange(static_cast<std::size_t>(count), part, parts, 64);
    work(static_cast<ItemList::Index>(begin), static_cast<ItemList::Index>(end),
         part);
  });
}

int ToExtent(Fixed widest, int scroll_bar_width) {
  const Fixed pixels = widest <= 0 ? 0 : (widest + 63) / 64;
  const Fixed extent = pixels + scroll_bar_width;
  return extent > INT_MAX ? INT_MAX
                          : static_cast<int>(std::max<Fixed>(extent, 0));
}

// The widest of the items a pass has summed.
struct Widest {
  Fixed width = -1;
  ItemList::Index index = -1;
  void Keep(Fixed item_width, ItemList::Index i) {
    if (item_width > width) {
      width = item_width;
      index = i;
    }
  }
  void Keep(const Widest& other) { Keep(other.width, other.index); }
};

// One computation of the extent, in the order ComputeHorizontalExtent runs
// its passes: each pass sums what it can from the model and leaves the rest
// to the next, and the model is checked before its sums are trusted.
class ExtentPasses {
 public:
  ExtentPasses(const ItemList& list, const QFont& font)
      : list_(list),
        count_(list.ListCount()),
        parts_(count_ >= kMinItemsForThreads ? 2 : 1),
        metrics_(font),
        model_(font, metrics_),
        again_(static_cast<std::size_t>(count_ + 63) / 64, 0) {}

  // First the items the ASCII table sums. The others are marked for a
  // second look (a bitmap, as a list of indices costs more to grow), and
  // the characters they need are noted now, while their bytes are at hand.
  // A long list is most likely plain ASCII: measuring all its characters and
  // pairs at once costs less than a pass to find which occur (both in
  // BM_ComputeHorizontalExtent and ...Latin1 of bench/ListBoxBench.cpp).
  void SumAscii() {
    const bool ascii_added = count_ >= kMinItemsForThreads;
    if (ascii_added) {
      std::vector<int> ascii(kAsciiIds);
      for (int id = 0; id < kAsciiIds; ++id) ascii[id] = id;
      model_.Add(ascii);
    }
    std::vector<unsigned char> wanted[2] = {
        std::vector<unsigned char>(kIds, 0),
        std::vector<unsigned char>(kIds, 0)};
    ForParts(count_, parts_,
             [&](ItemList::Index begin, ItemList::Index end, int part) {
               for (ItemList::Index i = begin; i < end; ++i) {
                 const std::string_view item = list_.UncheckedItem(i);
                 Fixed width;
                 if (model_.AsciiWidth(item, &width)) {
                   ascii_[part].Keep(width, i);
                   continue;
                 }
                 again_[static_cast<std::size_t>(i) / 64] |= std::uint64_t{1}
                                                             << (i % 64);
                 NoteWanted(item, ascii_added, wanted[part]);
               }
             });
    std::vector<int> ids;
    for (int id = 0; id < kIds; ++id) {
      if (wanted[0][id] != 0 || wanted[1][id] != 0) ids.push_back(id);
    }
    model_.Add(ids);
  }

  // Then the marked items with the whole model.
  void SumModelled() {
    ForParts(
        count_, parts_,
        [&](ItemList::Index begin, ItemList::Index end, int part) {
          for (auto word = static_cast<std::size_t>(begin) / 64;
               word * 64 < static_cast<std::size_t>(end); ++word) {
            for (std::uint64_t bits = again_[word]; bits != 0;
                 bits &= bits - 1) {
              const auto i = static_cast<ItemList::Index>(
                  word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
              Fixed width;
              if (model_.Width(list_.UncheckedItem(i), &width)) {
                modelled_[part].Keep(width, i);
              } else {
                unsummed_[part].push_back(i);
              }
            }
          }
        });
  }

  // Then the items with pairs the font shapes otherwise, in segments; what
  // is left is measured one by one at the end.
  void SumSegmented() {
    for (const std::vector<ItemList::Index>& part : unsummed_) {
      for (ItemList::Index i : part) {
        Fixed width;
        if (model_.SegmentedWidth(list_.UncheckedItem(i), &width)) {
          segmented_.Keep(width, i);
        } else {
          unmodelled_.push_back(i);
        }
      }
    }
  }

  // The model holds for fonts that kern in pairs. The widest modelled item
  // and a spread of others are measured exactly: one difference means this
  // font does something else (contextual forms), and only measuring every
  // item is then certain.
  bool ModelHolds() {
    if (!model_.Pairwise()) return false;
    widest_ = Widest();
    for (const Widest& pass :
         {ascii_[0], ascii_[1], modelled_[0], modelled_[1], segmented_}) {
      widest_.Keep(pass);
    }
    if (widest_.index < 0) return true;
    if (Measure(widest_.index) != widest_.width) return false;
    const ItemList::Index step =
        std::max<ItemList::Index>(1, count_ / kSampleSize);
    for (ItemList::Index i = 0; i < count_; i += step) {
      Fixed modelled;
      const std::string_view item = list_.UncheckedItem(i);
      if ((model_.AsciiWidth(item, &modelled) ||
           model_.Width(item, &modelled) ||
           model_.SegmentedWidth(item, &modelled)) &&
          Measure(i) != modelled) {
        return false;
      }
    }
    return true;
  }

  // The items no pass could sum.
  ItemList::Index Unmodelled() const {
    return static_cast<ItemList::Index>(unmodelled_.size());
  }

  // Once the model holds: the widest item, the unmodelled ones measured.
  Fixed WidestWidth() {
    Fixed widest = std::max<Fixed>(widest_.width, 0);
    for (ItemList::Index i : unmodelled_) widest = std::max(widest, Measure(i));
    return widest;
  }

 private:
  // Notes in `wanted` the modelled characters of `item` that the model
  // lacks; with `ascii_added`, every ASCII one is there already.
  void NoteWanted(std::string_view item, bool ascii_added,
                  std::vector<unsigned char>& wanted) const {
    if (item.size() > kMaxModelledBytes) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(item.data());
    InItemEncoding(item, [&]<Encoding kEncoding>() {
      std::size_t pos = 0;
      while (pos < item.size()) {
        if (ascii_added && bytes[pos] < 0x80) {
          ++pos;
          continue;
        }
        const int id = NextId<kEncoding>(bytes, item.size(), pos);
        if (id == kNoId) return false;
        if (!model_.Has(id)) wanted[id] = 1;
      }
      return true;
    });
  }

  Fixed Measure(ItemList::Index i) const {
    return ToFixed(ItemTextWidth(metrics_, list_.UncheckedItem(i)));
  }

  const ItemList& list_;
  const ItemList::Index count_;
  const int parts_;
  const QFontMetricsF metrics_;
  WidthModel model_;
  std::vector<std::uint64_t> again_;  // one bit an item: for SumModelled
  Widest ascii_[2];
  Widest modelled_[2];
  Widest segmented_;
  Widest widest_;
  std::vector<ItemList::Index> unsummed_[2];  // by SumModelled
  std::vector<ItemList::Index> unmodelled_;
};

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t pos = 0;
  while (pos < size) {
    const unsigned lead = p[pos];
    if (lead < 0x80) {
      ++pos;
      continue;
    }
    // The second byte's range depends on the lead: E0 and F0 exclude
    // overlong forms, ED the surrogates, F4 what lies past U+10FFFF.
    std::size_t length;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (size - pos < length || p[pos + 1] < low || p[pos + 1] > high) {
      return false;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if ((p[pos + k] & 0xC0) != 0x80) return false;
    }
    pos += length;
  }
  return true;
}

QString ItemText(std::string_view item) {
  if (IsValidUtf8(item)) {
    return QString::fromUtf8(item.data(), static_cast<qsizetype>(item.size()));
  }
  QString text(static_cast<qsizetype>(item.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char byte : item) {
    *out++ = QChar(Windows1252(static_cast<unsigned char>(byte)));
  }
  return text;
}

QString ItemDisplayText(std::string_view item) {
  QString text = ItemText(item);
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20) {
      c = QChar(static_cast<char16_t>(0x2400 + u));
    } else if (u == 0x7F) {
      c = QChar(char16_t{0x2421});
    } else if (u >= 0x80 && u < 0xA0) {
      c = QChar(char16_t{0xFFFD});
    }
  }
  return text;
}

qreal ItemTextWidth(const QFontMetricsF& metrics, std::string_view item) {
  return metrics.horizontalAdvance(ItemDisplayText(item));
}

int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width) {
  internal::ExtentStats stats;
  return internal::ComputeHorizontalExtent(list, font, scroll_bar_width,
                                           &stats);
}

namespace internal {

int ComputeHorizontalExtentExhaustively(const ItemList& list, const QFont& font,
                                        int scroll_bar_width) {
  const ItemList::Index count = list.ListCount();
  if (count == 0) return 0;
  const QFontMetricsF metrics(font);
  Fixed widest = 0;
  for (ItemList::Index i = 0; i < count; ++i) {
    widest = std::max(widest,
                      ToFixed(ItemTextWidth(metrics, list.UncheckedItem(i))));
  }
  return ToExtent(widest, scroll_bar_width);
}

int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width, ExtentStats* stats) {
  *stats = ExtentStats();
  if (list.ListCount() == 0) return 0;
  ExtentPasses passes(list, font);
  passes.SumAscii();
  passes.SumModelled();
  passes.SumSegmented();
  if (!passes.ModelHolds()) {
    stats->measured_all = true;
    return ComputeHorizontalExtentExhaustively(list, font, scroll_bar_width);
  }
  stats->measured_items = passes.Unmodelled();
  return ToExtent(passes.WidestWidth(), scroll_bar_width);
}

}  // namespace internal
}  // namespace karvello
