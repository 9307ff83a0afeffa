#include "app/ListBoxAccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <vector>

#include "app/ListBox.h"
#include "app/extent/HorizontalList1.h"
#include "app/internal/ListBoxAccessibleEvents.h"

namespace karvello {
namespace {

// Rows that show an item, the last one possibly in part.
int ShownRows(const ListBox& box) {
  const int row_height = box.RowHeight();
  const ItemList::Index rows =
      (box.viewport()->height() + row_height - 1) / row_height;
  const ItemList::Index left = box.Items().ListCount() - box.TopIndex();
  return static_cast<int>(std::clamp<ItemList::Index>(left, 0, rows));
}

// The shown row of item `i`, or -1 when it is not shown.
int RowOf(const ListBox& box, ItemList::Index i) {
  if (i < 0) return -1;
  const ItemList::Index row = i - box.TopIndex();
  return row >= 0 && row < ShownRows(box) ? static_cast<int>(row) : -1;
}

class ListBoxAccessible;

// One shown row of a list box.
class RowAccessible final : public QAccessibleInterface,
                            public QAccessibleTableCellInterface {
 public:
  RowAccessible(ListBox* box, int row) : box_(box), row_(row) {}

  int Row() const { return row_; }
  const ListBox* Box() const { return box_; }

  bool isValid() const override {
    return box_ != nullptr && row_ < ShownRows(*box_);
  }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override {
    return box_ != nullptr ? box_->window()->windowHandle() : nullptr;
  }
  QAccessibleInterface* parent() const override {
    return box_ != nullptr ? QAccessible::queryAccessibleInterface(box_.data())
                           : nullptr;
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name || !isValid()) return {};
    return ItemDisplayText(box_->Items().UncheckedItem(Index()));
  }
  void setText(QAccessible::Text, const QString&) override {}

  QRect rect() const override {
    if (!isValid()) return {};
    const QWidget* viewport = box_->viewport();
    const QRect shown = box_->ItemRect(Index()).intersected(viewport->rect());
    return QRect(viewport->mapToGlobal(shown.topLeft()), shown.size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State state;
    if (!isValid()) {
      state.invalid = true;
      return state;
    }
    state.selectable = true;
    state.focusable = true;
    if (isSelected()) {
      state.selected = true;
      state.focused = box_->hasFocus();
    }
    if (!box_->isVisible()) state.invisible = true;
    return state;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableCellInterface) {
      return static_cast<QAccessibleTableCellInterface*>(this);
    }
    return nullptr;
  }

  bool isSelected() const override {
    return isValid() && box_->Items().ListIndex() == Index();
  }
  QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return 0; }
  int rowIndex() const override {
    return box_ != nullptr
               ? static_cast<int>(std::min<ItemList::Index>(Index(), INT_MAX))
               : -1;
  }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QAccessibleInterface* table() const override { return parent(); }

 private:
  ItemList::Index Index() const { return box_->TopIndex() + row_; }

  QPointer<ListBox> box_;
  int row_;
};

class ListBoxAccessible final : public QAccessibleWidget,
                                public QAccessibleTableInterface {
 public:
  explicit ListBoxAccessible(ListBox* box)
      : QAccessibleWidget(box, QAccessible::List) {}

  ~ListBoxAccessible() override {
    for (QAccessible::Id id : row_ids_) {
      if (id != 0) QAccessible::deleteAccessibleInterface(id);
    }
  }

  ListBox* Box() const { return static_cast<ListBox*>(widget()); }

  int childCount() const override { return ShownRows(*Box()); }

  // Rows are made when first asked for and kept: there are never more of
  // them than rows fit in the box.
  QAccessibleInterface* child(int row) const override {
    if (row < 0 || row >= ShownRows(*Box())) return nullptr;
    if (static_cast<std::size_t>(row) >= row_ids_.size()) {
      row_ids_.resize(static_cast<std::size_t>(row) + 1, 0);
    }
    QAccessible::Id& id = row_ids_[static_cast<std::size_t>(row)];
    if (id == 0) {
      id = QAccessible::registerAccessibleInterface(
          new RowAccessible(Box(), row));
    }
    return QAccessible::accessibleInterface(id);
  }

  int indexOfChild(const QAccessibleInterface* child) const override {
    const auto* row = dynamic_cast<const RowAccessible*>(child);
    if (row == nullptr || row->Box() != Box() || !row->isValid()) return -1;
    return row->Row();
  }

  QAccessibleInterface* childAt(int x, int y) const override {
    const ListBox& box = *Box();
    const ItemList::Index i =
        box.IndexAt(box.viewport()->mapFromGlobal(QPoint(x, y)));
    return child(RowOf(box, i));
  }

  QAccessibleInterface* focusChild() const override {
    if (!Box()->hasFocus()) return nullptr;
    return child(RowOf(*Box(), Box()->Items().ListIndex()));
  }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableInterface) {
      return static_cast<QAccessibleTableInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
  }

  // The table interface: one column, a row for every item.
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int column) const override {
    return column == 0 ? child(RowOf(*Box(), row)) : nullptr;
  }
  int selectedCellCount() const override {
    return static_cast<int>(selectedCells().size());
  }
  QList<QAccessibleInterface*> selectedCells() const override {
    QAccessibleInterface* cell =
        child(RowOf(*Box(), Box()->Items().ListIndex()));
    if (cell == nullptr) return {};
    return {cell};
  }
  QString columnDescription(int) const override { return {}; }
  QString rowDescription(int) const override { return {}; }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override {
    return static_cast<int>(selectedRows().size());
  }
  int columnCount() const override { return 1; }
  int rowCount() const override {
    return static_cast<int>(
        std::min<ItemList::Index>(Box()->Items().ListCount(), INT_MAX));
  }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override {
    const ItemList::Index selected = Box()->Items().ListIndex();
    if (selected < 0 || selected > INT_MAX) return {};
    return {static_cast<int>(selected)};
  }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override {
    return row >= 0 && Box()->Items().ListIndex() == row;
  }
  bool selectRow(int row) override {
    ListBox& box = *Box();
    if (row < 0 || row >= box.Items().ListCount()) return false;
    box.Items().SetListIndex(row);
    box.EnsureVisible(row);
    box.ItemsChanged();
    return true;
  }
  bool unselectRow(int row) override {
    ListBox& box = *Box();
    if (!isRowSelected(row)) return false;
    box.Items().SetListIndex(-1);
    box.ItemsChanged();
    return true;
  }
  bool selectColumn(int) override { return false; }
  bool unselectColumn(int) override { return false; }
  // Children stand for rows, not items: nothing to forget.
  void modelChange(QAccessibleTableModelChangeEvent*) override {}

 private:
  mutable std::vector<QAccessible::Id> row_ids_;
};

QAccessibleInterface* ListBoxFactory(const QString&, QObject* object) {
  auto* box = qobject_cast<ListBox*>(object);
  return box != nullptr ? new ListBoxAccessible(box) : nullptr;
}

internal::AccessibleEventSink event_sink = nullptr;

// Whether anyone listens: events cost nothing when nobody does.
bool Listened() { return event_sink != nullptr || QAccessible::isActive(); }

void Send(ListBox& box, QAccessible::Event type, int row) {
  QAccessibleEvent event(&box, type);
  if (row >= 0) event.setChild(row);
  if (event_sink != nullptr) {
    event_sink(&event);
  } else {
    QAccessible::updateAccessibility(&event);
  }
}

}  // namespace

namespace internal {
void SetAccessibleEventSink(AccessibleEventSink sink) { event_sink = sink; }
}  // namespace internal

void InstallListBoxAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(ListBoxFactory);
    return true;
  }();
  (void)installed;
}

void NotifySelectionChanged(ListBox& box) {
  if (!Listened()) return;
  const int row = RowOf(box, box.Items().ListIndex());
  if (box.Items().ListIndex() < 0) {
    Send(box, QAccessible::SelectionRemove, -1);
    return;
  }
  Send(box, QAccessible::Selection, row);
  if (box.hasFocus() && row >= 0) Send(box, QAccessible::Focus, row);
}

void NotifyFocusIn(ListBox& box) {
  if (!Listened()) return;
  Send(box, QAccessible::Focus, RowOf(box, box.Items().ListIndex()));
}

void NotifyRowsChanged(ListBox& box) {
  if (!Listened()) return;
  Send(box, QAccessible::VisibleDataChanged, -1);
}

}  // namespace karvello
