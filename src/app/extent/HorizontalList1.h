// The horizontal scroll extent of a list box: the width of its widest item,
// measured exactly as the list box draws it (ItemTextWidth in
// ItemDisplayText.h), plus a vertical scroll bar.
//
// Example:
//   QFont font("Arial", 9);
//   int extent = ComputeHorizontalExtent(list, font, 17);
//   // == ceil(max over i of ItemTextWidth(QFontMetricsF(font), list.List(i)))
//   //    + 17, or 0 when the list is empty.

#ifndef KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_
#define KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_

#include <QFont>

#include "lists/ItemList.h"

namespace karvello {

// The widest item of `list` drawn in `font`, in whole pixels rounded up, plus
// `scroll_bar_width`; 0 for an empty list. The result equals the maximum of
// ItemTextWidth over all items, rounded up, however the items are spelled;
// only the time it takes depends on the text. Saturates at INT_MAX.
//
// Items of plain Latin text are summed from per-character advances and
// per-pair adjustments measured once in `font` (internal/WidthModel.h),
// which is exact for fonts that kern in pairs. The sums are checked on a
// sample of items, and the routine measures every item one by one when a
// check fails. Other items are measured one by one.
int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width);

}  // namespace karvello

#endif  // KARVELLO_APP_EXTENT_HORIZONTALLIST1_H_
