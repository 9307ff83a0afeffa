#include "app/extent/internal/WidthModel.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <utility>

#include "app/extent/ItemDisplayText.h"
#include "lists/Utf8.h"

namespace karvello::internal {
namespace {

// The characters whose widths are modelled: printable ASCII, then U+00A0 to
// U+024F (Latin-1 and Latin Extended-A and -B, all simple left-to-right
// letters and signs without combining marks). Everything else in an item
// sends the whole item to exact measurement.
constexpr char32_t kLatinFirst = 0xA0;
constexpr char32_t kLatinLast = 0x24F;
constexpr char32_t kSoftHyphen = 0xAD;
static_assert(kIds ==
              kAsciiIds + static_cast<int>(kLatinLast - kLatinFirst + 1));
constexpr int kNoId = -1;

// Pairs are checked for ligatures in runs of this many characters once
// there are at least kMinPairsForRuns of them; shaping a long run costs
// little more than shaping a pair (BM_ComputeHorizontalExtentLigatureFont in
// bench/ListBoxBench.cpp).
constexpr std::size_t kRunLength = 512;
constexpr std::size_t kMinPairsForRuns = 64;

// The id of a character from U+00A0 up, or kNoId.
inline int LatinId(char32_t code) {
  return code >= kLatinFirst && code <= kLatinLast && code != kSoftHyphen
             ? kAsciiIds + static_cast<int>(code - kLatinFirst)
             : kNoId;
}

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
    return LatinId(Windows1252Char(static_cast<unsigned char>(lead)));
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
  return !IsWellFormedUtf8(item) &&
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

}  // namespace

void WidthModel::Add(const std::vector<int>& ids) {
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

void WidthModel::NoteWanted(std::string_view item, bool ascii_added,
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
      if (!Has(id)) wanted[id] = 1;
    }
    return true;
  });
}

bool WidthModel::Width(std::string_view item, Fixed* width) const {
  return InItemEncoding(item, [&]<Encoding kEncoding>() {
    return SumWidth<kEncoding>(item, width);
  });
}

bool WidthModel::SegmentedWidth(std::string_view item, Fixed* width) {
  return InItemEncoding(item, [&]<Encoding kEncoding>() {
    return SumSegmented<kEncoding>(item, width);
  });
}

// The sums of Width() and SegmentedWidth() for items read as `kEncoding`.
template <Encoding kEncoding>
bool WidthModel::SumWidth(std::string_view item, Fixed* width) const {
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
bool WidthModel::SumSegmented(std::string_view item, Fixed* width) {
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
bool WidthModel::FindSegments(const std::vector<int>& ids) {
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

// The exact width of the characters `ids[0 .. length - 1]`, from a cache
// keyed by the ids themselves (ten bits each) where they fit in 64 bits.
Fixed WidthModel::SegmentWidth(const int* ids, std::size_t length) {
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

std::int32_t WidthModel::Measure(const QString& text) const {
  return static_cast<std::int32_t>(ToFixed(metrics_.horizontalAdvance(text)));
}

// Marks the pair kUnmodelled unless the font shapes it as two glyphs.
void WidthModel::CheckPair(int first, int second) {
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
void WidthModel::ClearInRuns(std::vector<bool>& cleared) {
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

void WidthModel::FillTables() {
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
        compact_pairs_[c * stride + d] = Entry(Fixed{advance_[next]} + adjust);
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

}  // namespace karvello::internal
