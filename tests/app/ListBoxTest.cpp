#include "app/ListBox.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QImage>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtTest>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/internal/ListBoxAccessibleEvents.h"

namespace karvello {
namespace {

// A shown, active window holding a button and below it a list box of
// `items` items ("item 0" ...), with the focus on the box.
struct Shown {
  explicit Shown(int items, int height = 160) {
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(button);
    layout->addWidget(box);
    box->setFont(QFont("Arial", 9));
    box->setFixedSize(200, height);
    box->Items().Reserve(items, std::size_t(items) * 12);
    for (int i = 0; i < items; ++i) {
      box->Items().AddItem("item " + std::to_string(i));
    }
    box->ItemsChanged();
    window.show();
    window.activateWindow();
    active = QTest::qWaitForWindowActive(&window);
    box->setFocus();
  }
  void Press(Qt::Key key) { QTest::keyClick(box, key); }
  QPoint Centre(ItemList::Index i) const { return box->ItemRect(i).center(); }

  QWidget window;
  QPushButton* button = new QPushButton("before");
  ListBox* box = new ListBox;
  bool active = false;
};

// Whether row `i` is painted in the selection colour, looked at near the
// right edge where no text of these short items reaches.
bool PaintedSelected(ListBox& box, ItemList::Index i) {
  const QImage image = box.viewport()->grab().toImage();
  const QRect row = box.ItemRect(i);
  const qreal ratio = image.devicePixelRatio();
  return image.pixelColor(
             QPoint((row.right() - 3) * ratio, row.center().y() * ratio)) ==
         box.palette().color(QPalette::Highlight);
}

// The rows whose pixels differ between two pictures of the viewport.
std::set<int> DifferingRows(const QImage& a, const QImage& b, int row_height) {
  std::set<int> rows;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        rows.insert(static_cast<int>(y / a.devicePixelRatio()) / row_height);
        break;
      }
    }
  }
  return rows;
}

// The accessibility events that list boxes send meanwhile, "Type child".
QStringList* sent = nullptr;
struct CaughtEvents {
  CaughtEvents() {
    sent = &events;
    internal::SetAccessibleEventSink([](QAccessibleEvent* event) {
      static const QMap<QAccessible::Event, QString> kNames = {
          {QAccessible::Focus, "Focus"},
          {QAccessible::Selection, "Selection"},
          {QAccessible::SelectionRemove, "SelectionRemove"}};
      sent->append(kNames.value(event->type(), "Other") + " " +
                   QString::number(event->child()));
    });
  }
  ~CaughtEvents() { internal::SetAccessibleEventSink(nullptr); }
  QStringList Take() { return std::exchange(events, {}); }
  QStringList events;
};

class ListBoxTest : public QObject {
  Q_OBJECT

 private slots:
  void clicksSelectAndTheBlankAreaKeepsTheSelection() {
    Shown shown(8);
    ListBox& box = *shown.box;
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, shown.Centre(5));
    QCOMPARE(box.Items().ListIndex(), 5);
    QVERIFY(PaintedSelected(box, 5) && !PaintedSelected(box, 4));
    const QPoint below(20, box.ItemRect(7).bottom() + 10);
    QCOMPARE(box.IndexAt(below), -1);
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(box.Items().ListIndex(), 5);
    // The selection is the item list's: it follows its item.
    box.Items().RemoveItem(2);
    box.ItemsChanged();
    QVERIFY(PaintedSelected(box, 4) && !PaintedSelected(box, 5));
    // Dragging with the button down moves it along, kept from the widgets
    // behind the box.
    QTest::mousePress(box.viewport(), Qt::LeftButton, {}, shown.Centre(1));
    const QPointF to = shown.Centre(3);
    QMouseEvent move(QEvent::MouseMove, to, box.viewport()->mapToGlobal(to),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box.viewport(), &move);
    QTest::mouseRelease(box.viewport(), Qt::LeftButton, {}, to.toPoint());
    QCOMPARE(box.Items().ListIndex(), 3);
    QVERIFY(move.isAccepted());
    box.Select(-1);
    for (int i = 0; i < 7; ++i) QVERIFY(!PaintedSelected(box, i));
  }

  void keysMoveTheSelectionAndStopAtTheEnds() {
    Shown shown(100);
    ListBox& box = *shown.box;
    const int rows = box.viewport()->height() / box.RowHeight();
    auto press = [&](Qt::Key key, int index, int top) {
      shown.Press(key);
      QCOMPARE(box.Items().ListIndex(), index);
      QCOMPARE(box.TopIndex(), top);
    };
    press(Qt::Key_Up, 0, 0);
    press(Qt::Key_Up, 0, 0);
    press(Qt::Key_Down, 1, 0);
    press(Qt::Key_End, 99, 100 - rows);
    press(Qt::Key_Down, 99, 100 - rows);
    press(Qt::Key_PageDown, 99, 100 - rows);
    press(Qt::Key_PageUp, 100 - rows, 100 - rows);
    press(Qt::Key_Up, 99 - rows, 99 - rows);
    press(Qt::Key_Home, 0, 0);
    press(Qt::Key_PageDown, rows - 1, 0);
    Shown empty(0);
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_End, Qt::Key_A}) {
      empty.Press(key);
    }
    QCOMPARE(empty.box->Items().ListIndex(), -1);
  }

  void typingSelectsTheNextItemStartingWithIt() {
    Shown shown(0);
    ListBox& box = *shown.box;
    for (const char* item :
         {"apple", "Banana", "cherry", "avocado", "blueberry",
          "\xC3\x89"
          "clair",
          "\xE9t\xE9", "bx"}) {
      box.Items().AddItem(item);
    }
    box.ItemsChanged();
    auto type = [&](const char* text, bool goes_on, int selected) {
      QApplication::setKeyboardInputInterval(goes_on ? 100000 : 0);
      const QChar c = QString::fromUtf8(text)[0];
      QKeyEvent key(QEvent::KeyPress, c.toUpper().unicode(), Qt::NoModifier, c);
      QApplication::sendEvent(&box, &key);
      QCOMPARE(box.Items().ListIndex(), selected);
    };
    type("b", false, 1);  // case does not count
    type("b", true, 4);   // the same letter again steps on
    type("b", false, 7);  // and so does a new search, wrapping round
    type("a", false, 0);
    type("v", true, 3);  // "av"
    type("b", false, 4);
    type("x", true, 7);          // "bx": from the selected item on
    type("\xC3\xA9", false, 5);  // "é" finds UTF-8 "É" and 8-bit "é"
    type("\xC3\xA9", false, 6);
    type("q", false, 6);  // nothing starts with it: the selection stays
    QApplication::setKeyboardInputInterval(400);
  }

  void horizontalScrollBarFollowsTheExtentAndOutlivesChanges() {
    Shown shown(3);
    ListBox& box = *shown.box;
    QScrollBar* bar = box.horizontalScrollBar();
    box.SetHorizontalExtent(150);
    QCOMPARE(bar->maximum(), 0);
    box.SetHorizontalExtent(600);
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 600 - box.viewport()->width());
    shown.Press(Qt::Key_Right);
    QVERIFY(bar->value() > 0);
    shown.Press(Qt::Key_Left);
    QCOMPARE(bar->value(), 0);
    box.Items().Clear();
    box.ItemsChanged();
    QCOMPARE(box.HorizontalExtent(), 600);
    // An extent that only a vertical scroll bar would exceed shows none.
    box.SetHorizontalExtent(box.viewport()->width());
    QCOMPARE(bar->maximum(), 0);

    // The extent of the widest item as the box draws it, plus a bar.
    box.Items().AddItem("W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W");
    box.Items().AddItem("short");
    SetHorizontalExtent(box, box);
    const QFontMetricsF metrics(box.font());
    QCOMPARE(box.HorizontalExtent(),
             int(std::ceil(metrics.horizontalAdvance(
                 "W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W"))) +
                 box.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr,
                                          &box));
  }

  void downKeyScrollsOneRowAndShowsTheNewRowWhole() {
    // Heights that leave part of a row below the last whole one, and none;
    // with and without a horizontal scroll bar taking room.
    for (const int height : {160, 163, 171}) {
      for (const int extent : {0, 1000}) {
        Shown shown(40, height);
        ListBox& box = *shown.box;
        box.SetHorizontalExtent(extent);
        QTRY_COMPARE(box.horizontalScrollBar()->isVisible(), extent > 0);
        const int bottom = box.viewport()->height();
        shown.Press(Qt::Key_Home);
        for (int i = 1; i < 40; ++i) {
          const bool was_whole = box.ItemRect(i).bottom() < bottom;
          const ItemList::Index top = box.TopIndex();
          shown.Press(Qt::Key_Down);
          const QRect row = box.ItemRect(i);
          const QByteArray where = QString("row %1, height %2, extent %3")
                                       .arg(i)
                                       .arg(height)
                                       .arg(extent)
                                       .toLatin1();
          QVERIFY2(row.top() >= 0 && row.bottom() < bottom, where);
          // Exactly one row scrolled when the new row was cut off.
          QVERIFY2(box.TopIndex() == top + (was_whole ? 0 : 1), where);
          QVERIFY2(was_whole || row.bottom() + box.RowHeight() >= bottom,
                   where);
          QVERIFY2(PaintedSelected(box, i), where);
        }
      }
    }
  }

  void tabShowsAFocusFrameWithoutMovingAnything() {
    Shown shown(3);
    ListBox& box = *shown.box;
    shown.button->setFocus();
    const QRect geometry = box.viewport()->geometry();
    const QImage unfocused = box.viewport()->grab().toImage();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(box.hasFocus());
    // Nothing selected: the frame marks the top row, and only it.
    QCOMPARE(DifferingRows(unfocused, box.viewport()->grab().toImage(),
                           box.RowHeight()),
             std::set<int>{0});
    QCOMPARE(box.viewport()->geometry(), geometry);
    // The frame follows the selection, and leaves with the focus.
    box.Select(2);
    const QImage selected_focused = box.viewport()->grab().toImage();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(!box.hasFocus());
    QCOMPARE(DifferingRows(box.viewport()->grab().toImage(), selected_focused,
                           box.RowHeight()),
             std::set<int>{2});
  }

  // A million items: the view, and what assistive technology is told, cost
  // what the rows shown cost; every item has its place.
  void aMillionItems() {
    Shown shown(1'000'000);
    ListBox& box = *shown.box;
    box.Items().AddItem(std::string("nul\0in", 6));
    box.Items().AddItem("caf\xE9");  // reads as it is drawn
    box.Items().AddItem(std::string(100000, 'w'));
    box.ItemsChanged();
    SetHorizontalExtent(box, box);
    QVERIFY(box.HorizontalExtent() > 100000);
    const int rows = box.viewport()->height() / box.RowHeight();
    QCOMPARE(box.verticalScrollBar()->maximum(), 1'000'003 - rows);
    QWheelEvent wheel(QPointF(10, 10),
                      box.viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(box.viewport(), &wheel);
    QVERIFY(box.TopIndex() > 0);
    shown.Press(Qt::Key_End);
    QCOMPARE(box.IndexAt(shown.Centre(1'000'002)), 1'000'002);

    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&box);
    QCOMPARE(list->childCount(), 1'000'003);
    QCOMPARE(list->tableInterface()->rowCount(), 1'000'003);
    QCOMPARE(list->child(1'000'001)->text(QAccessible::Name),
             QString::fromUtf16(u"caf\u00E9"));
    QCOMPARE(list->indexOfChild(list->child(999'999)), 999'999);
    // Typing searches all of them at once.
    QTest::keyClick(&box, Qt::Key_N);
    QCOMPARE(box.Items().ListIndex(), 1'000'000);

    // Removing from the end clamps the view to the new range.
    for (int i = 0; i < 10; ++i) box.Items().RemoveItem(999'000);
    box.ItemsChanged();
    QCOMPARE(box.TopIndex(), 999'993 - rows);
    QCOMPARE(list->childCount(), 999'993);
  }

  void assistiveTechnologySeesEveryItem() {
    QGroupBox frame("List 1");
    auto* box = new ListBox(&frame);
    box->setGeometry(8, 20, 200, 100);
    for (int i = 0; i < 40; ++i)
      box->Items().AddItem("item " + std::to_string(i));
    box->ItemsChanged();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    box->setFocus();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(box);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->text(QAccessible::Name), "List 1");
    QCOMPARE(list->childCount(), 40);
    QCOMPARE(list->child(40), nullptr);
    // Item 10 of 40 is the tenth child, whether shown or not.
    QAccessibleInterface* tenth = list->child(9);
    QCOMPARE(tenth->role(), QAccessible::ListItem);
    QCOMPARE(tenth->text(QAccessible::Name), "item 9");
    QCOMPARE(tenth->parent(), list);
    QCOMPARE(list->indexOfChild(tenth), 9);
    QCOMPARE(tenth->tableCellInterface()->rowIndex(), 9);
    QVERIFY(tenth->state().offscreen && tenth->rect().isEmpty());
    const QPoint row2 = box->viewport()->mapToGlobal(box->ItemRect(2).center());
    QCOMPARE(list->childAt(row2.x(), row2.y()), list->child(2));
    QCOMPARE(list->child(2)->rect().topLeft(),
             box->viewport()->mapToGlobal(box->ItemRect(2).topLeft()));
    // Selecting, by click and through the table interface.
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {},
                      box->ItemRect(2).center());
    QAccessibleTableInterface* table = list->tableInterface();
    QCOMPARE(table->selectedRows(), QList<int>{2});
    QVERIFY(list->child(2)->state().selected &&
            list->child(2)->state().focused);
    QCOMPARE(list->focusChild(), list->child(2));
    QVERIFY(table->selectRow(9));
    QVERIFY(box->viewport()->rect().contains(box->ItemRect(9)));
    // A child stands for its item after scrolling.
    QCOMPARE(tenth->text(QAccessible::Name), "item 9");
    QVERIFY(tenth->state().selected && !tenth->state().offscreen);
    QVERIFY(!table->unselectRow(8));
    QVERIFY(table->unselectRow(9));
    QCOMPARE(table->selectedRows(), QList<int>{});
  }

  void eventsNameTheItemAndFollowTheFocus() {
    CaughtEvents events;
    Shown shown(50);
    ListBox& box = *shown.box;
    shown.button->setFocus();
    events.Take();
    // The focus comes to the list itself while nothing is selected.
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(box.hasFocus());
    QCOMPARE(events.Take(), QStringList{"Focus -1"});
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, shown.Centre(2));
    QCOMPARE(events.Take(), (QStringList{"Selection 2", "Focus 2"}));
    // After scrolling, the events still name the item, not its row.
    shown.Press(Qt::Key_End);
    QCOMPARE(events.Take(), (QStringList{"Selection 49", "Focus 49"}));
    // A repaint says nothing; without the focus, a move is no focus event.
    box.ItemsChanged();
    shown.button->setFocus();
    events.Take();
    box.Select(48);
    box.Items().SetListIndex(-1);
    box.ItemsChanged();
    QCOMPARE(events.Take(),
             (QStringList{"Selection 48", "SelectionRemove -1"}));
    // The focus coming back lands on the selected item.
    box.Select(47);
    events.Take();
    box.setFocus(Qt::TabFocusReason);
    QCOMPARE(events.Take(), QStringList{"Focus 47"});
  }
};

}  // namespace
}  // namespace karvello

QTEST_MAIN(karvello::ListBoxTest)
#include "ListBoxTest.moc"
