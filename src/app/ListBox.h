// The list box that shows one ItemList: a single-selection, unsorted list
// that paints only its visible rows straight from the item list, so that it
// stays responsive with ten million items.
//
// Rows are all one height, from the font. A mouse press on a row selects it;
// a press on the blank area below the last item leaves the selection as it
// was. Up, Down, Page Up, Page Down, Home and End move the selection and
// scroll it into view; Left and Right scroll sideways. Typing a letter, or a
// few letters in quick succession, selects the next item whose text starts
// with them, ignoring case, as native list boxes do; the same letter typed
// again steps on to the next such item. Each item is drawn as
// ItemDisplayText shows it (see app/extent/ItemDisplayText.h), in the box's
// font. The selection is the item list's ListIndex, so it follows its item
// through removals. Mouse moves over the box are accepted by it (event
// filters on the box and its viewport still see them), and a tooltip set on
// the box shows over the items. While the box has the keyboard focus, the
// style's focus frame goes round the selected row, or round the top row when
// nothing is selected. A right click, the Menu key and Shift+F10 ask for the
// box's menu (MenuRequested); from the keyboard it opens at the selected
// row. Assistive technology sees the box as a list of all its items (see
// ListBoxAccessible.h); when the box takes the focus, the selected item
// takes it after the list, except when the focus comes back with its
// window, which then tells of it (NotifyFocusAgain).

#ifndef KARVELLO_APP_LISTBOX_H_
#define KARVELLO_APP_LISTBOX_H_

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>

#include "lists/ItemList.h"

class QPainter;

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
  // an item, or lies too far from the view for int coordinates), for tests
  // and for callers that point at an item.
  QRect ItemRect(ItemList::Index i) const;

  // The item under `point` (viewport coordinates), or -1 over the blank area
  // below the items or outside the viewport.
  ItemList::Index IndexAt(QPoint point) const;

  // The first item shown at the top of the viewport. SetTopIndex clamps to
  // the scroll range.
  ItemList::Index TopIndex() const;
  void SetTopIndex(ItemList::Index i);

  // Scrolls the least amount that shows item `i` whole; nothing for a
  // non-item.
  void EnsureVisible(ItemList::Index i);

  // The height of every row, in pixels.
  int RowHeight() const;

  // Selects item `i`, or nothing for -1, and scrolls it into view.
  void Select(ItemList::Index i);

  // After the selected item was removed from Items(): does what
  // ItemsChanged() does, then selects the item that took its place at `i`,
  // or the last item when `i` is past the end, and scrolls it into view.
  // Assistive technology hears of the item, also when its index is the one
  // it heard of last.
  void SelectInPlaceOfRemoved(ItemList::Index i);

 signals:
  // A double-click on an item's row, after the first click selected it.
  // Never raised for a double-click on the blank area below the items.
  void DblClick();
  // The box's menu is asked for, to be shown at `global` (screen
  // coordinates).
  void MenuRequested(QPoint global);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Rows that fit whole in the viewport; at least 1.
  int WholeRows() const;
  void UpdateScrollBars();
  // Where a menu asked for from the keyboard opens: at the selected row,
  // scrolled into view, or at the top row when nothing is selected.
  QPoint KeyboardMenuPoint();
  // Moves the selection by typed text; false when `text` is not text to
  // search for.
  bool TypeAhead(const QString& text);
  void DrawFocusFrame(QPainter& painter, ItemList::Index i);
  // Tells assistive technology when the selection is not where it was last
  // told.
  void SelectionMayHaveMoved();

  ItemList items_;
  int horizontal_extent_ = 0;
  ItemList::Index announced_index_ = -1;
  QString typed_;           // the text of the current type-ahead search
  QElapsedTimer typed_at_;  // when its last key came
};

// Sets the horizontal extent of `list` from its items, measured in the
// list's own font exactly as the box draws them, plus the width of a
// vertical scroll bar.
void SetHorizontalExtent(ListBox& list);

// The extent that SetHorizontalExtent gives items drawn as `list` draws
// them, as a function that keeps copies of what it needs: another thread
// may call it meanwhile. The extent of a whole list is the largest of its
// parts'.
std::function<int(const ItemList&)> ExtentMeasure(const ListBox& list);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTBOX_H_
