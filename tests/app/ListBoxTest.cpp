#include "app/ListBox.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QImage>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QToolTip>
#include <QWheelEvent>
#include <QtTest>
#include <cmath>
#include <memory>
#include <string>

#include "listfiles/HorizontalList1.h"

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
  }

  void doubleClickIsRaisedOnItemRowsOnly() {
    auto box = ShownBox(3);
    QSignalSpy spy(box.get(), &ListBox::DblClick);
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 1));
    QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 1));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(box->Items().ListIndex(), 1);

    const QPoint below(20, box->ItemRect(2).bottom() + 10);
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, below);
    QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(box->Items().ListIndex(), 1);

    // What the window does on DblClick: remove the selected item. The box
    // must then show the shorter list without a stale row.
    connect(box.get(), &ListBox::DblClick, box.get(), [&box] {
      box->Items().RemoveItem(box->Items().ListIndex());
      box->ItemsChanged();
    });
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 2));
    QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, Centre(*box, 2));
    QCOMPARE(box->Items().ListCount(), 2);
    QCOMPARE(box->Items().ListIndex(), -1);
    QVERIFY(box->ItemRect(2).isEmpty());
    QVERIFY(!box->viewport()->grab().isNull());
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
    QWidget window;
    SetHorizontalExtent(window, *box);
    QCOMPARE(box->HorizontalExtent(), 0);

    box->Items().AddItem("W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W");
    box->Items().AddItem("short");
    box->ItemsChanged();
    SetHorizontalExtent(window, *box);
    const int bar = box->style()->pixelMetric(QStyle::PM_ScrollBarExtent,
                                              nullptr, box.get());
    const QFontMetricsF metrics(box->font());
    const int widest = static_cast<int>(std::ceil(
        metrics.horizontalAdvance("W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W&W")));
    QCOMPARE(box->HorizontalExtent(), widest + bar);
    QCOMPARE(box->horizontalScrollBar()->maximum(),
             widest + bar - box->viewport()->width());
  }

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
    SetHorizontalExtent(*box, *box);
    QVERIFY(box->HorizontalExtent() > 100000);
    QVERIFY(!box->viewport()->grab().isNull());
    box->horizontalScrollBar()->setValue(box->horizontalScrollBar()->maximum());
    QVERIFY(!box->viewport()->grab().isNull());
  }

  void tooltipShowsOverTheItems() {
    auto box = ShownBox(3);
    box->setToolTip("Double click list item to remove it.");
    const QPoint at = Centre(*box, 1);
    QHelpEvent help(QEvent::ToolTip, at, box->viewport()->mapToGlobal(at));
    QApplication::sendEvent(box->viewport(), &help);
    QTRY_COMPARE(QToolTip::text(),
                 QString("Double click list item to remove it."));
    QToolTip::hideText();
  }
};

}  // namespace
}  // namespace karvello

QTEST_MAIN(karvello::ListBoxTest)
#include "ListBoxTest.moc"
