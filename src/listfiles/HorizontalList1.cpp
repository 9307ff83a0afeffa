#include "listfiles/HorizontalList1.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

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

// Below this many items a second thread costs more than it saves.
constexpr ItemList::Index kMinItemsForThreads = 100000;

// How many modelled items are measured exactly to confirm the model.
constexpr ItemList::Index kSampleSize = 256;

// Reads the character at `bytes[pos]` and moves `pos` past it. Returns its
// id, or kNoId for anything that is not a modelled character, including
// invalid UTF-8 (which then need not advance `pos`).
inline int NextId(const unsigned char* bytes, std::size_t size,
                  std::size_t& pos) {
  const unsigned lead = bytes[pos];
  if (lead < 0x80) {
    ++pos;
    return lead >= 0x20 && lead < 0x7F ? static_cast<int>(lead) - 0x20 : kNoId;
  }
  // Only two-byte sequences can encode the modelled range; C2 to C9 are
  // exactly their lead bytes there, and none of them is overlong.
  if (lead >= 0xC2 && lead <= 0xC9 && pos + 1 < size &&
      (bytes[pos + 1] & 0xC0) == 0x80) {
    const char32_t code = ((lead & 0x1F) << 6) | (bytes[pos + 1] & 0x3F);
    pos += 2;
    if (code >= kLatinFirst && code <= kLatinLast && code != kSoftHyphen) {
      return kAsciiIds + static_cast<int>(code - kLatinFirst);
    }
  }
  return kNoId;
}

QChar IdChar(int id) {
  return id < kAsciiIds
             ? QChar(0x20 + id)
             : QChar(static_cast<char16_t>(kLatinFirst + id - kAsciiIds));
}

int GlyphCount(const QString& text, const QFont& font) {
  QTextLayout layout(text, font);
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
// adjustment of a ligature depends on more than one pair.
struct WidthModel {
  std::vector<std::int32_t> advance =
      std::vector<std::int32_t>(kIds, kUnmodelled);
  std::vector<std::int32_t> pair = std::vector<std::int32_t>(
      static_cast<std::size_t>(kIds) * kIds, kUnmodelled);
};

WidthModel BuildModel(const std::vector<bool>& used,
                      const QFontMetricsF& metrics, const QFont& font) {
  WidthModel model;
  std::vector<int> ids;
  for (int id = 0; id < kIds; ++id) {
    if (!used[id]) continue;
    const QString one(IdChar(id));
    if (GlyphCount(one, font) != 1) continue;
    model.advance[id] =
        static_cast<std::int32_t>(ToFixed(metrics.horizontalAdvance(one)));
    ids.push_back(id);
  }
  QString two(2, QChar(' '));
  for (int first : ids) {
    for (int second : ids) {
      two[0] = IdChar(first);
      two[1] = IdChar(second);
      if (GlyphCount(two, font) != 2) continue;
      model.pair[static_cast<std::size_t>(first) * kIds + second] =
          static_cast<std::int32_t>(ToFixed(metrics.horizontalAdvance(two)) -
                                    model.advance[first] -
                                    model.advance[second]);
    }
  }
  return model;
}

// The modelled width of `item`, or false when the model does not cover it.
bool ModelledWidth(const WidthModel& model, std::string_view item,
                   Fixed* width) {
  if (item.size() > kMaxModelledBytes) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(item.data());
  const std::int32_t* advance = model.advance.data();
  const std::int32_t* pair = model.pair.data();
  Fixed sum = 0;
  int previous = kNoId;
  std::size_t pos = 0;
  while (pos < item.size()) {
    const int id = NextId(bytes, item.size(), pos);
    if (id == kNoId || advance[id] == kUnmodelled) return false;
    sum += advance[id];
    if (previous != kNoId) {
      const std::int32_t adjust =
          pair[static_cast<std::size_t>(previous) * kIds + id];
      if (adjust == kUnmodelled) return false;
      sum += adjust;
    }
    previous = id;
  }
  *width = sum;
  return true;
}

// Runs `work(begin, end, part)` over the items in one or two parts, the
// second on its own thread, and rethrows what either part threw.
template <typename Work>
void ForParts(ItemList::Index count, int parts, Work work) {
  if (parts == 1) {
    work(ItemList::Index{0}, count, 0);
    return;
  }
  const ItemList::Index middle = count / 2;
  std::exception_ptr failure;
  std::thread second([&] {
    try {
      work(middle, count, 1);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  try {
    work(ItemList::Index{0}, middle, 0);
  } catch (...) {
    second.join();
    throw;
  }
  second.join();
  if (failure) std::rethrow_exception(failure);
}

int ToExtent(Fixed widest, int scroll_bar_width) {
  const Fixed pixels = widest <= 0 ? 0 : (widest + 63) / 64;
  const Fixed extent = pixels + scroll_bar_width;
  return extent > INT_MAX ? INT_MAX
                          : static_cast<int>(std::max<Fixed>(extent, 0));
}

}  // namespace

QString ItemDisplayText(std::string_view item) {
  QString text =
      QString::fromUtf8(item.data(), static_cast<qsizetype>(item.size()));
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
                            int scroll_bar_width) {
  const ItemList::Index count = list.ListCount();
  if (count == 0) return 0;
  const int parts = count >= kMinItemsForThreads ? 2 : 1;

  // Which modelled characters occur, so that only their pairs are measured.
  std::vector<bool> used(kIds, false);
  {
    std::vector<unsigned char> seen[2] = {std::vector<unsigned char>(kIds, 0),
                                          std::vector<unsigned char>(kIds, 0)};
    ForParts(count, parts,
             [&](ItemList::Index begin, ItemList::Index end, int part) {
               unsigned char* mine = seen[part].data();
               for (ItemList::Index i = begin; i < end; ++i) {
                 const std::string_view item = list.UncheckedItem(i);
                 if (item.size() > kMaxModelledBytes) continue;
                 const auto* bytes =
                     reinterpret_cast<const unsigned char*>(item.data());
                 std::size_t pos = 0;
                 while (pos < item.size()) {
                   const int id = NextId(bytes, item.size(), pos);
                   if (id == kNoId) break;
                   mine[id] = 1;
                 }
               }
             });
    for (int id = 0; id < kIds; ++id)
      used[id] = seen[0][id] != 0 || seen[1][id] != 0;
  }

  const QFontMetricsF metrics(font);
  const WidthModel model = BuildModel(used, metrics, font);

  struct PartResult {
    Fixed widest = -1;
    ItemList::Index widest_index = -1;
    std::vector<ItemList::Index> unmodelled;
  };
  PartResult results[2];
  ForParts(count, parts,
           [&](ItemList::Index begin, ItemList::Index end, int part) {
             PartResult& result = results[part];
             for (ItemList::Index i = begin; i < end; ++i) {
               Fixed width;
               if (!ModelledWidth(model, list.UncheckedItem(i), &width)) {
                 result.unmodelled.push_back(i);
               } else if (width > result.widest) {
                 result.widest = width;
                 result.widest_index = i;
               }
             }
           });

  // The model holds for fonts that kern in pairs. Measure the widest
  // modelled item and a spread of others exactly; one difference means this
  // font does something else (contextual forms), and only measuring every
  // item is then certain.
  Fixed widest = 0;
  const PartResult& best =
      results[1].widest > results[0].widest ? results[1] : results[0];
  if (best.widest_index >= 0) {
    if (ToFixed(ItemTextWidth(
            metrics, list.UncheckedItem(best.widest_index))) != best.widest) {
      return ComputeHorizontalExtentExhaustively(list, font, scroll_bar_width);
    }
    widest = best.widest;
    const ItemList::Index step =
        std::max<ItemList::Index>(1, count / kSampleSize);
    for (ItemList::Index i = 0; i < count; i += step) {
      Fixed modelled;
      const std::string_view item = list.UncheckedItem(i);
      if (ModelledWidth(model, item, &modelled) &&
          ToFixed(ItemTextWidth(metrics, item)) != modelled) {
        return ComputeHorizontalExtentExhaustively(list, font,
                                                   scroll_bar_width);
      }
    }
  }
  for (const PartResult& result : results) {
    for (ItemList::Index i : result.unmodelled) {
      widest = std::max(widest,
                        ToFixed(ItemTextWidth(metrics, list.UncheckedItem(i))));
    }
  }
  return ToExtent(widest, scroll_bar_width);
}

}  // namespace karvello
