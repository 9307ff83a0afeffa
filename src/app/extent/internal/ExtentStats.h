// Hooks for the tests and benchmarks that check ComputeHorizontalExtent's
// shortcuts: how it came to its result, and the slow way to the same result.

#ifndef KARVELLO_APP_EXTENT_INTERNAL_EXTENTSTATS_H_
#define KARVELLO_APP_EXTENT_INTERNAL_EXTENTSTATS_H_

#include <QFont>

#include "lists/ItemList.h"

namespace karvello::internal {

struct ExtentStats {
  // A check failed and every item was measured one by one.
  bool measured_all = false;
  // Otherwise, how many items were measured one by one (the checks aside).
  ItemList::Index measured_items = 0;
};

// ComputeHorizontalExtent, telling `stats` how it got there.
int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width, ExtentStats* stats);

// The same result, always measuring every item one by one. Slow (about 2 µs
// an item, see BM_ExtentItemByItemSample).
int ComputeHorizontalExtentExhaustively(const ItemList& list, const QFont& font,
                                        int scroll_bar_width);

}  // namespace karvello::internal

#endif  // KARVELLO_APP_EXTENT_INTERNAL_EXTENTSTATS_H_
