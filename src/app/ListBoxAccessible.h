// What assistive technology sees of a ListBox: a list (role List) named after
// the frame that holds it, with one child for every item, each a list item
// (role ListItem) whose name is the item as the box draws it
// (ItemDisplayText), so that a reader says "item 10 of 40" from the child's
// index and the list's child count. The selected item is Selected, and
// Focused while the box has the keyboard focus; an item scrolled out of view
// is Offscreen. The table interface gives the same count (rowCount), the
// selected item (selectedRows) and selects an item (selectRow).
//
// A child is made only when asked for and a few hundred are kept at most, so
// a list of ten million items costs no more than one of ten. A child stands
// for its item until the items change (ItemsChanged); scrolling leaves it
// alone, so an event names the same item before and after a scroll.
//
// Example: a box holding "a", "b", "c" with "b" selected:
//   QAccessibleInterface* list = QAccessible::queryAccessibleInterface(box);
//   list->childCount();                          // 3
//   list->child(1)->text(QAccessible::Name);     // "b"
//   list->indexOfChild(list->child(1));          // 1
//   list->tableInterface()->selectedRows();      // {1}

#ifndef KARVELLO_APP_LISTBOXACCESSIBLE_H_
#define KARVELLO_APP_LISTBOXACCESSIBLE_H_

class QWidget;

namespace karvello {

class ListBox;

// Registers the accessible interface of ListBox with Qt. Safe to call more
// than once; every ListBox calls it.
void InstallListBoxAccessibility();

// Tell assistive technology, when it listens, that the selection of `box`
// moved (or was cleared), or that `box`, which has the keyboard focus, has
// a selected item to focus. The focus goes to the selected item only while
// the box has the focus; NotifyFocusIn belongs after Qt's own focus event
// for the box, so that the item is the last thing a reader hears.
void NotifySelectionChanged(ListBox& box);
void NotifyFocusIn(ListBox& box);
// Tell assistive technology again that `widget` has the keyboard focus, and
// then of its selected item if it is a ListBox: a window that becomes
// active again after a dialog says where the focus is, after the window's
// own activation.
void NotifyFocusAgain(QWidget& widget);
// The items of `box` changed: the children made so far stand for nothing.
void NotifyItemsChanged(ListBox& box);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTBOXACCESSIBLE_H_
