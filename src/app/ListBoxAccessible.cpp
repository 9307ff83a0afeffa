#include "app/ListBoxAccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <deque>
#include <unordered_map>

#include "app/ListBox.h"
#include "app/extent/ItemDisplayText.h"
#include "app/internal/ListBoxAccessibleEvents.h"

namespace karvello {
namespace {

// Children kept at most: enough for every row a reader looks at, few enough
// that one walking all ten million children never holds more.
constexpr std::size_t kKeptChildren = 256;

// Qt counts children in int.
int IntIndex(ItemList::Index i) {
  return static_cast<int>(std::min<ItemList::Index>(i, INT_MAX));
}

// One item of a list box.
class ItemAccessible final : public QAccessibleInterface,
                             public QAccessibleTableCellInterface {
 public:
  ItemAccessible(ListBox* box, ItemList::Index index)
      : box_(box), index_(index) {}

  ItemList::Index Index() const { return index_; }
  const ListBox* Box() const { return box_; }

  bool isValid() const override {
    return box_ != nullptr && index_ < box_->Items().ListCount();
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
    return ItemDisplayText(box_->Items().UncheckedItem(index_));
  }
  void setText(QAccessible::Text, const QString&) override {}

  // The part of the item's row that shows, in screen coordinates.
  QRect rect() const override {
    if (!isValid()) return {};
    const QWidget* viewport = box_->viewport();
    const QRect shown = box_->ItemRect(index_).intersected(viewport->rect());
    if (shown.isEmpty()) return {};
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
    if (rect().isEmpty()) state.offscreen = true;
    return state;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableCellInterface) {
      return static_cast<QAccessibleTableCellInterface*>(this);
    }
    return nullptr;
  }

  bool isSelected() const override {
    return isValid() && box_->Items().ListIndex() == index_;
  }
  QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return 0; }
  int rowIndex() const override { return IntIndex(index_); }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QAccessibleInterface* table() const override { return parent(); }

 private:
  QPointer<ListBox> box_;
  const ItemList::Index index_;
};

class ListBoxAccessible final : public QAccessibleWidget,
                                public QAccessibleTableInterface {
 public:
  explicit ListBoxAccessible(ListBox* box)
      : QAccessibleWidget(box, QAccessible::List) {}

  ~ListBoxAccessible() override { Forget(); }

  ListBox& Box() const { return *static_cast<ListBox*>(widget()); }

  // Drops every child made so far.
  void Forget() {
    for (const auto& [index, id] : ids_) {
      QAccessible::deleteAccessibleInterface(id);
    }
    ids_.clear();
    made_.clear();
  }

  int childCount() const override {
    return IntIndex(Box().Items().ListCount());
  }

  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    if (const auto it = ids_.find(index); it != ids_.end()) {
      return QAccessible::accessibleInterface(it->second);
    }
    // The oldest child goes first; the caller has long used it.
    if (made_.size() >= kKeptChildren) {
      QAccessible::deleteAccessibleInterface(ids_.at(made_.front()));
      ids_.erase(made_.front());
      made_.pop_front();
    }
    const QAccessible::Id id = QAccessible::registerAccessibleInterface(
        new ItemAccessible(&Box(), index));
    ids_.emplace(index, id);
    made_.push_back(index);
    return QAccessible::accessibleInterface(id);
  }

  int indexOfChild(const QAccessibleInterface* child) const override {
    const auto* item = dynamic_cast<const ItemAccessible*>(child);
    if (item == nullptr || item->Box() != &Box() || !item->isValid()) {
      return -1;
    }
    return IntIndex(item->Index());
  }

  QAccessibleInterface* childAt(int x, int y) const override {
    const ItemList::Index i =
        Box().IndexAt(Box().viewport()->mapFromGlobal(QPoint(x, y)));
    return i >= 0 ? child(IntIndex(i)) : nullptr;
  }

  QAccessibleInterface* focusChild() const override {
    if (!Box().hasFocus()) return nullptr;
    return child(IntIndex(Box().Items().ListIndex()));
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
    return column == 0 ? child(row) : nullptr;
  }
  int selectedCellCount() const override { return selectedRowCount(); }
  QList<QAccessibleInterface*> selectedCells() const override {
    QList<QAccessibleInterface*> cells;
    for (int row : selectedRows()) cells << child(row);
    return cells;
  }
  QString columnDescription(int) const override { return {}; }
  QString rowDescription(int) const override { return {}; }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override {
    return static_cast<int>(selectedRows().size());
  }
  int columnCount() const override { return 1; }
  int rowCount() const override { return childCount(); }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override {
    const ItemList::Index selected = Box().Items().ListIndex();
    if (selected < 0 || selected >= INT_MAX) return {};
    return {static_cast<int>(selected)};
  }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override {
    return row >= 0 && Box().Items().ListIndex() == row;
  }
  bool selectRow(int row) override {
    if (row < 0 || row >= Box().Items().ListCount()) return false;
    Box().Select(row);
    return true;
  }
  bool unselectRow(int row) override {
    if (!isRowSelected(row)) return false;
    Box().Select(-1);
    return true;
  }
  bool selectColumn(int) override { return false; }
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent*) override { Forget(); }

 private:
  mutable std::unordered_map<int, QAccessible::Id> ids_;
  mutable std::deque<int> made_;  // the indices in ids_, oldest first
};

QAccessibleInterface* ListBoxFactory(const QString&, QObject* object) {
  auto* box = qobject_cast<ListBox*>(object);
  return box != nullptr ? new ListBoxAccessible(box) : nullptr;
}

internal::AccessibleEventSink event_sink = nullptr;

// Whether anyone listens: events cost nothing when nobody does.
bool Listened() { return event_sink != nullptr || QAccessible::isActive(); }

void Send(QWidget& widget, QAccessible::Event type, ItemList::Index child) {
  QAccessibleEvent event(&widget, type);
  if (child >= 0 && child < INT_MAX) event.setChild(static_cast<int>(child));
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
  const ItemList::Index selected = box.Items().ListIndex();
  if (selected < 0) {
    Send(box, QAccessible::SelectionRemove, -1);
    return;
  }
  Send(box, QAccessible::Selection, selected);
  if (box.hasFocus()) Send(box, QAccessible::Focus, selected);
}

void NotifyFocusIn(ListBox& box) {
  // Without a selected item, the focus stays where Qt put it: on the list.
  if (!Listened() || box.Items().ListIndex() < 0) return;
  Send(box, QAccessible::Focus, box.Items().ListIndex());
}

void NotifyFocusAgain(QWidget& widget) {
  if (!Listened()) return;
  Send(widget, QAccessible::Focus, -1);
  if (auto* box = qobject_cast<ListBox*>(&widget)) NotifyFocusIn(*box);
}

void NotifyItemsChanged(ListBox& box) {
  if (auto* list = dynamic_cast<ListBoxAccessible*>(
          QAccessible::queryAccessibleInterface(&box))) {
    list->Forget();
  }
}

}  // namespace karvello
