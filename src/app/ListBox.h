// The list box that shows one ItemList: a single-selection, unsorted list
// that paints only its visible rows straight from the item list, so that it
// stays responsive with ten million items.

#ifndef KARVELLO_APP_LISTBOX_H_
#define KARVELLO_APP_LISTBOX_H_

#include <QAbstractScrollArea>
#include <QRect>

#include "lists/ItemList.h"

namespace karvello {

class ListBox : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit ListBox(QWidget* parent = nullptr);

  // The items shown. After editing them through this reference, call
  // ItemsChanged() so that the box updates its scroll range and repaints.
  ItemList& Items() { return items_; }
  const ItemList& Items() const { return items_; }

  // Updates the scroll range and the selection mark, and repaints. Cheap:
  // it does not depend on the number of items.
  void ItemsChanged();

  // The width in pixels over which the box scrolls sideways; a horizontal
  // scroll bar shows while it exceeds the visible width. Kept through every
  // change of the items until set again.
  void SetHorizontalExtent(int pixels);
  int HorizontalExtent() const { return horizontal_extent_; }

  // The rectangle of item `i` in viewport coordinates (empty when `i` is not
  // an item), for tests and for callers that point at an item.
  QRect ItemRect(ItemList::Index i) const;

 signals:
  // A double-click on an item's row, after the first click selected it.
  // Never raised for a double-click on the blank area below the items.
  void DblClick();

 private:
  ItemList items_;
  int horizontal_extent_ = 0;
};

// Sets the horizontal extent of `list` from its items, measured in the
// list's own font exactly as the box draws them, plus the width of a
// vertical scroll bar. `window` is the window that holds the list.
void SetHorizontalExtent(QWidget& window, ListBox& list);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTBOX_H_
