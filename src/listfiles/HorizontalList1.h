// The horizontal scroll extent of a list box: the width of its widest item,
// measured exactly as the list box draws it, plus a vertical scroll bar.

#ifndef KARVELLO_LISTFILES_HORIZONTALLIST1_H_
#define KARVELLO_LISTFILES_HORIZONTALLIST1_H_

#include <QFont>

#include "lists/ItemList.h"

namespace karvello {

// The widest item of `list` drawn in `font`, in pixels, plus
// `scroll_bar_width`; 0 for an empty list.
int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_HORIZONTALLIST1_H_
