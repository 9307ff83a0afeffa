// What assistive technology sees of a ListBox: a list (role List) named after
// the frame that holds it, whose children are the rows shown, each a list
// item (role ListItem) whose name is the item as the box draws it
// (ItemDisplayText). The selected item's row is Selected, and Focused while
// the box has the keyboard focus. Its table interface gives the item count
// (rowCount), the selected item (selectedRows) and selects an item
// (selectRow).
//
// Only the rows shown have children, made when first asked for, so a list of
// ten million items costs no more than one of ten. A child stands for a row
// of the box, not for an item: after scrolling it describes the item shown in
// its row.
//
// Example: a box holding "a", "b", "c" with "b" selected, all shown:
//   QAccessibleInterface* list = QAccessible::queryAccessibleInterface(box);
//   list->childCount();                  // 3
//   list->child(1)->text(QAccessible::Name);    // "b"
//   list->tableInterface()->selectedRows();     // {1}

#ifndef KARVELLO_APP_LISTBOXACCESSIBLE_H_
#define KARVELLO_APP_LISTBOXACCESSIBLE_H_

namespace karvello {

class ListBox;

// Registers the accessible interface of ListBox with Qt. Safe to call more
// than once; every ListBox calls it.
void InstallListBoxAccessibility();

// Tell assistive technology, when it listens, that the selection of `box`
// moved (or was cleared), that `box` took the keyboard focus, or that the
// rows it shows changed (scrolling, items added or removed).
void NotifySelectionChanged(ListBox& box);
void NotifyFocusIn(ListBox& box);
void NotifyRowsChanged(ListBox& box);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTBOXACCESSIBLE_H_
