// The real main window, driven through its buttons, lists, menu and keys
// with every dialog scripted. CTest runs it headless, and again on a real X
// server with its own D-Bus session (RunUnderX.sh) for the cases that need
// one: input from outside the process, another program's clipboard, and
// what a screen reader hears through AT-SPI. Those skip themselves
// elsewhere.

// Mouse events go through the platform layer, as real ones do: moves
// without a button then reach the widget under the pointer.
#define QTEST_QPA_MOUSE_HANDLING
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <stdexcept>
#include <string>

#include "ScriptedDialogs.h"
#include "app/BackgroundRead.h"
#include "app/CenterFormModule.h"
#include "app/Form1.h"

using karvello::Form1;
using karvello::ListBox;

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

std::string Bytes(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
}

// What a user sees of a list, and what undo must give back.
struct ListState {
  QStringList items;
  karvello::ItemList::Index selected, top;
  int extent, sideways;
  bool operator==(const ListState&) const = default;
};
ListState StateOf(ListBox& list) {
  return {Items(list), list.Items().ListIndex(), list.TopIndex(),
          list.HorizontalExtent(), list.horizontalScrollBar()->value()};
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

// Runs a program, with the event loop going so that this process can answer
// it; true when it exited with 0 within 60 s.
bool Run(const QString& program, const QStringList& args,
         QByteArray* out = nullptr) {
  QProcess process;
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(program, args);
  QElapsedTimer timer;
  timer.start();
  while (process.state() != QProcess::NotRunning && !timer.hasExpired(60000)) {
    QTest::qWait(20);
  }
  if (out != nullptr) *out = process.readAllStandardOutput();
  return process.state() == QProcess::NotRunning &&
         process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

bool OnRealX() { return QGuiApplication::platformName() == "xcb"; }

const QStringList kList1 = {"a", "b", "a", "", "c x"};
const QStringList kList2 = {"b", "d", "", "b"};

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void startUpLaysOutTheWindow();
  void focusStartsUnseenAndTabFollowsTheTabIndices();
  void everyButtonChangesOnlyItsList_data();
  void everyButtonChangesOnlyItsList();
  void aPressRunsItsCommandOnceWithTheButtonUp();
  void removingOneItem_data();
  void removingOneItem();
  void pointerFollowsTheMouse_data();
  void pointerFollowsTheMouse();
  void loadAppendsEveryFileInOrderAndReportsAMissingOne();
  void loadSetsTheExtentAndSaveAsksBeforeOverwriting();
  void anErrorIsReportedAndTheWindowGoesOn();
  void undoAndRedoBringBackTheWholeList_data();
  void undoAndRedoBringBackTheWholeList();
  void aNewChangeDropsTheRedoSteps();
  void theHistoryKeepsStepsOfBigLists();
  void copyAndPasteKeepTheBytes();
  void drops_data();
  void drops();
  void theListMenu();
  void aCancelledLoadLeavesTheListAsItWas();

  void realKeysAndClicks();
  void pasteFromAnotherProgram_data();
  void pasteFromAnotherProgram();
  void aScreenReaderHearsTheWindow();

 private:
  QPushButton* Button(const QString& name) {
    auto* button = form_->findChild<QPushButton*>(name);
    if (button == nullptr) qFatal("no button %s", qPrintable(name));
    return button;
  }
  void Press(const QString& name) {
    QTest::mouseClick(Button(name), Qt::LeftButton);
  }
  // A key where the focus is, as a user types it.
  void Key(QKeyCombination key) {
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target != nullptr ? target : form_.get(), key.key(),
                    key.keyboardModifiers());
  }
  // The entries of `list`'s menu, opened by a right click on `row` (or
  // Shift+F10 when `row` is -1), "[off]" after a greyed one; closed again.
  QStringList MenuEntries(ListBox& list, int row = 0, QRect* where = {});
  void VerifyDialogs() {
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }
  // Makes the change `change` of the undo rows to List 1.
  void MakeChange(const QString& change, const QTemporaryDir& dir);

  std::unique_ptr<karvello::ScriptedDialogs> dialogs_;
  std::unique_ptr<Form1> form_;
};

void Form1Test::init() {
  dialogs_ = std::make_unique<karvello::ScriptedDialogs>();
  form_ = std::make_unique<Form1>(*dialogs_);
  form_->show();
  QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void Form1Test::cleanup() {
  form_.reset();
  dialogs_.reset();
}

QStringList Form1Test::MenuEntries(ListBox& list, int row, QRect* where) {
  if (row >= 0) {
    const QPoint at = list.ItemRect(row).center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at,
                            list.viewport()->mapToGlobal(at));
    QApplication::sendEvent(list.viewport(), &click);
  } else {
    list.setFocus();
    Key(Qt::SHIFT | Qt::Key_F10);
  }
  QPointer<QMenu> menu = form_->findChild<QMenu*>("ListMenu");
  if (menu == nullptr || !QTest::qWaitForWindowExposed(menu)) return {"none"};
  if (where != nullptr) *where = menu->geometry();
  QStringList entries;
  for (QAction* action : menu->actions()) {
    if (action->isSeparator()) continue;
    entries << action->text() + (action->isEnabled() ? "" : " [off]");
  }
  menu->close();
  if (!QTest::qWaitFor([&menu] { return menu.isNull(); })) return {"open"};
  return entries;
}

void Form1Test::startUpLaysOutTheWindow() {
  // 7175 x 6755 twips outer size, centred on the whole screen.
  const QRect screen = form_->screen()->geometry();
  const QRect outer = form_->frameGeometry();
  QCOMPARE(outer.size(), QSize(478, 450));
  QCOMPARE(outer.topLeft() - screen.topLeft(),
           QPoint((screen.width() - 478) / 2, (screen.height() - 450) / 2));
  QCOMPARE(form_->windowTitle(), QStringLiteral("Karvello"));
  QCOMPARE(form_->MousePointer(), 0);
  // Check1 belongs to the window but is drawn over Frame1.
  QCOMPARE(form_->childAt(Button("Check1")->geometry().center()),
           Button("Check1"));
  for (ListBox* list : {&form_->List1(), &form_->List2()}) {
    QCOMPARE(list->toolTip(), "Double click list item to remove it.");
  }
  // A window larger than the screen overhangs it evenly.
  QWidget big;
  big.resize(screen.width() + 200, screen.height() + 100);
  karvello::CenterForm(big);
  QCOMPARE(big.frameGeometry().topLeft(), screen.topLeft() + QPoint(-100, -50));

  // Each panel's buttons name its list, but for the ones that read the
  // other list: "Subtract List 2 From List 1", "Keep Only Matches in List 2".
  for (const QString panel : {"1", "2"}) {
    auto* frame = form_->findChild<QGroupBox*>("Frame" + panel);
    QCOMPARE(frame->title(), "List " + panel);
    const QString other = panel == "1" ? "2" : "1";
    QStringList named;
    for (QPushButton* button : frame->findChildren<QPushButton*>()) {
      named << button->text()
                   .replace("List " + other + " From", "")
                   .replace("in List " + other, "");
    }
    QCOMPARE(named.filter("List " + other).size(), 0);
    QCOMPARE(named.size(), panel == "1" ? 9 : 10);
    // White inside the border, left of the buttons and below the list.
    const QImage image = frame->grab().toImage();
    const QPoint blank(4, frame->height() - 6);
    QCOMPARE(frame->childAt(blank), nullptr);
    QCOMPARE(QColor(image.pixel(blank)).name(), "#ffffff");
  }
}

void Form1Test::focusStartsUnseenAndTabFollowsTheTabIndices() {
  QApplication::setActiveWindow(form_.get());
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  QCOMPARE(QApplication::focusWidget()->objectName(), "Command1");
  // A screen reader hears where the focus is, not a button that does
  // nothing; the twenty buttons are push buttons that Press.
  QAccessibleInterface* holder =
      QAccessible::queryAccessibleInterface(QApplication::focusWidget());
  QCOMPARE(holder->role(), QAccessible::Client);
  QCOMPARE(holder->text(QAccessible::Name), "Karvello");
  QVERIFY(holder->actionInterface()->actionNames().indexOf(
              QAccessibleActionInterface::pressAction()) < 0);
  for (QPushButton* button : form_->findChildren<QPushButton*>()) {
    if (button->objectName() == "Command1") continue;
    QAccessibleInterface* b = QAccessible::queryAccessibleInterface(button);
    QCOMPARE(b->role(), QAccessible::Button);
    QCOMPARE(b->actionInterface()->actionNames().first(),
             QAccessibleActionInterface::pressAction());
    QVERIFY(!b->state().checkable);
  }
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
  QTest::addColumn<QString>("prompt");  // "-" where the button asks nothing
  QTest::addColumn<QStringList>("list1");
  QTest::addColumn<QStringList>("list2");
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
  Press(button);
  QCOMPARE(Items(form_->List1()), list1);
  QCOMPARE(Items(form_->List2()), list2);
  VerifyDialogs();
}

void Form1Test::aPressRunsItsCommandOnceWithTheButtonUp() {
  Fill(form_->List1(), {"apple", "pear"});
  bool down_during_prompt = true;
  // A second run of the command would ask a second, unexpected time.
  dialogs_->ExpectInputBox(
      "pp", [&] { down_during_prompt = Button("Check17")->isDown(); });
  Press("Check17");
  QVERIFY(!down_during_prompt);
  QCOMPARE(Items(form_->List1()), QStringList{"pear"});
  VerifyDialogs();
}

void Form1Test::removingOneItem_data() {
  QTest::addColumn<QString>("how");
  QTest::addColumn<int>("selected");  // before; -1 none
  QTest::addColumn<QStringList>("after");
  const QStringList five = {"one", "two", "three", "four", "five"};
  QTest::newRow("double-click")
      << "dblclick 2" << 0 << QStringList{"one", "two", "four", "five"};
  QTest::newRow("double-click below the items") << "dblclick 6" << 1 << five;
  QTest::newRow("Delete") << "delete" << 3
                          << QStringList{"one", "two", "three", "five"};
  QTest::newRow("Delete, nothing selected") << "delete" << -1 << five;
}

void Form1Test::removingOneItem() {
  QFETCH(QString, how);
  QFETCH(int, selected);
  QFETCH(QStringList, after);
  ListBox& list = form_->List1();
  Fill(list, {"one", "two", "three", "four", "five"});
  Fill(form_->List2(), kList2);
  list.Select(selected);
  const QPoint at(20, list.RowHeight() * how.section(' ', 1).toInt() + 5);
  QVERIFY(list.viewport()->rect().contains(at));
  // A double-click's first click selects the item under it, if any.
  if (how != "delete")
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, at);
  const ListState before = StateOf(list);
  if (how == "delete") {
    list.setFocus();
    Key(Qt::Key_Delete);
  } else {
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, at);
  }
  QCOMPARE(Items(list), after);
  QCOMPARE(Items(form_->List2()), kList2);
  // One step, undone whole.
  Key(Qt::CTRL | Qt::Key_Z);
  if (after != before.items) QCOMPARE(StateOf(list), before);
  VerifyDialogs();
}

void Form1Test::pointerFollowsTheMouse_data() {
  QTest::addColumn<QString>("over");  // a widget's name, "" for the window
  QTest::addColumn<QPoint>("at");
  QTest::addColumn<int>("pointer");
  QTest::newRow("a button") << "Check7" << QPoint(20, 10) << 99;
  QTest::newRow("Frame1, left of its buttons")
      << "Frame1" << QPoint(3, 300) << 1;
  QTest::newRow("a list") << "List1" << QPoint(30, 30) << 99;
  QTest::newRow("right of Frame2") << "" << QPoint(470, 200) << 1;
  QTest::newRow("Clear of List 1") << "Check1" << QPoint(10, 10) << 99;
  QTest::newRow("Frame2's caption") << "Frame2" << QPoint(100, 8) << 1;
  QTest::newRow("List2's border") << "List2" << QPoint(1, 1) << 99;
}

void Form1Test::pointerFollowsTheMouse() {
  QFETCH(QString, over);
  QFETCH(QPoint, at);
  QFETCH(int, pointer);
  auto* widget =
      over.isEmpty() ? form_.get() : form_->findChild<QWidget*>(over);
  // From the opposite shape, so that the move must change it.
  form_->SetMousePointer(pointer == 1 ? 99 : 1);
  QTest::mouseMove(widget, at);
  QCOMPARE(form_->MousePointer(), pointer);
  // No HAND-M.CUR beside the tests: the hand is the platform's.
  QCOMPARE(form_->cursor().shape(),
           pointer == 1 ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

void Form1Test::loadAppendsEveryFileInOrderAndReportsAMissingOne() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\nb\r\n");
  WriteFile(dir.filePath("three.txt"), "c\r\n");
  Fill(form_->List1(), {"kept"});
  Fill(form_->List2(), kList2);
  dialogs_->ExpectOpen({Bytes(dir.filePath("one.txt")),
                        Bytes(dir.filePath("missing.txt")),
                        Bytes(dir.filePath("three.txt"))});
  dialogs_->ExpectMsgBox("File not found");
  Press("Check3");
  QCOMPARE(Items(form_->List1()), (QStringList{"kept", "a", "b", "c"}));
  QCOMPARE(Items(form_->List2()), kList2);
  VerifyDialogs();
  const karvello::FileDialogRequest& request = dialogs_->file_requests.at(0);
  QVERIFY(request.kind == karvello::FileDialogRequest::Kind::kOpen);
  QCOMPARE(request.flags, 0x280201u);
  QCOMPARE(request.title,
           "Load List(s) - Hold Ctrl to select multiple list files");
  QCOMPARE(request.filter, "All Files (*.*)|*.*|");
}

void Form1Test::loadSetsTheExtentAndSaveAsksBeforeOverwriting() {
  QTemporaryDir dir;
  const QString wide = dir.filePath("wide.txt");
  WriteFile(wide, "a rather wide item for the list\r\n");
  ListBox& list = form_->List2();
  list.SetHorizontalExtent(123);
  dialogs_->ExpectOpen({});  // nothing chosen: the extent stays
  Press("Check14");
  QCOMPARE(list.HorizontalExtent(), 123);
  // Nothing found: the extent is still recomputed, for an empty list 0.
  dialogs_->ExpectOpen({Bytes(dir.filePath("missing"))})
      .ExpectMsgBox("File not found");
  Press("Check14");
  QCOMPARE(list.HorizontalExtent(), 0);
  dialogs_->ExpectOpen({Bytes(wide)});
  Press("Check14");
  QVERIFY(list.HorizontalExtent() >
          list.fontMetrics().horizontalAdvance("a rather wide"));
  // Clear leaves it alone.
  const int extent = list.HorizontalExtent();
  Press("Check2");
  QCOMPARE(list.HorizontalExtent(), extent);

  // Save proposes the name of the last Load, and asks before replacing it;
  // a new name asks nothing and gets no extension added.
  Fill(form_->List1(), kList1);
  const std::string question =
      "Are you sure you wish to overwrite " + Bytes(wide) + " ?";
  dialogs_->ExpectSave(Bytes(wide)).ExpectYesNo(question, false);
  Press("Check20");
  QCOMPARE(ReadFile(wide), "a rather wide item for the list\r\n");
  dialogs_->ExpectSave(Bytes(wide)).ExpectYesNo(question, true);
  Press("Check20");
  QCOMPARE(ReadFile(wide), "a\r\nb\r\na\r\n\r\nc x\r\n");
  dialogs_->ExpectSave(Bytes(dir.filePath("new")));
  Press("Check13");
  QCOMPARE(ReadFile(dir.filePath("new")), "");
  dialogs_->ExpectSave("").ExpectOpen({});
  Press("Check13");
  Press("Check3");  // a cancelled dialog proposes nothing next time
  VerifyDialogs();
  const auto& requests = dialogs_->file_requests;
  QCOMPARE(requests.back().file_name, "");
  const karvello::FileDialogRequest& save = requests[3];
  QCOMPARE(save.file_name, Bytes(wide));
  QVERIFY(save.kind == karvello::FileDialogRequest::Kind::kSave);
  QCOMPARE(save.flags, 0x280201u);
  QCOMPARE(save.title, "Save List");
  QCOMPARE(save.filter,
           "All Files (*.*)|*.*|Text Files (*.txt)|*.txt|List Files "
           "(*.lst)|*.lst|");
}

void Form1Test::anErrorIsReportedAndTheWindowGoesOn() {
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\n");
  Fill(form_->List1(), {"z"});
  // A folder exists but is no list file: the load names it and goes on.
  dialogs_->ExpectOpen({Bytes(dir.path()), Bytes(dir.filePath("one.txt"))});
  dialogs_->ExpectMsgBoxContaining("Cannot read " + Bytes(dir.path()));
  Press("Check3");
  QCOMPARE(Items(form_->List1()), (QStringList{"z", "a"}));

  dialogs_->ExpectInputBox("a", [] { throw std::runtime_error("broken"); });
  dialogs_->ExpectMsgBox("\"Remove List 1 Items With...\" failed: broken.");
  Press("Check17");
  dialogs_->ExpectInputBox("z");
  Press("Check17");
  QCOMPARE(Items(form_->List1()), QStringList{"a"});
  VerifyDialogs();
}

void Form1Test::undoAndRedoBringBackTheWholeList_data() {
  QTest::addColumn<QString>("change");
  QTest::addColumn<int>("count_after");
  QTest::addColumn<QString>("focus");  // where Ctrl+Z is typed
  QTest::addColumn<QString>("step");   // as the menu names it
  auto row = [](const char* change, int count, const char* focus,
                const char* step) {
    QTest::newRow(change) << change << count << focus << step;
  };
  row("Check4", 50, "List1", "Remove List 1 Dupes Except First");
  row("Check7", 20, "Command1", "Remove All List 1 Dupes");
  row("Check1", 0, "List2", "Clear (List 1)");
  row("Check17", 72, "Check2", "Remove List 1 Items With...");
  row("Check19", 74, "List1", "Subtract List 2 From List 1");
  row("Check15", 6, "List1", "Keep Only Matches in List 2 (List 1)");
  row("Check3", 84, "List1", "Load (List 1)");
  row("double-click", 79, "List1", "Remove Item (List 1)");
  row("paste", 83, "List1", "Paste (List 1)");
  row("drop files", 84, "Check7", "Drop (List 1)");
  row("drop text", 81, "List2", "Drop (List 1)");
}

void Form1Test::MakeChange(const QString& change, const QTemporaryDir& dir) {
  ListBox& list = form_->List1();
  auto* mime = new QMimeData;  // the clipboard takes it; a drop does not
  if (change == "double-click") {
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {},
                       list.ItemRect(31).center());
  } else if (change == "paste") {
    mime->setText("x,y\n\"p,q\"\n");
    QGuiApplication::clipboard()->setMimeData(mime);
    list.setFocus();
    Key(Qt::CTRL | Qt::Key_V);
  } else if (change.startsWith("drop")) {
    if (change == "drop text") mime->setText("dropped");
    if (change == "drop files") {
      mime->setUrls({QUrl::fromLocalFile(dir.filePath("one.txt")),
                     QUrl::fromLocalFile(dir.filePath("two.txt"))});
    }
    QVERIFY(Drop(list.viewport(), QPoint(10, 10), mime));
    delete mime;
    QTest::qWait(0);  // the drop's work comes after it
  } else {
    delete mime;
    if (change == "Check17") dialogs_->ExpectInputBox("5");
    if (change == "Check3") {
      dialogs_->ExpectOpen(
          {Bytes(dir.filePath("one.txt")), Bytes(dir.filePath("two.txt"))});
    }
    Press(change);
  }
}

void Form1Test::undoAndRedoBringBackTheWholeList() {
  QFETCH(QString, change);
  QFETCH(int, count_after);
  QFETCH(QString, focus);
  QFETCH(QString, step);
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a rather wider item than the rest\n1\n");
  WriteFile(dir.filePath("two.txt"), "2\n3\n");
  // 80 items, 30 of them second copies; "line 5" and "line 55" contain "5".
  ListBox& list = form_->List1();
  QStringList items;
  for (int i = 0; i < 80; ++i) items << QStringLiteral("line %1").arg(i % 50);
  Fill(list, items);
  Fill(form_->List2(), {"line 3", "line 7", "line 30", "line 41"});
  list.SetHorizontalExtent(400);
  list.SetTopIndex(30);
  list.horizontalScrollBar()->setValue(25);
  // A double-click's first click selects its item before the change.
  list.Select(change == "double-click" ? 31 : 35);
  const ListState before = StateOf(list);
  QCOMPARE(before.top, 30);
  QCOMPARE(before.sideways, 25);
  MakeChange(change, dir);
  const ListState after = StateOf(list);
  QCOMPARE(after.items.size(), count_after);

  const QString undo = "Undo " + step + "\tCtrl+Z";
  const QString redo = "Redo " + step + "\tCtrl+Shift+Z, Ctrl+Y";
  QCOMPARE(MenuEntries(form_->List2()).mid(1, 2),
           (QStringList{undo, "Redo\tCtrl+Shift+Z, Ctrl+Y [off]"}));
  form_->findChild<QWidget*>(focus)->setFocus();
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(StateOf(list), before);
  QCOMPARE(MenuEntries(list).mid(1, 2),
           (QStringList{"Undo\tCtrl+Z [off]", redo}));
  QCOMPARE(Items(form_->List2()).size(), 4);
  // Nothing older to undo: a second Ctrl+Z changes nothing.
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(StateOf(list), before);
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(StateOf(list), after);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(StateOf(list), before);
  Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
  QCOMPARE(StateOf(list), after);
  VerifyDialogs();
}

void Form1Test::aNewChangeDropsTheRedoSteps() {
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
  Press("Check4");  // a, b, "", c x
  Press("Check6");  // d, ""
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List2()), kList2);
  // A cancelled prompt (the prompt answers "" for both Cancel and an empty
  // field) is no change: the list stays and so does the redo step.
  dialogs_->ExpectInputBox("").ExpectInputBox("");
  Press("Check10");
  Press("Check17");
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(Items(form_->List2()), (QStringList{"d", ""}));
  Key(Qt::CTRL | Qt::Key_Z);
  Press("Check18");  // a, b, c x: the redo of Check6 goes
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(Items(form_->List2()), kList2);
  QCOMPARE(MenuEntries(form_->List1()).mid(1, 2),
           (QStringList{"Undo Remove Blanks From List 1\tCtrl+Z",
                        "Redo\tCtrl+Shift+Z, Ctrl+Y [off]"}));
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), (QStringList{"a", "b", "", "c x"}));
  Key(Qt::CTRL | Qt::Key_Z);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), kList1);
  QCOMPARE(Items(form_->List2()), kList2);
  VerifyDialogs();
}

void Form1Test::theHistoryKeepsStepsOfBigLists() {
  // Two lists of two million items: each Clear hands its whole list to the
  // history, and both steps stay.
  for (ListBox* list : {&form_->List1(), &form_->List2()}) {
    list->Items().Reserve(2'000'000, 32'000'000);
    for (int i = 0; i < 2'000'000; ++i) {
      list->Items().AddItem(std::to_string(i + 1'000'000'000'000'000'000));
    }
    list->ItemsChanged();
  }
  Press("Check1");
  Press("Check2");
  Key(Qt::CTRL | Qt::Key_Z);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(form_->List1().Items().ListCount(), 2'000'000);
  QCOMPARE(form_->List2().Items().ListCount(), 2'000'000);
}

void Form1Test::copyAndPasteKeepTheBytes() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ListBox& list1 = form_->List1();
  ListBox& list2 = form_->List2();
  list1.Items().AddItem("first");
  list1.Items().AddItem("caf\xE9, \"8-bit\"");
  list1.ItemsChanged();
  list1.setFocus();
  // Nothing selected: Ctrl+C leaves the clipboard alone.
  clipboard->setText("unchanged");
  Key(Qt::CTRL | Qt::Key_C);
  QCOMPARE(clipboard->text(), "unchanged");
  list1.Select(1);
  Key(Qt::CTRL | Qt::Key_C);
  for (const char* format : {"application/x-karvello-list", "text/plain"}) {
    QCOMPARE(clipboard->mimeData()->data(format), "caf\xE9, \"8-bit\"");
  }
  Key(Qt::CTRL | Qt::SHIFT | Qt::Key_C);
  QCOMPARE(clipboard->mimeData()->data("text/plain"),
           "first\ncaf\xE9, \"8-bit\"\n");

  // Pasted text is read as a list file: commas and line ends split, quotes
  // group, a UTF-16 mark is decoded. The window's own format comes first,
  // then text/plain, then text.
  Fill(list2, {"kept"});
  auto* mime = new QMimeData;
  mime->setData("text/plain", "x,\"y,z\"\r\n\xff\xfe\r\nlast");
  clipboard->setMimeData(mime);
  list2.setFocus();
  Key(Qt::CTRL | Qt::Key_V);
  QCOMPARE(Items(list2), (QStringList{"kept", "x", "y,z", "\xff\xfe", "last"}));
  QCOMPARE(list2.Items().List(3), "\xff\xfe");
  // The extent follows the new items, as after a Load.
  QVERIFY(list2.HorizontalExtent() >
          list2.fontMetrics().horizontalAdvance("y,z"));
  mime = new QMimeData;
  mime->setData("application/x-karvello-list", "own\xE9");
  mime->setData("text/plain", "plain");
  clipboard->setMimeData(mime);
  Key(Qt::CTRL | Qt::Key_V);
  clipboard->setText("text");
  Key(Qt::CTRL | Qt::Key_V);
  QCOMPARE(list2.Items().List(5), "own\xE9");
  QCOMPARE(list2.Items().List(6), "text");
  QCOMPARE(list1.Items().ListCount(), 2);
  VerifyDialogs();
}

void Form1Test::drops_data() {
  QTest::addColumn<QString>("on");
  QTest::addColumn<QStringList>("urls");  // a bare name: a file in a folder
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("missing");  // the file a message names
  QTest::addColumn<QStringList>("added");
  QTest::newRow("files on Frame2's margin")
      << "Frame2" << QStringList{"three.txt", "missing.txt", "one.txt"} << ""
      << "missing.txt" << QStringList{"c", "a", "b"};
  QTest::newRow("files on List 1's Clear")
      << "Check1" << QStringList{"one.txt"} << ""
      << "" << QStringList{"a", "b"};
  QTest::newRow("a name that is not UTF-8")
      << "List2" << QStringList{"caf%E9.txt"} << ""
      << "" << QStringList{"8-bit"};
  QTest::newRow("a web link with its text")
      << "List1" << QStringList{"https://example.com/a"}
      << "https://example.com/a"
      << "" << QStringList{"https://example.com/a"};
  QTest::newRow("text") << "List1" << QStringList{} << "p\nq"
                        << "" << QStringList{"p", "q"};
  QTest::newRow("neither: refused") << "List1" << QStringList{} << ""
                                    << "" << QStringList{};
}

void Form1Test::drops() {
  QFETCH(QString, on);
  QFETCH(QStringList, urls);
  QFETCH(QString, text);
  QFETCH(QString, missing);
  QFETCH(QStringList, added);
  QTemporaryDir dir;
  WriteFile(dir.filePath("one.txt"), "a\r\nb\r\n");
  WriteFile(dir.filePath("three.txt"), "c\r\n");
  const std::string eight_bit = Bytes(dir.path()) + "/caf\xE9.txt";
  const int fd = ::open(eight_bit.c_str(), O_WRONLY | O_CREAT, 0600);
  QVERIFY(fd >= 0 && ::write(fd, "8-bit", 5) == 5 && ::close(fd) == 0);
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
  ListBox& list = on.endsWith('2') ? form_->List2() : form_->List1();
  const QStringList other =
      Items(&list == &form_->List1() ? form_->List2() : form_->List1());
  QMimeData mime;
  QList<QUrl> dropped;
  const QByteArray folder = QUrl::toPercentEncoding(dir.path(), "/");
  for (const QString& url : urls) {
    dropped << (url.contains(':') ? QUrl(url)
                                  : QUrl::fromEncoded("file://" + folder + "/" +
                                                      url.toLatin1()));
  }
  if (!dropped.isEmpty()) mime.setUrls(dropped);
  if (!text.isEmpty()) mime.setText(text);
  if (!missing.isEmpty()) {
    dialogs_->ExpectMsgBox("File not found: " + Bytes(dir.filePath(missing)));
  }
  // On a panel's margin, away from its controls.
  const QPoint at = on.startsWith("Frame") ? QPoint(3, 300) : QPoint(5, 5);
  const QStringList before = Items(list);
  QCOMPARE(Drop(form_->findChild<QWidget*>(on), at, &mime), !added.isEmpty());
  // The drop has ended before any message or change.
  QCOMPARE(Items(list), before);
  QTRY_COMPARE(Items(list), before + added);
  QCOMPARE(Items(&list == &form_->List1() ? form_->List2() : form_->List1()),
           other);
  VerifyDialogs();
}

void Form1Test::theListMenu() {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  ListBox& list = form_->List2();
  QStringList items;
  for (int i = 0; i < 1234; ++i) items << QString::number(i);
  Fill(list, items);
  // With nothing to undo or redo, both show greyed.
  const QStringList expected = {"1,234 items",
                                "Undo\tCtrl+Z [off]",
                                "Redo\tCtrl+Shift+Z, Ctrl+Y [off]",
                                "Copy Item\tCtrl+C [off]",
                                "Copy List\tCtrl+Shift+C",
                                "Paste\tCtrl+V"};
  QCOMPARE(MenuEntries(list, 3), expected);
  QCOMPARE(list.Items().ListIndex(), -1);  // a right click selects nothing
  // The shortcuts still work once it has closed.
  Press("Check2");
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(list.Items().ListCount(), 1234);
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(list.Items().ListCount(), 0);
  QCOMPARE(MenuEntries(list).first(), "0 items");
  Fill(list, {"only"});
  QCOMPARE(MenuEntries(list).first(), "1 item");

  // From the keyboard it opens at the selected row, scrolled into view;
  // the count line is the first entry the arrow keys reach.
  Fill(list, items);
  list.Select(500);
  list.SetTopIndex(0);
  QRect where;
  QCOMPARE(MenuEntries(list, -1, &where).value(3), "Copy Item\tCtrl+C");
  QVERIFY(list.viewport()->rect().contains(list.ItemRect(500)));
  QCOMPARE(where.top(),
           list.viewport()->mapToGlobal(list.ItemRect(500).center()).y());
  QContextMenuEvent menu_key(QContextMenuEvent::Keyboard, QPoint(5, 5),
                             list.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&list, &menu_key);
  auto* menu = form_->findChild<QMenu*>("ListMenu");
  QVERIFY(QTest::qWaitForWindowExposed(menu));
  QCOMPARE(menu->geometry().top(), where.top());
  QTest::keyClick(menu, Qt::Key_Down);
  QCOMPARE(menu->activeAction()->text(), "1,234 items");
  // Paste from the menu goes to the list it was opened on.
  QGuiApplication::clipboard()->setText("pasted");
  menu->actions().last()->trigger();
  menu->close();
  QCOMPARE(list.Items().List(1234), "pasted");
  QCOMPARE(form_->List1().Items().ListCount(), 0);
}

void Form1Test::aCancelledLoadLeavesTheListAsItWas() {
  // A pipe that a writer holds open but never writes to: the read waits for
  // good.
  QTemporaryDir dir;
  const std::string fifo = Bytes(dir.filePath("fifo"));
  QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR);
  QVERIFY(writer >= 0);
  Fill(form_->List1(), kList1);
  Press("Check4");  // a step that Ctrl+Z takes back afterwards
  const ListState before = StateOf(form_->List1());
  // The window goes on while the progress window waits; then Cancel.
  bool answered = false;
  QElapsedTimer cancelled;
  dialogs_->ExpectOpen({fifo}).ExpectProgress([&] {
    QTimer::singleShot(0, [&] { answered = true; });
    QTest::qWait(50);
    cancelled.start();
  });
  Press("Check3");
  QVERIFY(cancelled.isValid() && cancelled.elapsed() < 1000);
  QVERIFY(answered);
  QCOMPARE(StateOf(form_->List1()), before);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), kList1);
  VerifyDialogs();

  // The reading thread itself stops at once, and keeps nothing.
  auto read =
      karvello::BackgroundRead::Start({karvello::BackgroundRead::File(fifo)});
  QVERIFY(!read->WaitFor(std::chrono::milliseconds(100)));
  read->Cancel();
  QVERIFY(read->WaitFor(std::chrono::milliseconds(1000)));
  QVERIFY(read->Results().empty());
  ::close(writer);
}

// On a real X server: the keys and clicks come from outside the process
// (xdotool), as a user's do.
void Form1Test::realKeysAndClicks() {
  if (!OnRealX()) QSKIP("needs a real X server");
  form_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  // The window handles nothing meanwhile: the input waits in the queue.
  auto click = [this](const char* name) {
    const QPoint at = Button(name)->mapToGlobal(Button(name)->rect().center());
    return QProcess::execute("xdotool",
                             {"mousemove", "--sync", QString::number(at.x()),
                              QString::number(at.y()), "click", "1"}) == 0;
  };
  auto key = [](const char* keys) {
    return QProcess::execute("xdotool", {"key", "--clearmodifiers", keys}) == 0;
  };
  ListBox& list = form_->List1();
  Fill(list, {"apple", "pear", "plum", "", "pear"});
  QVERIFY(click("Check4"));  // Remove List 1 Dupes Except First
  QTRY_COMPARE(Items(list).size(), 4);
  for (const char* keys : {"ctrl+z", "ctrl+y", "ctrl+z", "ctrl+shift+z"}) {
    QVERIFY(key(keys));
    QTRY_COMPARE(Items(list).size(), keys == std::string("ctrl+z") ? 5 : 4);
  }
  // While "Remove List 1 Items With..." waits for its prompt, the user
  // clicks two more buttons: each click runs once, in order, after it.
  bool clicked = false;
  dialogs_->ExpectInputBox(
      "pp", [&] { clicked = click("Check18") && click("Check16"); });
  dialogs_->ExpectInputBox("l");
  QVERIFY(click("Check17"));
  QTRY_VERIFY(dialogs_->Done());
  QVERIFY(clicked);
  QTRY_COMPARE(Items(list), QStringList{"plum"});
  VerifyDialogs();
}

void Form1Test::pasteFromAnotherProgram_data() {
  QTest::addColumn<QString>("format");
  QTest::addColumn<QByteArray>("pasted");
  QTest::newRow("own format")
      << "application/x-karvello-list" << QByteArray("caf\xE9");
  QTest::newRow("text/plain") << "text/plain" << QByteArray("caf\xE9");
  // Offered only as UTF-8 text, the bytes are read as the text they claim
  // to be.
  QTest::newRow("UTF8_STRING")
      << "UTF8_STRING" << QByteArray("caf\xEF\xBF\xBD");
}

void Form1Test::pasteFromAnotherProgram() {
  QFETCH(QString, format);
  QFETCH(QByteArray, pasted);
  if (!OnRealX()) QSKIP("needs a real X server");
  QTemporaryDir dir;
  WriteFile(dir.filePath("bytes"), "caf\xE9");
  // xclip serves the clipboard from a second process until it loses it.
  QVERIFY(QProcess::startDetached("xclip", {"-selection", "clipboard", "-t",
                                            format, dir.filePath("bytes")}));
  QClipboard* clipboard = QGuiApplication::clipboard();
  const QString offered = format == "UTF8_STRING" ? "text/plain" : format;
  QTRY_VERIFY(!clipboard->ownsClipboard() &&
              clipboard->mimeData()->formats().contains(offered));
  ListBox& list = form_->List1();
  list.setFocus();
  Key(Qt::CTRL | Qt::Key_V);
  QCOMPARE(list.Items().ListCount(), 1);
  QCOMPARE(QByteArray(list.Items().List(0).data(),
                      qsizetype(list.Items().List(0).size())),
           pasted);
  // And Copy Item gives another program the bytes as they are.
  list.Select(0);
  Key(Qt::CTRL | Qt::Key_C);
  QByteArray out;
  QVERIFY(Run("xclip", {"-o", "-selection", "clipboard", "-t", "text/plain"},
              &out));
  QCOMPARE(out, pasted);
}

// What a screen reader hears, through at-spi2 and pyatspi (ReadAloud.py),
// with the bus that the test's own D-Bus session starts.
void Form1Test::aScreenReaderHearsTheWindow() {
  if (!OnRealX()) QSKIP("needs a real X server and D-Bus");
  ListBox& list = form_->List1();
  QStringList items;
  for (int i = 1; i <= 40; ++i) items << QStringLiteral("item %1").arg(i);
  Fill(list, items);
  form_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  list.setFocus();
  list.Select(9);
  QByteArray heard;
  const bool ok = Run("/usr/bin/python3",
                      {QStringLiteral(KARVELLO_TEST_SOURCE_DIR "/ReadAloud.py"),
                       QCoreApplication::applicationName()},
                      &heard);
  qInfo("%s", heard.constData());
  QVERIFY2(ok, heard.constData());
  QCOMPARE(list.Items().ListIndex(), 39);  // its End key arrived
}

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
