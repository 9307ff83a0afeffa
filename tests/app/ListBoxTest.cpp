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
#include <string>

#include "app/internal/ListBoxAccessibleEvents.h"

namespace karvello {
namespace {

// A shown, active window holding a button and, below it in a frame "List
// 1", a list box of `items` items ("item 0" ...), with the focus on the box.
struct Shown {
  explicit Shown(int items, int height = 160) {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(button);
    layout->addWidget(frame);
    (new QVBoxLayout(frame))->addWidget(box);
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
  void Click(ItemList::Index i) {
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(i));
  }
  QPoint Centre(ItemList::Index i) const { return box->ItemRect(i).center(); }
  QImage Picture() const { return box->viewport()->grab().toImage(); }
  // The rows painted in the selection colour, or the rows whose left edge
  // (where a focus frame shows) differs from `other`'s, as "2 5".
  QString Rows(const QImage& other = {}) const {
    const QImage image = Picture();
    const double ratio = image.devicePixelRatio();
    QStringList rows;
    for (int y = 0; y < image.height(); ++y) {
      const QString row = QString::number(int(y / ratio) / box->RowHeight());
      if (rows.contains(row)) continue;
      if (other.isNull() ? image.pixelColor(image.width() - 4, y) ==
                               box->palette().color(QPalette::Highlight)
                         : image.pixel(1, y) != other.pixel(1, y)) {
        rows << row;
      }
    }
    return rows.join(' ');
  }

  QWidget window;
  QPushButton* button = new QPushButton("before");
  QGroupBox* frame = new QGroupBox("List 1");
  ListBox* box = new ListBox;
  bool active = false;
};

// The accessibility events that list boxes send, as "Type child".
QStringList* sent = nullptr;
struct CaughtEvents {
  CaughtEvents() {
    sent = &events;
    internal::SetAccessibleEventSink([](QAccessibleEvent* event) {
      const QAccessible::Event type = event->type();
      sent->append(QString(type == QAccessible::Focus       ? "Focus"
                           : type == QAccessible::Selection ? "Selection"
                           : type == QAccessible::SelectionRemove
                               ? "SelectionRemove"
                               : "Other") +
                   " " + QString::number(event->child()));
    });
  }
  ~CaughtEvents() { internal::SetAccessibleEventSink(nullptr); }
  QString Take() {
    QCoreApplication::processEvents();  // what the box sends after a change
    return std::exchange(events, {}).join(", ");
  }
  QStringList events;
};

class ListBoxTest : public QObject {
  Q_OBJECT

 private slots:
  void clicksSelectAndTheBlankAreaKeepsTheSelection() {
    Shown shown(8);
    ListBox& box = *shown.box;
    shown.Click(5);
    QCOMPARE(shown.Rows(), "5");
    const QPoint below(20, box.ItemRect(7).bottom() + 10);
    QCOMPARE(box.IndexAt(below), -1);
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, below);
    // The selection is the item list's: it follows its item.
    box.Items().RemoveItem(2);
    box.ItemsChanged();
    QCOMPARE(shown.Rows(), "4");
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
    QCOMPARE(shown.Rows(), "");
  }

  void keysMoveTheSelectionAndScrollItWholeIntoView() {
    // Heights that leave part of a row below the last whole one, and none;
    // with and without a horizontal scroll bar taking room.
    for (const int height : {160, 163, 171}) {
      for (const int extent : {0, 1000}) {
        Shown shown(100, height);
        ListBox& box = *shown.box;
        box.SetHorizontalExtent(extent);
        QTRY_COMPARE(box.horizontalScrollBar()->isVisible(), extent > 0);
        const int rows = box.viewport()->height() / box.RowHeight();
        QString trail;
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_End,
                            Qt::Key_Down, Qt::Key_PageDown, Qt::Key_PageUp,
                            Qt::Key_Up, Qt::Key_Home, Qt::Key_PageDown}) {
          shown.Press(key);
          trail += QStringLiteral("%1/%2 ")
                       .arg(box.Items().ListIndex())
                       .arg(box.TopIndex());
        }
        const int last = 100 - rows;
        QCOMPARE(trail, QStringLiteral("0/0 0/0 1/0 99/%1 99/%1 99/%1 %1/%1 "
                                       "%2/%2 0/0 %3/0 ")
                            .arg(last)
                            .arg(last - 1)
                            .arg(rows - 1));
        // Down from the top scrolls exactly one row once it must, and the
        // new row shows whole and selected.
        shown.Press(Qt::Key_Home);
        for (int i = 1; i < 40; ++i) {
          const ItemList::Index top = box.TopIndex();
          shown.Press(Qt::Key_Down);
          const QRect row = box.ItemRect(i);
          QVERIFY(row.top() >= 0 && row.bottom() < box.viewport()->height());
          QVERIFY(box.TopIndex() == top ||
                  (box.TopIndex() == top + 1 &&
                   row.bottom() + box.RowHeight() >= box.viewport()->height()));
        }
        QCOMPARE(shown.Rows(), QString::number(39 - box.TopIndex()));
      }
    }
    Shown empty(0);
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_End, Qt::Key_A}) empty.Press(key);
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
    QString trail;
    // Keys typed in quick succession ("+") make one search; the same
    // letter again steps on; case does not count; "é" finds the UTF-8 "É"
    // and the 8-bit "é"; nothing starts with "q".
    for (const QString typed :
         {"b", "+b", "b", "a", "+v", "b", "+x", "é", "é", "q"}) {
      QApplication::setKeyboardInputInterval(typed.startsWith('+') ? 100000
                                                                   : 0);
      const QChar c = typed.back();
      QKeyEvent key(QEvent::KeyPress, c.toUpper().unicode(), Qt::NoModifier, c);
      QApplication::sendEvent(&box, &key);
      trail += QString::number(box.Items().ListIndex());
    }
    QCOMPARE(trail, "1470347566");
  }

  void horizontalScrollBarFollowsTheExtentAndOutlivesChanges() {
    Shown shown(3);
    ListBox& box = *shown.box;
    QScrollBar* bar = box.horizontalScrollBar();
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
    const char* wide = "W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W";
    box.Items().AddItem(wide);
    box.Items().AddItem("short");
    SetHorizontalExtent(box);
    QCOMPARE(box.HorizontalExtent(),
             int(std::ceil(QFontMetricsF(box.font()).horizontalAdvance(wide))) +
                 box.style()->pixelMetric(QStyle::PM_ScrollBarExtent));
  }

  void tabShowsAFocusFrameWithoutMovingAnything() {
    Shown shown(3);
    ListBox& box = *shown.box;
    shown.button->setFocus();
    const QRect geometry = box.viewport()->geometry();
    const QImage unfocused = shown.Picture();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(box.hasFocus());
    // Nothing selected: the frame marks the top row, and only it.
    QCOMPARE(shown.Rows(unfocused), "0");
    QCOMPARE(box.viewport()->geometry(), geometry);
    // The frame follows the selection, and leaves with the focus.
    box.Select(2);
    const QImage selected = shown.Picture();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(!box.hasFocus());
    QCOMPARE(shown.Rows(selected), "2");
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
    SetHorizontalExtent(box);
    QVERIFY(box.HorizontalExtent() > 100000);
    const int rows = box.viewport()->height() / box.RowHeight();
    QCOMPARE(box.verticalScrollBar()->maximum(), 1'000'003 - rows);
    QWheelEvent wheel(QPointF(10, 10), box.viewport()->mapToGlobal(QPoint()),
                      {}, {0, -120}, {}, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box.viewport(), &wheel);
    QVERIFY(box.TopIndex() > 0);
    shown.Press(Qt::Key_End);
    QCOMPARE(box.IndexAt(shown.Centre(1'000'002)), 1'000'002);
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&box);
    QCOMPARE(list->childCount(), 1'000'003);
    QCOMPARE(list->tableInterface()->rowCount(), 1'000'003);
    QCOMPARE(list->child(1'000'001)->text(QAccessible::Name), "caf\u00E9");
    QCOMPARE(list->indexOfChild(list->child(999'999)), 999'999);
    // Typing searches them all at once.
    shown.Press(Qt::Key_N);
    QCOMPARE(box.Items().ListIndex(), 1'000'000);
    // Removing clamps the view to the new range.
    for (int i = 0; i < 10; ++i) box.Items().RemoveItem(999'000);
    box.ItemsChanged();
    QCOMPARE(box.TopIndex(), 999'993 - rows);
    QCOMPARE(list->childCount(), 999'993);
  }

  void tabbingInFocusesTheItemAfterTheList() {
    // Qt tells assistive technology that the list has the focus as the Tab
    // ends; the selected item's focus must come after that, or a reader
    // ends up on the list. On a real X server AsAUser.py hears the order.
    CaughtEvents events;
    Shown shown(40);
    shown.box->Select(14);
    shown.button->setFocus();
    events.Take();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QVERIFY(shown.box->hasFocus());
    QCOMPARE(events.events.join(", "), "");
    QCOMPARE(events.Take(), "Focus 14");
  }

  void assistiveTechnologySeesEveryItem() {
    CaughtEvents events;
    Shown shown(40, 100);
    ListBox& box = *shown.box;
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&box);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->text(QAccessible::Name), "List 1");
    QCOMPARE(list->childCount(), 40);
    QCOMPARE(list->child(40), nullptr);
    // Item 10 of 40 is the tenth child, whether it shows or not.
    QAccessibleInterface* tenth = list->child(9);
    QCOMPARE(tenth->role(), QAccessible::ListItem);
    QCOMPARE(tenth->text(QAccessible::Name), "item 9");
    QCOMPARE(tenth->parent(), list);
    QCOMPARE(list->indexOfChild(tenth), 9);
    QCOMPARE(tenth->tableCellInterface()->rowIndex(), 9);
    QVERIFY(tenth->state().offscreen && tenth->rect().isEmpty());
    const QPoint row2 = box.viewport()->mapToGlobal(shown.Centre(2));
    QCOMPARE(list->childAt(row2.x(), row2.y()), list->child(2));
    QCOMPARE(list->child(2)->rect().center(), row2);
    // The focus comes to the list itself while nothing is selected: the
    // box adds nothing to Qt's own event.
    shown.button->setFocus();
    events.Take();
    QTest::keyClick(&shown.window, Qt::Key_Tab);
    QTRY_VERIFY(box.hasFocus());
    QCOMPARE(events.Take(), "");
    // Selecting, by click and through the table interface; after
    // scrolling, a child and the events name the same item, not its row.
    shown.Click(2);
    QAccessibleTableInterface* table = list->tableInterface();
    QCOMPARE(table->selectedRows(), QList<int>{2});
    QVERIFY(list->child(2)->state().selected &&
            list->child(2)->state().focused);
    QCOMPARE(list->focusChild(), list->child(2));
    QVERIFY(table->selectRow(9));
    QVERIFY(box.viewport()->rect().contains(box.ItemRect(9)));
    QCOMPARE(tenth->text(QAccessible::Name), "item 9");
    QVERIFY(tenth->state().selected && !tenth->state().offscreen);
    QCOMPARE(events.Take(), "Selection 2, Focus 2, Selection 9, Focus 9");
    QVERIFY(!table->unselectRow(8) && table->unselectRow(9));
    QCOMPARE(table->selectedRows(), QList<int>{});
    // A repaint says nothing; without the focus, a move is no focus event;
    // the focus coming back lands on the selected item.
    box.ItemsChanged();
    shown.button->setFocus();
    box.Select(38);
    box.Items().SetListIndex(-1);
    box.ItemsChanged();
    box.Select(37);
    box.setFocus(Qt::TabFocusReason);
    QCOMPARE(events.Take(),
             "SelectionRemove -1, Selection 38, SelectionRemove "
             "-1, Selection 37, Focus 37");
  }
};

}  // namespace
}  // namespace karvello

QTEST_MAIN(karvello::ListBoxTest)
#include "ListBoxTest.moc"
