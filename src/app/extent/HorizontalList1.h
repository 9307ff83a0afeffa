// The horizontal scroll extent of a list box: the width of its widest item,
// measured exactly as the list box draws it, plus a vertical scroll bar.
//
// The list box and the measurement share one notion of how an item looks:
// ItemDisplayText turns the item's bytes into the text drawn, and
// ItemTextWidth is the width QPainter::drawText gives that text. An ampersand
// is drawn and measured as itself (no mnemonics); a tab is not expanded.
//
// Example:
//   QFont font("Arial", 9);
//   int extent = ComputeHorizontalExtent(list, font, 17);
//   // == ceil(max over i of ItemTextWidth(QFontMetricsF(font), list.List(i)))
//   //    + 17, or 0 when the list is empty.

#ifndef KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_
#define KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_

#include <QFont>
#include <QFontMetricsF>
#include <QString>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

// The text of `item` as the window reads it. An item that is valid UTF-8 is
// read as UTF-8; any other item is read, whole, as Windows-1252, the usual
// encoding of old 8-bit list files, its five undefined bytes (81 8D 8F 90
// 9D) as the C1 controls of the same number. The item's bytes are never
// changed.
//
// Example: "caf\xC3\xA9" and "caf\xE9" both read as "café".
QString ItemText(std::string_view item);

// The text a list box shows for `item`: ItemText, with each C0 control
// character shown as its control picture (U+2400 + code, DEL as U+2421) and
// each C1 control as U+FFFD, so that no byte can end the line early, break
// it, or hide the rest of it.
//
// Example: "caf\xE9" shows as "café"; "a\tb" shows as "a\u2409b".
QString ItemDisplayText(std::string_view item);

// Whether `bytes` is well-formed UTF-8: no stray continuation byte, no
// truncated or overlong sequence, no surrogate, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// The width, in pixels and not rounded, of `item` as the list box draws it in
// the font of `metrics`.
qreal ItemTextWidth(const QFontMetricsF& metrics, std::string_view item);

// The widest item of `list` drawn in `font`, in whole pixels rounded up, plus
// `scroll_bar_width`; 0 for an empty list. The result equals the maximum of
// ItemTextWidth over all items, rounded up, however the items are spelled;
// only the time it takes depends on the text. Saturates at INT_MAX.
//
// Items of plain Latin text are summed from per-character advances and
// per-pair adjustments measured once in `font`, which is exact for fonts that
// kern in pairs; a pair the font joins (a ligature such as "fi") is measured
// with its neighbours as one short segment. This is checked on long runs of
// pairs and on a sample of items, and the routine measures every item one by
// one when a check fails. Other items are measured one by one.
int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width);

}  // namespace karvello

#endif  // KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_
