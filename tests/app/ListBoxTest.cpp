#include "app/ListBox.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QImage>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtTest>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/extent/HorizontalList1.h"
#include "app/internal/ListBoxAccessibleEvents.h"

namespace karvello {
namespace {

std::unique_ptr<ListBox> ShownBox(int items, int width = 200,
                                  int height = 160) {
  auto box = std::make_unique<ListBox>();
  box->setFont(QFont("Arial", 9));
  box->resize(width, height);
  for (int i = 0; i < items; ++i) {
    box->Items().AddItem("item " + std::to_string(i));
  }
  box->ItemsChanged();
  box->show();
  box->activateWindow();
  box->setFocus();
  return box;
}

QPoint Centre(const ListBox& box, ItemList::Index i) {
  return box.ItemRect(i).center();
}

void Press(ListBox& box, Qt::Key key) { QTest::keyClick(&box, key); }

// Whether row `i` is painted in the selection colour, looked at near the
// right edge where no text of these short items reaches.
bool PaintedSelected(ListBox& box, ItemList::Index i) {
  const QImage image = box.viewport()->grab().toImage();
  const QRect row = box.ItemRect(i);
  const QPoint at(row.right() - 3, row.center().y());
  const qreal ratio = image.devicePixelRatio();
  return image.pixelColor(QPoint(at.x() * ratio, at.y() * ratio)) ==
         box.palette().color(QPalette::Highlight);
}

// The rows whose pixels differ between two pictures of the viewport.
std::set<int> DifferingRows(const QImage& a, const QImage& b, int row_height) {
  std::set<int> rows;
  const qreal ratio = a.devicePixelRatio();
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        rows.insert(static_cast<int>(y / ratio) / row_height);
        break;
      }
    }
  }
  return rows;
}

// A shown, active window holding a button and below it a list box of
// `items` items, with the focus on the button.
struct ButtonThenBox {
  explicit ButtonThenBox(int items) {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(button);
    layout->addWidget(box);
    for (int i = 0; i < items; ++i) {
      box->Items().AddItem("item " + std::to_string(i));
    }
    box->ItemsChanged();
    window.resize(200, 220);
    window.show();
    window.activateWindow();
    active = QTest::qWaitForWindowActive(&window);
    button->setFocus();
  }
  QWidget window;
  QPushButton* button = new QPushButton("before");
  ListBox* box = new ListBox;
  bool active = false;
};

// The accessibility events that list boxes sent while it lives.
struct SentEvent {
  QAccessible::Event type;
  int child;
};
std::vector<SentEvent>* sent_events = nullptr;
class CaughtEvents {
 public:
  CaughtEvents() {
    sent_events = &events_;
    internal::SetAccessibleEventSink([](QAccessibleEvent* event) {
      sent_events->push_back({event->type(), event->child()});
    });
  }
  ~CaughtEvents() {
    internal::SetAccessibleEventSink(nullptr);
    sent_events = nullptr;
  }
  // The events of `type` since the last call, by child.
  std::vector<int> Take(QAccessible::Event type) {
    std::vector<int> children;
    for (const SentEvent& event : events_) {
      if (event.type == type) children.push_back(event.child);
    }
    return children;
  }
  void Clear() { events_.clear(); }

 private:
  std::vector<SentEvent> events_;
};

class ListBoxTest : public QObject {
  Q_OBJECT

 private slots:
  void clickAndDragSelectAndTheBlankAreaKeepsTheSelection() {
    auto box = ShownBox(8);
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 5));
    QCOMPARE(box->Items().ListIndex(), 5);
    QVERIFY(PaintedSelected(*box, 5));
    QVERIFY(!PaintedSelected(*box, 4));

    const QPoint below(20, box->ItemRect(7).bottom() + 10);
    QVERIFY(below.y() < box->viewport()->height());
    QCOMPARE(box->IndexAt(below), -1);
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(box->Items().ListIndex(), 5);

    // The selection is the item list's: it follows its item.
    box->Items().RemoveItem(2);
    box->ItemsChanged();
    QCOMPARE(box->Items().ListIndex(), 4);
    QVERIFY(PaintedSelected(*box, 4));
    QVERIFY(!PaintedSelected(*box, 5));

    QTest::mousePress(box->viewport(), Qt::LeftButton, {}, Centre(*box, 1));
    const QPointF to = Centre(*box, 3);
    QMouseEvent move(QEvent::MouseMove, to, box->viewport()->mapToGlobal(to),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box->viewport(), &move);
    QTest::mouseRelease(box->viewport(), Qt::LeftButton, {}, to.toPoint());
    QCOMPARE(box->Items().ListIndex(), 3);
    // Kept from the widgets behind the box.
    QVERIFY(move.isAccepted());

    // No selection, no mark.
    box->Items().SetListIndex(-1);
    box->ItemsChanged();
    for (int i = 0; i < 7; ++i) QVERIFY2(!PaintedSelected(*box, i), "row");
  }

  void keysMoveTheSelectionAndStopAtTheEnds() {
    auto box = ShownBox(100);
    const int rows = box->viewport()->height() / box->RowHeight();
    QVERIFY(rows >= 3 && rows < 100);

    Press(*box, Qt::Key_Up);
    QCOMPARE(box->Items().ListIndex(), 0);
    Press(*box, Qt::Key_Up);
    QCOMPARE(box->Items().ListIndex(), 0);
    Press(*box, Qt::Key_Down);
    QCOMPARE(box->Items().ListIndex(), 1);

    Press(*box, Qt::Key_End);
    QCOMPARE(box->Items().ListIndex(), 99);
    QCOMPARE(box->TopIndex(), 100 - rows);
    QVERIFY(box->viewport()->rect().contains(box->ItemRect(99)));
    Press(*box, Qt::Key_Down);
    QCOMPARE(box->Items().ListIndex(), 99);
    Press(*box, Qt::Key_PageDown);
    QCOMPARE(box->Items().ListIndex(), 99);

    Press(*box, Qt::Key_PageUp);
    QCOMPARE(box->Items().ListIndex(), 99 - (rows - 1));
    QCOMPARE(box->TopIndex(), 100 - rows);
    Press(*box, Qt::Key_Up);
    QCOMPARE(box->TopIndex(), 99 - rows);

    Press(*box, Qt::Key_Home);
    QCOMPARE(box->Items().ListIndex(), 0);
    QCOMPARE(box->TopIndex(), 0);
    Press(*box, Qt::Key_PageDown);
    QCOMPARE(box->Items().ListIndex(), rows - 1);
    QCOMPARE(box->TopIndex(), 0);

    auto empty = ShownBox(0);
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_End, Qt::Key_PageUp}) {
      Press(*empty, key);
    }
    QCOMPARE(empty->Items().ListIndex(), -1);
  }

  void horizontalScrollBarFollowsTheExtentAndOutlivesChanges() {
    auto box = ShownBox(3, 200, 160);
    QScrollBar* bar = box->horizontalScrollBar();
    box->SetHorizontalExtent(150);
    QCOMPARE(bar->maximum(), 0);
    QVERIFY(!bar->isVisible());

    box->SetHorizontalExtent(600);
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 600 - box->viewport()->width());
    Press(*box, Qt::Key_Right);
    QVERIFY(bar->value() > 0);
    Press(*box, Qt::Key_Left);
    QCOMPARE(bar->value(), 0);

    box->Items().RemoveItem(0);
    box->ItemsChanged();
    box->Items().Clear();
    box->ItemsChanged();
    QCOMPARE(box->HorizontalExtent(), 600);
    QCOMPARE(bar->maximum(), 600 - box->viewport()->width());
    QTRY_VERIFY(bar->isVisible());

    // The scroll bar's allowance: an extent that only a vertical scroll bar
    // would exceed shows no horizontal one.
    box->SetHorizontalExtent(box->viewport()->width());
    QCOMPARE(bar->maximum(), 0);
  }

  void extentOfTheWidestItemInTheListsFont() {
    auto box = ShownBox(0);
    SetHorizontalExtent(*box);
    QCOMPARE(box->HorizontalExtent(), 0);

    box->Items().AddItem("W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W");
    box->Items().AddItem("short");
    box->ItemsChanged();
    SetHorizontalExtent(*box);
    const int bar = box->style()->pixelMetric(QStyle::PM_ScrollBarExtent,
                                              nullptr, box.get());
    const QFontMetricsF metrics(box->font());
    const int widest = static_cast<int>(std::ceil(
        metrics.horizontalAdvance("W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W")));
    QCOMPARE(box->HorizontalExtent(), widest + bar);
    QCOMPARE(box->horizontalScrollBar()->maximum(),
             widest + bar - box->viewport()->width());
  }

  // The view, and what it tells accessibility tools, hold only the rows
  // shown.
  void scrollsThroughAMillionItems() {
    auto box = std::make_unique<ListBox>();
    box->resize(200, 160);
    box->Items().Reserve(1000000, 1000000);
    for (int i = 0; i < 1000000; ++i) box->Items().AddItem("x");
    box->ItemsChanged();
    box->show();
    box->setFocus();
    const int rows = box->viewport()->height() / box->RowHeight();
    QCOMPARE(box->verticalScrollBar()->maximum(), 1000000 - rows);
    QAccessibleInterface* list =
        QAccessible::queryAccessibleInterface(box.get());
    QCOMPARE(list->tableInterface()->rowCount(), 1000000);
    QVERIFY(list->childCount() == rows || list->childCount() == rows + 1);

    QWheelEvent wheel(QPointF(10, 10),
                      box->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(box->viewport(), &wheel);
    QVERIFY(box->TopIndex() > 0);

    Press(*box, Qt::Key_End);
    QCOMPARE(box->TopIndex(), 1000000 - rows);
    QVERIFY(box->viewport()->rect().contains(box->ItemRect(999999)));
    QCOMPARE(box->IndexAt(Centre(*box, 999999)), 999999);

    // Removing from the end clamps the view to the new range.
    for (int i = 0; i < 10; ++i) {
      box->Items().RemoveItem(box->Items().ListCount() - 1);
    }
    box->ItemsChanged();
    QCOMPARE(box->verticalScrollBar()->maximum(), 999990 - rows);
    QCOMPARE(box->TopIndex(), 999990 - rows);
  }

  void paintsItemsOfAnyBytes() {
    auto box = ShownBox(0);
    for (const std::string& item :
         {std::string("nul\0inside", 10), std::string("\xFF\xFE\xC3"),
          std::string("tab\there\nnew line\r"), std::string("c1 \xC2\x9C end"),
          std::string("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x98\x80"),
          std::string(100000, 'w'), std::string()}) {
      box->Items().AddItem(item);
    }
    box->ItemsChanged();
    SetHorizontalExtent(*box);
    QVERIFY(box->HorizontalExtent() > 100000);
    QVERIFY(!box->viewport()->grab().isNull());
    box->horizontalScrollBar()->setValue(box->horizontalScrollBar()->maximum());
    QVERIFY(!box->viewport()->grab().isNull());
  }

  void downKeyScrollsOneRowAndShowsTheNewRowWhole() {
    // Heights that leave part of a row below the last whole one, and none;
    // with and without a horizontal scroll bar taking room.
    for (const int height : {160, 163, 171}) {
      for (const int extent : {0, 1000}) {
        auto box = ShownBox(40, 200, height);
        box->SetHorizontalExtent(extent);
        QTRY_COMPARE(box->horizontalScrollBar()->isVisible(), extent > 0);
        const int viewport_height = box->viewport()->height();
        Press(*box, Qt::Key_Home);
        int top = 0;
        for (int i = 1; i < 40; ++i) {
          const bool was_whole = box->ItemRect(i).bottom() < viewport_height;
          Press(*box, Qt::Key_Down);
          const QRect row = box->ItemRect(i);
          const QString where = QString("row %1, height %2, extent %3")
                                    .arg(i)
                                    .arg(height)
                                    .arg(extent);
          QVERIFY2(row.top() >= 0 && row.bottom() < viewport_height,
                   qPrintable(where));
          if (was_whole) {
            QVERIFY2(box->TopIndex() == top, qPrintable(where));
          } else {
            // Exactly one row scrolled, and the row is the bottom one.
            QVERIFY2(box->TopIndex() == top + 1, qPrintable(where));
            QVERIFY2(row.bottom() + box->RowHeight() >= viewport_height,
                     qPrintable(where));
          }
          top = static_cast<int>(box->TopIndex());
          QVERIFY2(PaintedSelected(*box, i), qPrintable(where));
        }
        QVERIFY(top > 0);
      }
    }
  }

  void tabShowsAFocusFrameWithoutMovingAnything() {
    ButtonThenBox shown(3);
    QVERIFY(shown.active);
    QWidget& window = shown.window;
    ListBox* box = shown.box;
    const QRect geometry = box->geometry();
    const QRect viewport = box->viewport()->geometry();
    const QImage unfocused = box->viewport()->grab().toImage();

    QTest::keyClick(&window, Qt::Key_Tab);
    QTRY_VERIFY(box->hasFocus());
    const QImage focused = box->viewport()->grab().toImage();
    // Nothing selected: the frame marks the top row, and only it.
    QCOMPARE(DifferingRows(unfocused, focused, box->RowHeight()),
             std::set<int>{0});
    QCOMPARE(box->geometry(), geometry);
    QCOMPARE(box->viewport()->geometry(), viewport);

    // The frame follows the selection, and leaves with the focus.
    box->Items().SetListIndex(2);
    box->ItemsChanged();
    const QImage selected_focused = box->viewport()->grab().toImage();
    QTest::keyClick(&window, Qt::Key_Tab);
    QTRY_VERIFY(!box->hasFocus());
    const QImage selected_unfocused = box->viewport()->grab().toImage();
    QCOMPARE(
        DifferingRows(selected_unfocused, selected_focused, box->RowHeight()),
        std::set<int>{2});
    QCOMPARE(DifferingRows(unfocused, box->viewport()->grab().toImage(),
                           box->RowHeight()),
             std::set<int>{2});
  }

  void accessibleListOfTheShownRows() {
    QGroupBox frame("List 1");
    auto* box = new ListBox(&frame);
    box->setFont(QFont("Arial", 9));
    box->setGeometry(8, 20, 200, 160);
    for (int i = 0; i < 100; ++i) {
      box->Items().AddItem("item " + std::to_string(i));
    }
    box->Items().AddItem("caf\xE9");
    box->ItemsChanged();
    frame.resize(220, 200);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    box->setFocus();

    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(box);
    QVERIFY(list != nullptr);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->text(QAccessible::Name), QString("List 1"));
    QAccessibleTableInterface* table = list->tableInterface();
    QVERIFY(table != nullptr);
    QCOMPARE(table->rowCount(), 101);
    QCOMPARE(table->columnCount(), 1);

    // The children are the rows that show, in part or whole.
    int shown = 0;
    while (box->ItemRect(shown).intersects(box->viewport()->rect())) ++shown;
    QVERIFY(shown >= 3 && shown < 100);
    QCOMPARE(list->childCount(), shown);
    QCOMPARE(list->child(shown), nullptr);
    QCOMPARE(list->child(-1), nullptr);
    for (int row = 0; row < shown; ++row) {
      QAccessibleInterface* child = list->child(row);
      QVERIFY(child != nullptr);
      QCOMPARE(child->role(), QAccessible::ListItem);
      QCOMPARE(child->text(QAccessible::Name), QString("item %1").arg(row));
      QCOMPARE(child->parent(), list);
      QCOMPARE(list->indexOfChild(child), row);
      // The last row may show in part; its rectangle is the part shown.
      const QRect rect = child->rect();
      QCOMPARE(rect.topLeft(),
               box->viewport()->mapToGlobal(box->ItemRect(row).topLeft()));
      QCOMPARE(rect.width(), box->viewport()->width());
      QVERIFY(rect.height() > 0 && rect.height() <= box->RowHeight());
      QVERIFY(!child->state().selected);
    }
    const QPoint row2 = box->viewport()->mapToGlobal(Centre(*box, 2));
    QCOMPARE(list->childAt(row2.x(), row2.y()), list->child(2));

    // Selecting, by click and through the table interface.
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 2));
    QCOMPARE(table->selectedRows(), QList<int>{2});
    QCOMPARE(table->selectedCells(),
             QList<QAccessibleInterface*>{list->child(2)});
    QVERIFY(list->child(2)->state().selected);
    QVERIFY(list->child(2)->state().focused);
    QVERIFY(!list->child(1)->state().selected);
    QCOMPARE(list->focusChild(), list->child(2));
    QVERIFY(table->selectRow(99));
    QCOMPARE(box->Items().ListIndex(), 99);
    QVERIFY(box->viewport()->rect().contains(box->ItemRect(99)));
    QVERIFY(!table->selectRow(101));
    QVERIFY(!table->unselectRow(98));
    QVERIFY(table->unselectRow(99));
    QCOMPARE(box->Items().ListIndex(), -1);
    QCOMPARE(table->selectedRows(), QList<int>{});

    // After scrolling, the rows describe the items now shown; an 8-bit item
    // reads as it is drawn.
    box->SetTopIndex(101);
    const int top = static_cast<int>(box->TopIndex());
    QCOMPARE(list->childCount(), 101 - top);
    QCOMPARE(list->child(0)->text(QAccessible::Name),
             QString("item %1").arg(top));
    QCOMPARE(list->child(100 - top)->text(QAccessible::Name),
             QString::fromUtf16(u"caf\u00E9"));
    QCOMPARE(table->cellAt(100, 0), list->child(100 - top));
    QCOMPARE(table->cellAt(0, 0), nullptr);
  }

  void accessibilityEventsFollowTheSelectionAndTheFocus() {
    CaughtEvents events;
    ButtonThenBox shown(50);
    QVERIFY(shown.active);
    QWidget& window = shown.window;
    QPushButton* button = shown.button;
    ListBox* box = shown.box;
    events.Clear();

    // Focus comes to the list itself while nothing is selected.
    QTest::keyClick(&window, Qt::Key_Tab);
    QTRY_VERIFY(box->hasFocus());
    QCOMPARE(events.Take(QAccessible::Focus), std::vector<int>{-1});
    events.Clear();

    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 2));
    QCOMPARE(events.Take(QAccessible::Selection), std::vector<int>{2});
    QCOMPARE(events.Take(QAccessible::Focus), std::vector<int>{2});
    events.Clear();
    Press(*box, Qt::Key_Down);
    QCOMPARE(events.Take(QAccessible::Selection), std::vector<int>{3});
    events.Clear();

    // Scrolling changes what the rows show; the selected row moves with it.
    Press(*box, Qt::Key_End);
    const int row = static_cast<int>(49 - box->TopIndex());
    QCOMPARE(events.Take(QAccessible::Selection), std::vector<int>{row});
    QVERIFY(!events.Take(QAccessible::VisibleDataChanged).empty());
    events.Clear();

    // A repaint with the selection where it was says nothing of it; a
    // change made through the item list is told at ItemsChanged.
    box->ItemsChanged();
    QVERIFY(events.Take(QAccessible::Selection).empty());
    box->Items().SetListIndex(-1);
    box->ItemsChanged();
    QCOMPARE(events.Take(QAccessible::SelectionRemove), std::vector<int>{-1});
    events.Clear();

    // The focus coming back lands on the selected row.
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 48));
    button->setFocus();
    events.Clear();
    box->setFocus(Qt::TabFocusReason);
    QCOMPARE(events.Take(QAccessible::Focus),
             std::vector<int>{static_cast<int>(48 - box->TopIndex())});
  }
};

}  // namespace
}  // namespace karvello

QTEST_MAIN(karvello::ListBoxTest)
#include "ListBoxTest.moc"
