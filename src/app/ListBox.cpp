#include "app/ListBox.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>
#include <climits>

#include "app/ListBoxAccessible.h"
#include "app/extent/HorizontalList1.h"
#include "app/extent/ItemDisplayText.h"

namespace karvello {
namespace {

// No index at all, not even -1 (no selection): what a list box has
// announced before assistive technology heard of anything.
constexpr ItemList::Index kNoneAnnounced = -2;

// Blank pixels left of the text, and above and below it in each row.
constexpr int kTextMargin = 2;
constexpr int kRowPadding = 1;

bool IsPrintableAscii(QChar c) {
  return c.unicode() >= 0x20 && c.unicode() < 0x7F;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether `item` shows as text that starts with `prefix`, ignoring case.
// `ascii` is the lower-case Latin-1 form of the printable ASCII characters
// that `prefix` starts with. Those bytes show as themselves whether the item
// reads as UTF-8 or as Windows-1252, so they are compared as bytes, and only
// an item that gets past them with a non-ASCII byte is turned into text:
// with ten million items, that keeps a search to a scan of a few bytes each.
bool ShowsStartingWith(std::string_view item, const QString& prefix,
                       std::string_view ascii) {
  if (item.size() < ascii.size()) return false;
  for (std::size_t k = 0; k < ascii.size(); ++k) {
    if (AsciiLower(item[k]) != ascii[k]) return false;
  }
  if (ascii.size() == static_cast<std::size_t>(prefix.size())) return true;
  if (item.size() == ascii.size() ||
      static_cast<unsigned char>(item[ascii.size()]) < 0x80) {
    return false;
  }
  return ItemDisplayText(item).startsWith(prefix, Qt::CaseInsensitive);
}

// The first item from `from` on, wrapping round to the top, that shows as
// text starting with `prefix`; -1 when none does.
ItemList::Index FindStartingWith(const ItemList& items, const QString& prefix,
                                 ItemList::Index from) {
  std::string ascii;
  for (QChar c : prefix) {
    if (!IsPrintableAscii(c)) break;
    ascii += AsciiLower(static_cast<char>(c.unicode()));
  }
  // Straight from the storage, and the first byte alone before anything
  // else: with ten million items this is the whole cost of a search.
  const ItemList::Storage storage = items.RawStorage();
  const auto count = static_cast<ItemList::Index>(storage.count);
  const char first = ascii.empty() ? '\0' : ascii[0];
  for (ItemList::Index k = 0; k < count; ++k) {
    const auto i = static_cast<std::size_t>((from + k) % count);
    const char* text = storage.bytes + storage.offsets[i];
    if (!ascii.empty() &&
        (storage.lengths[i] == 0 || AsciiLower(text[0]) != first)) {
      continue;
    }
    if (ShowsStartingWith({text, storage.lengths[i]}, prefix, ascii)) {
      return static_cast<ItemList::Index>(i);
    }
  }
  return -1;
}

}  // namespace

ListBox::ListBox(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  UpdateScrollBars();
  InstallListBoxAccessibility();
}

void ListBox::ItemsChanged() {
  UpdateScrollBars();
  viewport()->update();
  NotifyItemsChanged(*this);
  SelectionMayHaveMoved();
}

void ListBox::SelectionMayHaveMoved() {
  if (items_.ListIndex() == announced_index_) return;
  announced_index_ = items_.ListIndex();
  NotifySelectionChanged(*this);
}

void ListBox::SetHorizontalExtent(int pixels) {
  horizontal_extent_ = std::max(pixels, 0);
  UpdateScrollBars();
  viewport()->update();
}

int ListBox::RowHeight() const {
  return QFontMetrics(font()).height() + 2 * kRowPadding;
}

int ListBox::WholeRows() const {
  return std::max(1, viewport()->height() / RowHeight());
}

ItemList::Index ListBox::TopIndex() const {
  return verticalScrollBar()->value();
}

void ListBox::SetTopIndex(ItemList::Index i) {
  // The scroll bar clamps to its range; only the int conversion needs care.
  verticalScrollBar()->setValue(
      static_cast<int>(std::clamp<ItemList::Index>(i, 0, INT_MAX)));
}

void ListBox::EnsureVisible(ItemList::Index i) {
  if (i < 0 || i >= items_.ListCount()) return;
  const ItemList::Index top = TopIndex();
  const int rows = WholeRows();
  if (i < top) {
    SetTopIndex(i);
  } else if (i >= top + rows) {
    SetTopIndex(i - rows + 1);
  }
}

QRect ListBox::ItemRect(ItemList::Index i) const {
  if (i < 0 || i >= items_.ListCount()) return {};
  const ItemList::Index y = (i - TopIndex()) * RowHeight();
  if (y < INT_MIN / 2 || y > INT_MAX / 2) return {};
  return QRect(0, static_cast<int>(y), viewport()->width(), RowHeight());
}

ItemList::Index ListBox::IndexAt(QPoint point) const {
  if (!viewport()->rect().contains(point)) return -1;
  const ItemList::Index i = TopIndex() + point.y() / RowHeight();
  return i < items_.ListCount() ? i : -1;
}

void ListBox::UpdateScrollBars() {
  const int rows = WholeRows();
  const ItemList::Index last_top =
      std::max<ItemList::Index>(0, items_.ListCount() - rows);
  // Scroll bars count in int; a list beyond that many rows scrolls as far
  // as int reaches.
  verticalScrollBar()->setRange(
      0, static_cast<int>(std::min<ItemList::Index>(last_top, INT_MAX)));
  verticalScrollBar()->setPageStep(rows);
  verticalScrollBar()->setSingleStep(1);

  const int width = viewport()->width();
  horizontalScrollBar()->setRange(0, std::max(0, horizontal_extent_ - width));
  horizontalScrollBar()->setPageStep(std::max(1, width));
  horizontalScrollBar()->setSingleStep(
      std::max(1, QFontMetrics(font()).averageCharWidth()));
}

void ListBox::Select(ItemList::Index i) {
  items_.SetListIndex(i);
  EnsureVisible(i);
  viewport()->update();
  SelectionMayHaveMoved();
}

void ListBox::SelectInPlaceOfRemoved(ItemList::Index i) {
  const ItemList::Index count = items_.ListCount();
  items_.SetListIndex(
      count == 0 ? -1 : std::clamp<ItemList::Index>(i, 0, count - 1));
  // The index may be the one announced last, but the item there is another.
  announced_index_ = kNoneAnnounced;
  ItemsChanged();
  EnsureVisible(items_.ListIndex());
}

void ListBox::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(font());
  const QFontMetrics metrics(font());
  const int row_height = RowHeight();
  const int width = viewport()->width();
  const int text_x = kTextMargin - horizontalScrollBar()->value();
  const int baseline_offset =
      (row_height - metrics.height()) / 2 + metrics.ascent();
  const ItemList::Index count = items_.ListCount();
  const ItemList::Index top = TopIndex();
  const ItemList::Index selected = items_.ListIndex();

  const QRect exposed = event->rect();
  const int first_row = std::max(0, exposed.top() / row_height);
  const int last_row = exposed.bottom() / row_height;
  for (int row = first_row; row <= last_row; ++row) {
    const ItemList::Index i = top + row;
    if (i >= count) break;
    const QRect rect(0, row * row_height, width, row_height);
    if (i == selected) {
      painter.fillRect(rect, palette().brush(QPalette::Highlight));
      painter.setPen(palette().color(QPalette::HighlightedText));
    } else {
      painter.setPen(palette().color(QPalette::Text));
    }
    painter.drawText(QPoint(text_x, rect.top() + baseline_offset),
                     ItemDisplayText(items_.UncheckedItem(i)));
  }
  if (hasFocus()) DrawFocusFrame(painter, selected >= 0 ? selected : top);
}

void ListBox::DrawFocusFrame(QPainter& painter, ItemList::Index i) {
  // As in the platform's list box: the frame goes round the selected row,
  // or round the top row while nothing is selected (also in an empty list),
  // so a list reached with Tab always shows that it has the focus.
  const ItemList::Index row = i - TopIndex();
  if (row < 0 || row > viewport()->height() / RowHeight()) return;
  QStyleOptionFocusRect option;
  option.initFrom(this);
  option.rect = QRect(0, static_cast<int>(row) * RowHeight(),
                      viewport()->width(), RowHeight());
  option.backgroundColor = palette().color(
      i == items_.ListIndex() ? QPalette::Highlight : QPalette::Base);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void ListBox::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void ListBox::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  const ItemList::Index i = IndexAt(event->position().toPoint());
  if (i >= 0) Select(i);
  event->accept();
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
  // Dragging with the button down moves the selection along, as in a
  // platform list box; the rows past either edge scroll into view.
  if (event->buttons() & Qt::LeftButton) {
    const ItemList::Index count = items_.ListCount();
    if (count > 0) {
      const int y = event->position().toPoint().y();
      const ItemList::Index row =
          y < 0 ? -1 : static_cast<ItemList::Index>(y / RowHeight());
      Select(std::clamp<ItemList::Index>(TopIndex() + row, 0, count - 1));
    }
  }
  // Accepted, so that the move does not reach the widgets behind the box;
  // event filters on the box and its viewport have seen it already.
  event->accept();
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mouseReleaseEvent(event);
    return;
  }
  event->accept();
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mouseDoubleClickEvent(event);
    return;
  }
  event->accept();
  const ItemList::Index i = IndexAt(event->position().toPoint());
  if (i < 0) return;
  Select(i);
  emit DblClick();
}

// One piece, past 50 lines: one short case per key, read as a table.
void ListBox::keyPressEvent(QKeyEvent* event) {
  const ItemList::Index count = items_.ListCount();
  const ItemList::Index current = items_.ListIndex();
  const ItemList::Index page = std::max(1, WholeRows() - 1);
  ItemList::Index target;
  switch (event->key()) {
    case Qt::Key_Up:
      target = current - 1;
      break;
    case Qt::Key_Down:
      target = current < 0 ? 0 : current + 1;
      break;
    case Qt::Key_PageUp:
      target = current - page;
      break;
    case Qt::Key_PageDown:
      target = current < 0 ? page : current + page;
      break;
    case Qt::Key_Home:
      target = 0;
      break;
    case Qt::Key_End:
      target = count - 1;
      break;
    case Qt::Key_Left:
      horizontalScrollBar()->triggerAction(
          QAbstractSlider::SliderSingleStepSub);
      event->accept();
      return;
    case Qt::Key_Right:
      horizontalScrollBar()->triggerAction(
          QAbstractSlider::SliderSingleStepAdd);
      event->accept();
      return;
    case Qt::Key_F10:
      if (event->modifiers() == Qt::ShiftModifier) {
        emit MenuRequested(KeyboardMenuPoint());
        event->accept();
        return;
      }
      [[fallthrough]];
    default:
      if ((event->modifiers() &
           (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) == 0 &&
          TypeAhead(event->text())) {
        event->accept();
      } else {
        QAbstractScrollArea::keyPressEvent(event);
      }
      return;
  }
  event->accept();
  if (count == 0) return;
  Select(std::clamp<ItemList::Index>(target, 0, count - 1));
}

void ListBox::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
  // A window that becomes active again tells where its focus is itself
  // (NotifyFocusAgain), after its activation.
  if (event->reason() == Qt::ActiveWindowFocusReason) return;
  // Qt tells assistive technology that the box has the focus only once this
  // handler has returned. The selected item is told of after that, so that
  // a reader names the list first and then stays on the item.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (hasFocus()) NotifyFocusIn(*this);
      },
      Qt::QueuedConnection);
}

void ListBox::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

bool ListBox::TypeAhead(const QString& text) {
  if (text.isEmpty() || !std::all_of(text.begin(), text.end(),
                                     [](QChar c) { return c.isPrint(); })) {
    return false;
  }
  const bool goes_on =
      typed_at_.isValid() &&
      typed_at_.elapsed() < QApplication::keyboardInputInterval();
  typed_at_.start();
  typed_ = goes_on ? typed_ + text : text;
  // A new search, and one letter typed over and over, look past the
  // selected item; more letters first try the selected item itself.
  const bool one_letter = typed_.count(typed_[0]) == typed_.size();
  const ItemList::Index selected = items_.ListIndex();
  const ItemList::Index from =
      one_letter ? selected + 1 : std::max<ItemList::Index>(selected, 0);
  const ItemList::Index found =
      FindStartingWith(items_, one_letter ? typed_.left(1) : typed_, from);
  if (found >= 0) Select(found);
  return true;
}

QPoint ListBox::KeyboardMenuPoint() {
  const ItemList::Index selected = items_.ListIndex();
  EnsureVisible(selected);
  const QRect row =
      selected >= 0 ? ItemRect(selected) : QRect(0, 0, 1, RowHeight());
  return viewport()->mapToGlobal(
      QPoint(row.left() + RowHeight(), row.center().y()));
}

void ListBox::contextMenuEvent(QContextMenuEvent* event) {
  // The Menu key comes with the middle of the box as its place.
  emit MenuRequested(event->reason() == QContextMenuEvent::Keyboard
                         ? KeyboardMenuPoint()
                         : event->globalPos());
  event->accept();
}

void ListBox::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange ||
      event->type() == QEvent::StyleChange) {
    UpdateScrollBars();
    viewport()->update();
  }
}

std::function<int(const ItemList&)> ExtentMeasure(const ListBox& list) {
  // Measured for the list's own screen, as its painter draws.
  const QFont font(list.font(), &list);
  const int scroll_bar =
      list.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
  return [font, scroll_bar](const ItemList& items) {
    return ComputeHorizontalExtent(items, font, scroll_bar);
  };
}

void SetHorizontalExtent(ListBox& list) {
  list.SetHorizontalExtent(ExtentMeasure(list)(list.Items()));
}

}  // namespace karvello
