// The real main window, driven through its buttons and lists with every
// dialog scripted.

// Mouse events go through the platform layer, as real ones do: moves
// without a button then reach the widget under the pointer.
#define QTEST_QPA_MOUSE_HANDLING
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>
#include <stdexcept>
#include <string>

#include "ScriptedDialogs.h"
#include "app/CenterFormModule.h"
#include "app/FilePaths.h"
#include "app/Form1.h"

using karvello::FileDialogRequest;
using karvello::Form1;
using karvello::ListBox;
using karvello::ScriptedDialogs;

namespace {

QStringList Items(const ListBox& list) {
  QStringList items;
  for (karvello::ItemList::Index i = 0; i < list.Items().ListCount(); ++i) {
    items << QString::fromStdString(std::string(list.Items().List(i)));
  }
  return items;
}

void Fill(ListBox& list, const QStringList& items) {
  list.Items().Clear();
  for (const QString& item : items) list.Items().AddItem(item.toStdString());
  list.ItemsChanged();
}

std::string Bytes(const QString& path) { return karvello::PathBytes(path); }

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
  return file.readAll();
}

// What a user sees of a list, and what undo must give back.
struct ListState {
  QStringList items;
  karvello::ItemList::Index selected;
  int extent;
  karvello::ItemList::Index top;
  int sideways;
};
ListState StateOf(ListBox& list) {
  return {Items(list), list.Items().ListIndex(), list.HorizontalExtent(),
          list.TopIndex(), list.horizontalScrollBar()->value()};
}
void CompareStates(const ListState& actual, const ListState& expected) {
  QCOMPARE(actual.items, expected.items);
  QCOMPARE(actual.selected, expected.selected);
  QCOMPARE(actual.extent, expected.extent);
  QCOMPARE(actual.top, expected.top);
  QCOMPARE(actual.sideways, expected.sideways);
}

// A real drop of `mime` at `at` on `widget`, as a file manager makes it.
bool Drop(QWidget* widget, QPoint at, QMimeData* mime) {
  QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, {});
  QApplication::sendEvent(widget, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(QPointF(at), Qt::CopyAction, mime, Qt::LeftButton, {});
  QApplication::sendEvent(widget, &drop);
  return drop.isAccepted();
}

const QStringList kList1 = {"a", "b", "a", "", "c x"};
const QStringList kList2 = {"b", "d", "", "b"};

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void startUpSizesAndCentresTheWindow();
  void focusStartsOnCommand1AndTabFollowsTheTabIndices();
  void everyButtonChangesOnlyItsList_data();
  void everyButtonChangesOnlyItsList();
  void aPressRunsItsCommandOnceWithTheButtonUp();
  void doubleClickRemovesTheItemUnderTheMouse();
  void pointerFollowsTheMouse();
  void loadAppendsEveryChosenFileAndReportsAMissingOne();
  void loadSetsTheExtentOnlyWhenSomethingWasChosen();
  void saveAsksBeforeOverwriting();
  void fileNameCarriesOverBetweenUses();
  void anErrorIsReportedAndTheWindowGoesOn();
  void eachCaptionNamesItsPanelsList();
  void theFramesAreWhite();
  void undoAndRedoBringBackTheWholeList_data();
  void undoAndRedoBringBackTheWholeList();
  void aNewChangeDropsTheRedoSteps();
  void copyAndPasteGoThroughTheClipboard();
  void droppedFilesLoadAndDroppedTextPastes();
  void theListMenuShowsTheCountAndLeavesTheSelection();

 private:
  QPushButton* Button(const char* name) {
    auto* button = form_->findChild<QPushButton*>(QLatin1String(name));
    if (button == nullptr) qFatal("no button %s", name);
    return button;
  }
  void Press(const char* name) {
    QTest::mouseClick(Button(name), Qt::LeftButton);
  }
  // Ctrl+<key> (with Shift when `shift`) where the focus is, as a user
  // types it.
  void CtrlKey(Qt::Key key, bool shift = false) {
    QApplication::setActiveWindow(form_.get());
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(
        target != nullptr ? target : form_.get(), key,
        shift ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier);
  }
  void VerifyDialogs() {
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }

  std::unique_ptr<ScriptedDialogs> dialogs_;
  std::unique_ptr<Form1> form_;
};

void Form1Test::init() {
  dialogs_ = std::make_unique<ScriptedDialogs>();
  form_ = std::make_unique<Form1>(*dialogs_);
  form_->show();
  QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void Form1Test::cleanup() {
  form_.reset();
  dialogs_.reset();
}

void Form1Test::startUpSizesAndCentresTheWindow() {
  // 7175 x 6755 twips outer size, centred on the whole screen.
  const QRect screen = form_->screen()->geometry();
  const QRect outer = form_->frameGeometry();
  QCOMPARE(outer.size(), QSize(478, 450));
  QCOMPARE(outer.left() - screen.left(), (screen.width() - 478) / 2);
  QCOMPARE(outer.top() - screen.top(), (screen.height() - 450) / 2);
  QCOMPARE(form_->windowTitle(), QStringLiteral("Karvello"));
  QCOMPARE(form_->MousePointer(), 0);
  // Check1 belongs to the window but must be drawn over Frame1.
  QCOMPARE(form_->childAt(Button("Check1")->geometry().center()),
           static_cast<QWidget*>(Button("Check1")));
  for (ListBox* list : {&form_->List1(), &form_->List2()}) {
    QCOMPARE(list->toolTip(),
             QStringLiteral("Double click list item to remove it."));
  }

  // A window larger than the screen overhangs it evenly.
  QWidget big;
  big.resize(screen.width() + 200, screen.height() + 100);
  karvello::CenterForm(big);
  QCOMPARE(big.frameGeometry().topLeft(), screen.topLeft() + QPoint(-100, -50));
}

void Form1Test::focusStartsOnCommand1AndTabFollowsTheTabIndices() {
  QApplication::setActiveWindow(form_.get());
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  QCOMPARE(QApplication::focusWidget()->objectName(),
           QStringLiteral("Command1"));
  const QStringList expected = {
      "Check7",  "Check4",  "Check20", "Check19", "Check18", "Check17",
      "Check16", "Check15", "Check3",  "List1",   "Check6",  "Check5",
      "List2",   "Check14", "Check13", "Check12", "Check11", "Check10",
      "Check9",  "Check8",  "Check1",  "Check2",  "Command1"};
  QStringList visited;
  for (int i = 0; i < expected.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    visited << QApplication::focusWidget()->objectName();
  }
  QCOMPARE(visited, expected);
}

void Form1Test::everyButtonChangesOnlyItsList_data() {
  QTest::addColumn<QString>("button");
  QTest::addColumn<QString>("prompt");
  QTest::addColumn<QStringList>("list1");
  QTest::addColumn<QStringList>("list2");

  // Named for the button first; "-" where the button asks nothing.
  auto row = [](const char* name, const char* prompt, const QStringList& list1,
                const QStringList& list2) {
    QTest::newRow(name) << QString(name).section(' ', 0, 0) << QString(prompt)
                        << list1 << list2;
  };
  row("Check1 Clear", "-", {}, kList2);
  row("Check2 Clear", "-", kList1, {});
  row("Check17 With", "a", {"b", "", "c x"}, kList2);
  row("Check17 With blank", " ", {"a", "b", "a", ""}, kList2);
  row("Check16 Without", "a", {"a", "a"}, kList2);
  row("Check16 Without blank", " ", {"c x"}, kList2);
  row("Check10 With", "b", kList1, {"d", ""});
  row("Check9 Without", "b", kList1, {"b", "b"});
  row("Check18 Blanks", "-", {"a", "b", "a", "c x"}, kList2);
  row("Check11 Blanks", "-", kList1, {"b", "d", "b"});
  row("Check19 Subtract", "-", {"a", "a", "c x"}, kList2);
  row("Check12 Subtract", "-", kList1, {"d"});
  row("Check15 Keep matches in 2", "-", {"b", ""}, kList2);
  row("Check8 Keep matches in 1", "-", kList1, {"b", "", "b"});
  row("Check4 Dupes except first", "-", {"a", "b", "", "c x"}, kList2);
  row("Check5 Dupes except first", "-", kList1, {"b", "d", ""});
  row("Check7 All dupes", "-", {"b", "", "c x"}, kList2);
  row("Check6 All dupes", "-", kList1, {"d", ""});
}

void Form1Test::everyButtonChangesOnlyItsList() {
  QFETCH(QString, button);
  QFETCH(QString, prompt);
  QFETCH(QStringList, list1);
  QFETCH(QStringList, list2);
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
  if (prompt != "-") dialogs_->ExpectInputBox(prompt.toStdString());

  Press(button.toLatin1().constData());

  QCOMPARE(Items(form_->List1()), list1);
  QCOMPARE(Items(form_->List2()), list2);
  QVERIFY(!Button(button.toLatin1().constData())->isChecked());
  VerifyDialogs();
}

void Form1Test::aPressRunsItsCommandOnceWithTheButtonUp() {
  Fill(form_->List1(), {"apple", "pear"});
  QPushButton* check17 = Button("Check17");
  bool checked_during_prompt = true;
  bool down_during_prompt = true;
  // A second run of the command would ask a second, unexpected time.
  dialogs_->ExpectInputBox("pp", [&] {
    checked_during_prompt = check17->isChecked();
    down_during_prompt = check17->isDown();
  });
  QTest::mouseClick(check17, Qt::LeftButton);
  QVERIFY(!checked_during_prompt);
  QVERIFY(!down_during_prompt);
  QCOMPARE(Items(form_->List1()), QStringList{"pear"});
  VerifyDialogs();

  // A change to up runs nothing; a change to down by the program is a press.
  check17->setChecked(false);
  VerifyDialogs();
  dialogs_->ExpectInputBox("ea");
  check17->setChecked(true);
  QVERIFY(!check17->isChecked());
  QCOMPARE(Items(form_->List1()), QStringList{});
  VerifyDialogs();
}

void Form1Test::doubleClickRemovesTheItemUnderTheMouse() {
  ListBox& list = form_->List1();
  Fill(list, {"one", "two", "three", "four", "five"});
  Fill(form_->List2(), kList2);
  const QRect third = list.ItemRect(2);
  QVERIFY(third.isValid());
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, third.center());
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, third.center());
  QCOMPARE(Items(list), (QStringList{"one", "two", "four", "five"}));
  QCOMPARE(Items(form_->List2()), kList2);

  // Below the last item there is nothing to remove, whatever is selected.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                    list.ItemRect(1).center());
  const QPoint below(third.center().x(), list.ItemRect(3).bottom() + 20);
  QVERIFY(list.viewport()->rect().contains(below));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, below);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, below);
  QCOMPARE(Items(list), (QStringList{"one", "two", "four", "five"}));

  // Nor in an empty list.
  ListBox& empty = form_->List2();
  Fill(empty, {});
  QTest::mouseClick(empty.viewport(), Qt::LeftButton, {}, QPoint(20, 5));
  QTest::mouseDClick(empty.viewport(), Qt::LeftButton, {}, QPoint(20, 5));
  QCOMPARE(Items(empty), QStringList{});
  VerifyDialogs();
}

void Form1Test::pointerFollowsTheMouse() {
  auto* frame1 = form_->findChild<QGroupBox*>("Frame1");
  auto* frame2 = form_->findChild<QGroupBox*>("Frame2");
  QVERIFY(frame1 && frame2);
  QCOMPARE(form_->MousePointer(), 0);

  QTest::mouseMove(Button("Check7"), Button("Check7")->rect().center());
  QCOMPARE(form_->MousePointer(), 99);
  // No HAND-M.CUR beside the tests: the hand is the platform's.
  QCOMPARE(form_->cursor().shape(), Qt::PointingHandCursor);
  // Onto Frame1's margin, left of its buttons.
  QTest::mouseMove(frame1, QPoint(3, 300));
  QCOMPARE(form_->MousePointer(), 1);
  QCOMPARE(form_->cursor().shape(), Qt::ArrowCursor);
  QTest::mouseMove(form_->List1().viewport(), QPoint(30, 30));
  QCOMPARE(form_->MousePointer(), 99);
  // The window's own surface, right of Frame2.
  QTest::mouseMove(form_.get(), QPoint(frame2->geometry().right() + 5, 200));
  QCOMPARE(form_->MousePointer(), 1);
  QTest::mouseMove(Button("Check1"), QPoint(10, 10));
  QCOMPARE(form_->MousePointer(), 99);
  QTest::mouseMove(frame2, QPoint(100, 8));  // its caption
  QCOMPARE(form_->MousePointer(), 1);
  QTest::mouseMove(&form_->List2(), QPoint(1, 1));  // its border
  QCOMPARE(form_->MousePointer(), 99);
  QTest::mouseMove(Button("Check2"), QPoint(10, 10));
  QCOMPARE(form_->MousePointer(), 99);
}

void Form1Test::loadAppendsEveryChosenFileAndReportsAMissingOne() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\nb\r\n");
  WriteFile(dir.filePath("three.txt"), "c\r\n");
  Fill(form_->List1(), {"kept"});
  Fill(form_->List2(), kList2);
  const std::string folder = Bytes(dir.path());
  dialogs_->ExpectOpen(folder + '\0' + "one.txt" + '\0' + "missing.txt" + '\0' +
                       "three.txt");
  dialogs_->ExpectMsgBox("File not found");

  Press("Check3");

  QCOMPARE(Items(form_->List1()), (QStringList{"kept", "a", "b", "c"}));
  QCOMPARE(Items(form_->List2()), kList2);
  VerifyDialogs();
  QCOMPARE(dialogs_->FileRequests().size(), 1u);
  const FileDialogRequest& request = dialogs_->FileRequests()[0];
  QVERIFY(request.kind == FileDialogRequest::Kind::kOpen);
  QCOMPARE(request.flags, 0x280201u);
  QCOMPARE(
      request.title,
      std::string("Load List(s) - Hold Ctrl to select multiple list files"));
  QCOMPARE(request.filter, std::string("All Files (*.*)|*.*|"));

  // A folder that already ends in a separator, and one file by full path.
  dialogs_->ExpectOpen(folder + "/" + '\0' + "three.txt");
  Press("Check14");
  dialogs_->ExpectOpen(Bytes(dir.filePath("one.txt")));
  Press("Check14");
  QCOMPARE(Items(form_->List2()), (kList2 + QStringList{"c", "a", "b"}));
  VerifyDialogs();
}

void Form1Test::loadSetsTheExtentOnlyWhenSomethingWasChosen() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("wide.txt"), "a rather wide item for the list\r\n");
  ListBox& list = form_->List1();

  list.SetHorizontalExtent(123);
  dialogs_->ExpectOpen("");
  Press("Check3");
  QCOMPARE(list.HorizontalExtent(), 123);

  // Nothing found: the extent is still recomputed, for an empty list 0.
  dialogs_->ExpectOpen(Bytes(dir.filePath("missing.txt")));
  dialogs_->ExpectMsgBox("File not found");
  Press("Check3");
  QCOMPARE(list.HorizontalExtent(), 0);

  dialogs_->ExpectOpen(Bytes(dir.filePath("wide.txt")));
  Press("Check3");
  const int extent = list.HorizontalExtent();
  QVERIFY(extent > list.fontMetrics().horizontalAdvance("a rather wide"));

  // Clear and removals leave it alone.
  Press("Check1");
  QCOMPARE(Items(list), QStringList{});
  QCOMPARE(list.HorizontalExtent(), extent);
  QCOMPARE(form_->List2().HorizontalExtent(), 0);
  VerifyDialogs();
}

void Form1Test::saveAsksBeforeOverwriting() {
  QTemporaryDir dir;
  const QString existing = dir.filePath("old.lst");
  const QString fresh = dir.filePath("new");
  WriteFile(existing, "old");
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), {"x", "", "y"});
  const std::string question =
      "Are you sure you wish to overwrite " + Bytes(existing) + " ?";

  dialogs_->ExpectSave(Bytes(existing)).ExpectYesNo(question, false);
  Press("Check13");
  QCOMPARE(ReadFile(existing), QByteArray("old"));

  dialogs_->ExpectSave(Bytes(existing)).ExpectYesNo(question, true);
  Press("Check13");
  QCOMPARE(ReadFile(existing), QByteArray("x\r\n\r\ny\r\n"));

  // A new name asks nothing and gets no extension added.
  dialogs_->ExpectSave(Bytes(fresh));
  Press("Check20");
  QCOMPARE(ReadFile(fresh), QByteArray("a\r\nb\r\na\r\n\r\nc x\r\n"));

  dialogs_->ExpectSave("");
  Press("Check20");
  VerifyDialogs();

  const FileDialogRequest& request = dialogs_->FileRequests().back();
  QVERIFY(request.kind == FileDialogRequest::Kind::kSave);
  QCOMPARE(request.flags, 0x280201u);
  QCOMPARE(request.title, std::string("Save List"));
  QCOMPARE(request.filter,
           std::string("All Files (*.*)|*.*|Text Files (*.txt)|*.txt|"
                       "List Files (*.lst)|*.lst|"));
  QCOMPARE(Items(form_->List1()), kList1);
  QCOMPARE(Items(form_->List2()), (QStringList{"x", "", "y"}));
}

void Form1Test::fileNameCarriesOverBetweenUses() {
  QTemporaryDir dir;
  const QString file = dir.filePath("list.txt");
  WriteFile(file, "q\r\n");
  dialogs_->ExpectOpen(Bytes(file));
  Press("Check3");
  // Accepting the proposed name asks the overwrite question.
  dialogs_->ExpectSave(Bytes(file))
      .ExpectYesNo("Are you sure you wish to overwrite " + Bytes(file) + " ?",
                   false);
  Press("Check13");
  dialogs_->ExpectOpen("");
  Press("Check14");
  VerifyDialogs();
  const auto& requests = dialogs_->FileRequests();
  QCOMPARE(requests.size(), 3u);
  QCOMPARE(requests[0].file_name, std::string());
  QCOMPARE(requests[1].file_name, Bytes(file));
  QCOMPARE(requests[2].file_name, Bytes(file));
  // A cancelled dialog proposes nothing next time.
  QCOMPARE(form_->CommonDialog1().FileName(), std::string());
}

void Form1Test::anErrorIsReportedAndTheWindowGoesOn() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\n");
  Fill(form_->List1(), {"z"});
  // A folder exists but is no list file: the load names it and goes on.
  dialogs_->ExpectOpen(Bytes(dir.path()) + '\0' + "." + '\0' + "one.txt");
  dialogs_->ExpectMsgBoxContaining(Bytes(dir.path()));
  Press("Check3");
  QCOMPARE(Items(form_->List1()), (QStringList{"z", "a"}));

  dialogs_->ExpectInputBox("a", [] { throw std::runtime_error("broken"); });
  dialogs_->ExpectMsgBoxContaining("\"Remove List 1 Items With...\" failed");
  Press("Check17");
  QVERIFY(!Button("Check17")->isChecked());
  dialogs_->ExpectInputBox("z");
  Press("Check17");
  QCOMPARE(Items(form_->List1()), QStringList{"a"});
  VerifyDialogs();
}

void Form1Test::eachCaptionNamesItsPanelsList() {
  // Read from the captions alone: the list a button changes is the one its
  // caption names, except "Keep Only Matches in List N", which keeps the
  // items of the other list that match list N, and "Subtract List M From
  // List N", which changes list N.
  const QRegularExpression subtract("^Subtract List (\\d) From List (\\d)$");
  const QRegularExpression keep("^Keep Only Matches in List (\\d)$");
  const QRegularExpression named("List (\\d)");
  int checked = 0;
  for (const char* frame_name : {"Frame1", "Frame2"}) {
    auto* frame = form_->findChild<QGroupBox*>(frame_name);
    QVERIFY(frame != nullptr);
    const QString own = frame->title().right(1);
    const QString other = own == "1" ? "2" : "1";
    for (QPushButton* button : frame->findChildren<QPushButton*>()) {
      const QString caption = button->text();
      if (const auto m = subtract.match(caption); m.hasMatch()) {
        QCOMPARE(m.captured(2), own);
        QCOMPARE(m.captured(1), other);
      } else if (const auto k = keep.match(caption); k.hasMatch()) {
        QCOMPARE(k.captured(1), other);
      } else {
        auto it = named.globalMatch(caption);
        while (it.hasNext()) QCOMPARE(it.next().captured(1), own);
      }
      ++checked;
    }
  }
  // Clear of List 1 lies over Frame1 but belongs to the window.
  QCOMPARE(checked, 19);
}

void Form1Test::theFramesAreWhite() {
  for (const char* name : {"Frame1", "Frame2"}) {
    auto* frame = form_->findChild<QGroupBox*>(name);
    const QImage image = frame->grab().toImage();
    // Inside the frame's border, left of the buttons and below the list.
    const QPoint blank(4, frame->height() - 6);
    QCOMPARE(frame->childAt(blank), nullptr);
    QCOMPARE(QColor(image.pixel(blank)).name(), QStringLiteral("#ffffff"));
    QCOMPARE(
        QColor(image.pixel(frame->width() / 2, frame->height() - 5)).name(),
        QStringLiteral("#ffffff"));
  }
}

void Form1Test::undoAndRedoBringBackTheWholeList_data() {
  QTest::addColumn<QString>("change");
  QTest::addColumn<int>("count_after");
  QTest::addColumn<QString>("focus");  // where Ctrl+Z is typed
  QTest::newRow("Check4 dupes") << "Check4" << 50 << "List1";
  QTest::newRow("Check7 all dupes") << "Check7" << 20 << "Command1";
  QTest::newRow("Check1 clear") << "Check1" << 0 << "List2";
  QTest::newRow("Check17 with prompt") << "Check17" << 72 << "Check2";
  QTest::newRow("Check19 subtract") << "Check19" << 76 << "List1";
  QTest::newRow("Check3 load") << "Check3" << 84 << "List1";
  QTest::newRow("double-click") << "dblclick" << 79 << "List1";
  QTest::newRow("paste") << "paste" << 83 << "List1";
  QTest::newRow("drop files") << "dropfiles" << 84 << "Check7";
  QTest::newRow("drop text") << "droptext" << 81 << "List2";
}

void Form1Test::undoAndRedoBringBackTheWholeList() {
  QFETCH(QString, change);
  QFETCH(int, count_after);
  QFETCH(QString, focus);
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a rather wider item than the rest\n1\n");
  WriteFile(dir.filePath("two.txt"), "2\n3\n");
  // 80 items, 30 of them second copies; "line 5" and "line 55" contain "5".
  ListBox& list = form_->List1();
  QStringList items;
  for (int i = 0; i < 80; ++i) items << QStringLiteral("line %1").arg(i % 50);
  Fill(list, items);
  Fill(form_->List2(), {"line 3", "line 7"});
  list.SetHorizontalExtent(400);
  list.SetTopIndex(30);
  list.horizontalScrollBar()->setValue(25);
  list.Items().SetListIndex(35);
  list.ItemsChanged();
  // A double-click's first click selects its item before the change.
  if (change == "dblclick") {
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.ItemRect(31).center());
  }
  const ListState before = StateOf(list);
  QCOMPARE(before.top, 30);
  QCOMPARE(before.sideways, 25);
  QCOMPARE(before.selected, change == "dblclick" ? 31 : 35);

  const std::string folder = Bytes(dir.path());
  if (change == "dblclick") {
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {},
                       list.ItemRect(31).center());
  } else if (change == "paste") {
    QGuiApplication::clipboard()->setText("x,y\n\"p,q\"\n");
    list.setFocus();
    CtrlKey(Qt::Key_V);
  } else if (change == "dropfiles") {
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(dir.filePath("one.txt")),
                   QUrl::fromLocalFile(dir.filePath("two.txt"))});
    QVERIFY(Drop(list.viewport(), QPoint(10, 10), mime));
    delete mime;
  } else if (change == "droptext") {
    auto* mime = new QMimeData;
    mime->setText("dropped");
    QVERIFY(Drop(list.viewport(), QPoint(10, 10), mime));
    delete mime;
  } else {
    if (change == "Check17") dialogs_->ExpectInputBox("5");
    if (change == "Check3") {
      dialogs_->ExpectOpen(folder + '\0' + "one.txt" + '\0' + "two.txt");
    }
    Press(change.toLatin1().constData());
  }
  const ListState after = StateOf(list);
  QCOMPARE(after.items.size(), count_after);
  QVERIFY(after.items != before.items);

  form_->findChild<QWidget*>(focus)->setFocus();
  CtrlKey(Qt::Key_Z);
  CompareStates(StateOf(list), before);
  QCOMPARE(Items(form_->List2()), (QStringList{"line 3", "line 7"}));
  // Nothing older to undo: a second Ctrl+Z changes nothing.
  CtrlKey(Qt::Key_Z);
  CompareStates(StateOf(list), before);

  CtrlKey(Qt::Key_Y);
  CompareStates(StateOf(list), after);
  CtrlKey(Qt::Key_Z);
  CompareStates(StateOf(list), before);
  CtrlKey(Qt::Key_Z, true);
  CompareStates(StateOf(list), after);
  VerifyDialogs();
}

void Form1Test::aNewChangeDropsTheRedoSteps() {
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
  Press("Check4");  // a, b, "", c x
  Press("Check6");  // d, ""
  CtrlKey(Qt::Key_Z);
  QCOMPARE(Items(form_->List2()), kList2);
  // A cancelled prompt (the prompt answers "" for both Cancel and an empty
  // field) is no change: the list stays and so does the redo step.
  dialogs_->ExpectInputBox("").ExpectInputBox("");
  Press("Check10");
  Press("Check17");
  QCOMPARE(Items(form_->List1()), (QStringList{"a", "b", "", "c x"}));
  QCOMPARE(Items(form_->List2()), kList2);
  CtrlKey(Qt::Key_Y);
  QCOMPARE(Items(form_->List2()), (QStringList{"d", ""}));
  CtrlKey(Qt::Key_Z);

  Press("Check18");  // a, b, c x
  CtrlKey(Qt::Key_Y);
  QCOMPARE(Items(form_->List2()), kList2);
  QCOMPARE(Items(form_->List1()), (QStringList{"a", "b", "c x"}));
  CtrlKey(Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), (QStringList{"a", "b", "", "c x"}));
  CtrlKey(Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), kList1);
  CtrlKey(Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), kList1);
  QCOMPARE(Items(form_->List2()), kList2);
  VerifyDialogs();
}

void Form1Test::copyAndPasteGoThroughTheClipboard() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ListBox& list1 = form_->List1();
  ListBox& list2 = form_->List2();
  Fill(list1, {"first", "caf\xc3\xa9, \"quoted\"", ""});
  list1.setFocus();
  // Nothing selected: Ctrl+C leaves the clipboard alone.
  clipboard->setText("unchanged");
  CtrlKey(Qt::Key_C);
  QCOMPARE(clipboard->text(), QStringLiteral("unchanged"));
  QTest::mouseClick(list1.viewport(), Qt::LeftButton, {},
                    list1.ItemRect(1).center());
  CtrlKey(Qt::Key_C);
  QCOMPARE(clipboard->mimeData()->data("text/plain"),
           QByteArray("caf\xc3\xa9, \"quoted\""));

  form_->CopyList(list1);
  QCOMPARE(clipboard->mimeData()->data("text/plain"),
           QByteArray("first\ncaf\xc3\xa9, \"quoted\"\n\n"));

  // Pasted text is read as a list file: commas and line ends split, quotes
  // group, a UTF-16 mark is decoded; the bytes stay as they came.
  Fill(list2, {"kept"});
  QCOMPARE(list2.HorizontalExtent(), 0);
  auto* mime = new QMimeData;
  mime->setData("text/plain", QByteArray("x,\"y,z\"\r\n\xff\xfe\r\nlast"));
  clipboard->setMimeData(mime);
  list2.setFocus();
  CtrlKey(Qt::Key_V);
  QCOMPARE(Items(list2), (QStringList{"kept", "x", "y,z", "\xff\xfe", "last"}));
  QCOMPARE(list2.Items().List(3), "\xff\xfe");
  // The extent follows the new items, as after a Load.
  QVERIFY(list2.HorizontalExtent() >
          list2.fontMetrics().horizontalAdvance("y,z"));
  QCOMPARE(list1.Items().ListCount(), 3);
  VerifyDialogs();
}

void Form1Test::droppedFilesLoadAndDroppedTextPastes() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\nb\r\n");
  WriteFile(dir.filePath("three.txt"), "c\r\n");
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), {"kept"});
  // On the panel, away from the list: the panel's list loads them, in the
  // order given, the missing one reported as a Load reports it.
  auto* frame2 = form_->findChild<QGroupBox*>("Frame2");
  const QPoint margin(3, 300);
  QCOMPARE(frame2->childAt(margin), nullptr);
  QMimeData files;
  files.setUrls({QUrl::fromLocalFile(dir.filePath("three.txt")),
                 QUrl::fromLocalFile(dir.filePath("missing.txt")),
                 QUrl::fromLocalFile(dir.filePath("one.txt"))});
  dialogs_->ExpectMsgBox("File not found");
  QVERIFY(Drop(frame2, margin, &files));
  QCOMPARE(Items(form_->List2()), (QStringList{"kept", "c", "a", "b"}));
  QVERIFY(form_->List2().HorizontalExtent() > 0);
  QCOMPARE(Items(form_->List1()), kList1);

  QMimeData text;
  text.setText("p\nq");
  QVERIFY(Drop(form_->List1().viewport(), QPoint(5, 5), &text));
  QCOMPARE(Items(form_->List1()), (kList1 + QStringList{"p", "q"}));

  // Neither files nor text: refused.
  QMimeData image;
  image.setData("image/png", "\x89PNG");
  QVERIFY(!Drop(form_->List1().viewport(), QPoint(5, 5), &image));
  QCOMPARE(Items(form_->List1()), (kList1 + QStringList{"p", "q"}));
  VerifyDialogs();
}

void Form1Test::theListMenuShowsTheCountAndLeavesTheSelection() {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  ListBox& list = form_->List2();
  QStringList items;
  for (int i = 0; i < 1234; ++i) items << QString::number(i);
  Fill(list, items);
  list.Items().SetListIndex(1);
  list.ItemsChanged();
  QGuiApplication::clipboard()->setText("pasted");

  const QPoint at = list.ItemRect(3).center();
  QContextMenuEvent right_click(QContextMenuEvent::Mouse, at,
                                list.viewport()->mapToGlobal(at));
  QApplication::sendEvent(list.viewport(), &right_click);
  auto* menu = form_->findChild<QMenu*>("ListMenu");
  QVERIFY(menu != nullptr);
  QTRY_VERIFY(menu->isVisible());
  QStringList texts;
  for (QAction* action : menu->actions()) {
    if (!action->isSeparator()) texts << action->text();
  }
  QCOMPARE(texts, (QStringList{"1,234 items", "Undo", "Redo", "Copy Item",
                               "Copy List", "Paste"}));
  QVERIFY(!menu->actions()[0]->isEnabled());
  QCOMPARE(list.Items().ListIndex(), 1);

  // Paste from the menu goes to the list it was opened on.
  menu->actions().last()->trigger();
  QPointer<QMenu> closed = menu;
  menu->close();
  QTRY_VERIFY(closed.isNull());
  QCOMPARE(list.Items().ListCount(), 1235);
  QCOMPARE(std::string(list.Items().List(1234)), std::string("pasted"));
  QCOMPARE(form_->List1().Items().ListCount(), 0);

  Fill(list, {"only"});
  QApplication::sendEvent(list.viewport(), &right_click);
  menu = form_->findChild<QMenu*>("ListMenu");
  QTRY_VERIFY(menu != nullptr && menu->isVisible());
  QCOMPARE(menu->actions()[0]->text(), QStringLiteral("1 item"));
  menu->close();
  VerifyDialogs();
}

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
