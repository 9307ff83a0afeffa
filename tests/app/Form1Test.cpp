// The real main window, driven through its buttons, lists, menu and keys
// with every dialog scripted. CTest runs it headless, and again on a real X
// server with its own D-Bus session (RunUnderX.sh) for the cases that need
// one: input from outside the process, another program's clipboard, and
// what a screen reader hears through AT-SPI. Those skip themselves
// elsewhere. Table rows are fields joined by ";", lists items joined by
// "|", "-" for an empty list and "=" for one left as it was.

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

using karvello::ListBox;

namespace {

const QStringList kList1 = {"a", "b", "a", "", "c x"};
const QStringList kList2 = {"b", "d", "", "b"};
const char kWide[] = "a rather wider item than the rest";

QStringList Items(const ListBox& list) {
  QStringList items;
  for (karvello::ItemList::Index i = 0; i < list.Items().ListCount(); ++i) {
    items << QString::fromStdString(std::string(list.Items().List(i)));
  }
  return items;
}

QStringList Split(const QString& items, const QStringList& same = {}) {
  return items == "=" ? same : items == "-" ? QStringList() : items.split('|');
}

void Fill(ListBox& list, const QStringList& items) {
  list.Items().Clear();
  for (const QString& item : items) list.Items().AddItem(item.toStdString());
  list.ItemsChanged();
}

std::string Bytes(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

// Writes a file by the bytes of its name, which need not be UTF-8.
bool WriteFile(const std::string& path, const QByteArray& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  return fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == bytes.size() &&
         ::close(fd) == 0;
}

QByteArray ReadFile(const std::string& path) {
  QFile file(QFile::decodeName(path.c_str()));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
}

// What a user sees of a list, and what undo must give back.
QString StateOf(ListBox& list) {
  return Items(list).join('|') + QStringLiteral(
                                     " selected %1 top %2 extent %3 "
                                     "sideways %4")
                                     .arg(list.Items().ListIndex())
                                     .arg(list.TopIndex())
                                     .arg(list.HorizontalExtent())
                                     .arg(list.horizontalScrollBar()->value());
}

// A real drop of `mime` at `at` on `widget`, as a file manager makes it.
bool Drop(QWidget* widget, QPoint at, QMimeData* mime) {
  QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, {});
  QApplication::sendEvent(widget, &enter);
  QDropEvent drop(QPointF(at), Qt::CopyAction, mime, Qt::LeftButton, {});
  if (enter.isAccepted()) QApplication::sendEvent(widget, &drop);
  return enter.isAccepted() && drop.isAccepted();
}

// Runs a program; `spin` keeps the event loop going meanwhile, so that this
// process can answer it. True when it exited with 0.
bool Run(const QString& program, const QStringList& args, bool spin = false,
         QByteArray* out = nullptr) {
  QProcess process;
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(program, args);
  QElapsedTimer waited;
  waited.start();
  while (spin && process.state() != QProcess::NotRunning &&
         !waited.hasExpired(60000)) {
    QTest::qWait(10);
  }
  process.waitForFinished(60000);
  if (out != nullptr) *out = process.readAllStandardOutput();
  return process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

bool OnRealX() { return QGuiApplication::platformName() == "xcb"; }

void AddRows(std::initializer_list<const char*> rows) {
  QTest::addColumn<QStringList>("f");
  for (const char* row : rows) {
    QTest::newRow(row) << QString::fromUtf8(row).split(';');
  }
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void startUpLaysOutTheWindow();
  void everyActionChangesOnlyItsList_data();
  void everyActionChangesOnlyItsList();
  void loadAndSaveThroughTheFileDialog();
  void undoAndRedoBringBackTheWholeList_data();
  void undoAndRedoBringBackTheWholeList();
  void aNewChangeDropsTheRedoSteps();
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
    return form_->findChild<QPushButton*>(name);
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
  // The entries of `list`'s menu, opened by a right click (or by Shift+F10
  // when `keyboard`), "[off]" after a greyed one; closed again.
  QStringList MenuEntries(ListBox& list, bool keyboard = false,
                          QRect* where = nullptr);
  void VerifyDialogs() {
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }
  std::string Path(const QString& name) { return Bytes(dir_.filePath(name)); }

  QTemporaryDir dir_;
  std::unique_ptr<karvello::ScriptedDialogs> dialogs_;
  std::unique_ptr<karvello::Form1> form_;
};

void Form1Test::init() {
  QVERIFY(WriteFile(Path("one.txt"), kWide + QByteArray("\r\n1\r\n")));
  QVERIFY(WriteFile(Path("two.txt"), "2\n3\n"));
  dialogs_ = std::make_unique<karvello::ScriptedDialogs>();
  form_ = std::make_unique<karvello::Form1>(*dialogs_);
  form_->show();
  QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
}

void Form1Test::cleanup() {
  form_.reset();
  dialogs_.reset();
}

QStringList Form1Test::MenuEntries(ListBox& list, bool keyboard, QRect* where) {
  if (keyboard) {
    list.setFocus();
    Key(Qt::SHIFT | Qt::Key_F10);
  } else {
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                            list.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(list.viewport(), &click);
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
  // 7175 x 6755 twips outer size, centred on the whole screen, which a
  // larger window overhangs evenly.
  const QRect screen = form_->screen()->geometry();
  QCOMPARE(form_->frameGeometry(),
           QRect(screen.center() - QPoint(238, 224), QSize(478, 450)));
  QWidget big;
  big.resize(screen.size() + QSize(200, 100));
  karvello::CenterForm(big);
  QCOMPARE(big.frameGeometry().topLeft(), screen.topLeft() + QPoint(-100, -50));
  QCOMPARE(form_->windowTitle(), "Karvello");
  // Check1 belongs to the window but is drawn over Frame1.
  QCOMPARE(form_->childAt(Button("Check1")->geometry().center()),
           Button("Check1"));
  QCOMPARE(form_->List1().toolTip() + form_->List2().toolTip(),
           "Double click list item to remove it.Double click list item to "
           "remove it.");
  auto* frame = form_->findChild<QGroupBox*>("Frame2");
  QCOMPARE(QColor(frame->grab().toImage().pixel(4, frame->height() - 6)),
           QColor(Qt::white));
  // The pointer: the default, then the hand over what takes a click, the
  // arrow elsewhere (the platform's hand: no HAND-M.CUR beside the tests).
  QString pointers = QString::number(form_->MousePointer());
  for (const char* over :
       {"Check7", "Frame1", "List1", "Form1", "Check1", "Frame2", "List2"}) {
    auto* widget = form_->findChild<QWidget*>(over);
    QTest::mouseMove(widget ? widget : form_.get(),
                     widget ? QPoint(3, 8) : QPoint(470, 200));
    pointers += QStringLiteral(" %1:%2")
                    .arg(form_->MousePointer())
                    .arg(form_->cursor().shape());
  }
  QCOMPARE(pointers, "0 99:13 1:0 99:13 1:0 99:13 1:0 99:13");

  // The focus starts on the unseen Command1, which a screen reader hears as
  // the window, and Tab follows the tab indices; the buttons are push
  // buttons that Press.
  form_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  QStringList visited;
  for (int i = 0; i < 24; ++i) {
    QWidget* focus = QApplication::focusWidget();
    auto* a11y = QAccessible::queryAccessibleInterface(focus);
    visited << focus->objectName();
    if (a11y->role() != QAccessible::Button) {
      visited.last() += QStringLiteral("(%1 %2)")
                            .arg(a11y->role())
                            .arg(a11y->text(QAccessible::Name));
    } else {
      QCOMPARE(a11y->actionInterface()->actionNames().value(0),
               QAccessibleActionInterface::pressAction());
      QVERIFY(!a11y->state().checkable);
    }
    QTest::keyClick(focus, Qt::Key_Tab);
  }
  // Command1's role is Client (10), a list's List (33).
  QCOMPARE(visited.join(' '),
           "Command1(10 Karvello) Check7 Check4 Check20 Check19 Check18 "
           "Check17 Check16 Check15 Check3 List1(33 List 1) Check6 Check5 "
           "List2(33 List 2) Check14 Check13 Check12 Check11 Check10 Check9 "
           "Check8 Check1 Check2 Command1(10 Karvello)");
}

void Form1Test::everyActionChangesOnlyItsList_data() {
  // An action is a button with its caption and its prompt's answer, or a
  // double-click on row N ("click N"), or Delete with item N selected.
  // clang-format off
  AddRows({"Check1;Clear;;-;=", "Check2;Clear;;=;-",
    "Check17;Remove List 1 Items With...;a;b||c x;=",
    "Check17;Remove List 1 Items With...; ;a|b|a|;=",
    "Check16;Remove List 1 Items Without...;a;a|a;=",
    "Check16;Remove List 1 Items Without...; ;c x;=",
    "Check10;Remove List 2 Items With...;b;=;d|",
    "Check9;Remove List 2 Items Without...;b;=;b|b",
    "Check18;Remove Blanks From List 1;;a|b|a|c x;=",
    "Check11;Remove Blanks From List 2;;=;b|d|b",
    "Check19;Subtract List 2 From List 1;;a|a|c x;=",
    "Check12;Subtract List 1 From List 2;;=;d",
    "Check15;Keep Only Matches in List 2;;b|;=",
    "Check8;Keep Only Matches in List 1;;=;b||b",
    "Check4;Remove List 1 Dupes Except First;;a|b||c x;=",
    "Check5;Remove List 2 Dupes Except First;;=;b|d|",
    "Check7;Remove All List 1 Dupes;;b||c x;=",
    "Check6;Remove All List 2 Dupes;;=;d|",
    "click 1;;;a|a||c x;=", "click 6 (below the items);;;=;=",
    "Delete 3;;;a|b|a|c x;=", "Delete -1;;;=;="});
  // clang-format on
}

void Form1Test::everyActionChangesOnlyItsList() {
  QFETCH(QStringList, f);
  ListBox& list = form_->List1();
  const int n = f[0].section(' ', 1, 1).toInt();
  const QPoint at(20, list.RowHeight() * n + 5);
  bool down = false;
  list.Select(0);  // a double-click below the items must leave it alone
  if (f[0].startsWith("Delete")) {
    list.Select(n);
    list.setFocus();
    Key(Qt::Key_Delete);
  } else if (f[0].startsWith("click")) {
    // A double-click's first click selects the item under it, if any.
    QVERIFY(list.viewport()->rect().contains(at));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, at);
  } else {
    QCOMPARE(Button(f[0])->text(), f[1]);
    // The button is up while its prompt shows, and a second run of the
    // command would ask a second, unexpected time.
    if (!f[2].isEmpty()) {
      dialogs_->ExpectInputBox(f[2].toStdString(),
                               [&] { down = Button(f[0])->isDown(); });
    }
    Press(f[0]);
  }
  QVERIFY(!down);
  QCOMPARE(Items(list), Split(f[3], kList1));
  QCOMPARE(Items(form_->List2()), Split(f[4], kList2));
  VerifyDialogs();
}

void Form1Test::loadAndSaveThroughTheFileDialog() {
  const std::string one = Path("one.txt"), two = Path("two.txt");
  ListBox& list = form_->List1();
  // The item kept is the widest: the new extent is measured over all.
  const char kKept[] = "a kept item, wider than any of the files'";
  Fill(list, {kKept});
  list.SetHorizontalExtent(123);
  // Nothing chosen: nothing changes, the extent neither. Then the files in
  // the order given, a missing one reported, the extent recomputed.
  dialogs_->ExpectOpen({}).ExpectOpen({two, Path("none"), one});
  dialogs_->ExpectMsgBox("File not found");
  Press("Check3");
  QCOMPARE(list.HorizontalExtent(), 123);
  Press("Check3");
  QCOMPARE(Items(list), (QStringList{kKept, "2", "3", kWide, "1"}));
  QVERIFY(list.HorizontalExtent() >
          list.fontMetrics().horizontalAdvance(kKept));
  // Clear leaves the extent alone; a folder is no list file, and says so.
  const int extent = list.HorizontalExtent();
  Press("Check1");
  QCOMPARE(list.HorizontalExtent(), extent);
  dialogs_->ExpectOpen({Bytes(dir_.path()), one});
  dialogs_->ExpectMsgBox("Cannot read " + Bytes(dir_.path()) +
                         ": Is a directory");
  Press("Check3");
  QCOMPARE(Items(list), (QStringList{kWide, "1"}));

  // Save proposes the first file of the last choice and asks before
  // replacing a file; a new name asks nothing and gets no extension.
  const std::string question =
      "Are you sure you wish to overwrite " + one + " ?";
  dialogs_->ExpectSave(one).ExpectYesNo(question, false);
  dialogs_->ExpectSave(one).ExpectYesNo(question, true);
  dialogs_->ExpectSave(Path("new")).ExpectSave("").ExpectOpen({});
  Press("Check13");
  QCOMPARE(ReadFile(one), kWide + QByteArray("\r\n1\r\n"));
  Press("Check13");
  Press("Check20");
  QCOMPARE(ReadFile(one) + ReadFile(Path("new")),
           "b\r\nd\r\n\r\nb\r\n" + (kWide + QByteArray("\r\n1\r\n")));
  Press("Check20");
  Press("Check14");  // after a cancel, nothing is proposed
  VerifyDialogs();
  // What each dialog was asked for: the Load's three and the Save's.
  const auto& requests = dialogs_->file_requests;
  QCOMPARE(requests[1].file_name + "|" + requests[3].file_name + "|" +
               requests.back().file_name,
           "|" + Bytes(dir_.path()) + "|");
  for (const auto& request : {requests[0], requests[3]}) {
    QCOMPARE(request.title + "|" + request.filter + "|" +
                 std::to_string(request.flags),
             request.kind == karvello::FileDialogRequest::Kind::kOpen
                 ? "Load List(s) - Hold Ctrl to select multiple list "
                   "files|All Files (*.*)|*.*||2621953"
                 : "Save List|All Files (*.*)|*.*|Text Files "
                   "(*.txt)|*.txt|List Files (*.lst)|*.lst||2621953");
  }
}

void Form1Test::undoAndRedoBringBackTheWholeList_data() {
  // The change to List 1, its count after, where Ctrl+Z is typed, and the
  // step as the menu names it.
  // clang-format off
  AddRows({"Check4;50;List1;Remove List 1 Dupes Except First",
    "Check7;20;Command1;Remove All List 1 Dupes", "Check1;0;List2;Clear (List 1)",
    "Check17;72;Check2;Remove List 1 Items With...",
    "Check19;74;List1;Subtract List 2 From List 1",
    "Check15;6;List1;Keep Only Matches in List 2 (List 1)",
    "Check3;84;List1;Load (List 1)", "Delete;79;List1;Remove Item (List 1)",
    "double-click;79;List1;Remove Item (List 1)", "paste;83;List1;Paste (List 1)",
    "drop files;84;Check7;Drop (List 1)", "drop text;81;List2;Drop (List 1)"});
  // clang-format on
}

void Form1Test::undoAndRedoBringBackTheWholeList() {
  QFETCH(QStringList, f);
  // 80 items, 30 of them second copies; "line 5" and "line 55" contain "5".
  ListBox& list = form_->List1();
  QStringList items;
  for (int i = 0; i < 80; ++i) items << QStringLiteral("line %1").arg(i % 50);
  Fill(list, items);
  Fill(form_->List2(), {"line 3", "line 7", "line 30", "line 41"});
  list.SetHorizontalExtent(400);
  list.SetTopIndex(30);
  list.horizontalScrollBar()->setValue(25);
  list.Select(31);
  const QString before = StateOf(list);
  QVERIFY(before.endsWith("selected 31 top 30 extent 400 sideways 25"));
  auto mime = std::make_unique<QMimeData>();
  mime->setText(f[0] == "paste" ? "x,y\n\"p,q\"\n" : "dropped");
  if (f[0] == "drop files") {
    mime->setUrls({QUrl::fromLocalFile(dir_.filePath("one.txt")),
                   QUrl::fromLocalFile(dir_.filePath("two.txt"))});
  }
  if (f[0] == "double-click") {
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {},
                       list.ItemRect(31).center());
  } else if (f[0] == "Delete" || f[0] == "paste") {
    QGuiApplication::clipboard()->setMimeData(mime.release());
    list.setFocus();
    Key(f[0] == "paste" ? Qt::CTRL | Qt::Key_V
                        : QKeyCombination(Qt::Key_Delete));
  } else if (f[0].startsWith("drop")) {
    QVERIFY(Drop(list.viewport(), QPoint(10, 10), mime.get()));
    QTest::qWait(0);  // the drop's work comes after it
  } else {
    if (f[0] == "Check17") dialogs_->ExpectInputBox("5");
    if (f[0] == "Check3") {
      dialogs_->ExpectOpen({Path("one.txt"), Path("two.txt")});
    }
    Press(f[0]);
  }
  const QString after = StateOf(list);
  QCOMPARE(list.Items().ListCount(), f[1].toInt());
  const QString redo = "\tCtrl+Shift+Z, Ctrl+Y";
  QCOMPARE(
      MenuEntries(form_->List2()).mid(1, 2),
      (QStringList{"Undo " + f[3] + "\tCtrl+Z", "Redo" + redo + " [off]"}));
  form_->findChild<QWidget*>(f[2])->setFocus();
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(StateOf(list), before);
  QCOMPARE(MenuEntries(list).mid(1, 2),
           (QStringList{"Undo\tCtrl+Z [off]", "Redo " + f[3] + redo}));
  Key(Qt::CTRL | Qt::Key_Z);  // nothing older: no change
  QCOMPARE(StateOf(list) + Items(form_->List2()).join('|'),
           before + "line 3|line 7|line 30|line 41");
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(StateOf(list), after);
  Key(Qt::CTRL | Qt::Key_Z);
  Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
  QCOMPARE(StateOf(list), after);
  VerifyDialogs();
}

void Form1Test::aNewChangeDropsTheRedoSteps() {
  Press("Check4");  // a, b, "", c x
  Press("Check6");  // d, ""
  Key(Qt::CTRL | Qt::Key_Z);
  // A cancelled prompt (the prompt answers "" for both Cancel and an empty
  // field) is no change: the redo step stays, until a real change.
  dialogs_->ExpectInputBox("").ExpectInputBox("");
  Press("Check10");
  Press("Check17");
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(Items(form_->List2()), (QStringList{"d", ""}));
  Key(Qt::CTRL | Qt::Key_Z);
  Press("Check18");  // a, b, c x
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(MenuEntries(form_->List1()).mid(1, 2),
           (QStringList{"Undo Remove Blanks From List 1\tCtrl+Z",
                        "Redo\tCtrl+Shift+Z, Ctrl+Y [off]"}));
  for (int i = 0; i < 3; ++i) Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List1()) + Items(form_->List2()), kList1 + kList2);
  // A list emptied by a removal keeps the removed texts for its undo step:
  // a paste into it, taken back, gives them back too.
  dialogs_->ExpectInputBox("z");
  Press("Check16");
  QGuiApplication::clipboard()->setText("pasted");
  form_->List1().setFocus();
  Key(Qt::CTRL | Qt::Key_V);
  Key(Qt::CTRL | Qt::Key_Z);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(Items(form_->List1()), kList1);

  // Two lists of two million items: a Clear hands its whole list to the
  // history, and the steps of both stay.
  for (ListBox* list : {&form_->List1(), &form_->List2()}) {
    for (int i = 0; i < 2'000'000; ++i) {
      list->Items().AddItem(std::to_string(i + 1'000'000'000'000'000'000));
    }
    list->ItemsChanged();
  }
  Press("Check1");
  Press("Check2");
  Key(Qt::CTRL | Qt::Key_Z);
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(
      form_->List1().Items().ListCount() + form_->List2().Items().ListCount(),
      4'000'009);
  VerifyDialogs();
}

void Form1Test::copyAndPasteKeepTheBytes() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ListBox& list1 = form_->List1();
  Fill(list1, {"first"});
  list1.Items().AddItem("caf\xE9, \"8-bit\"");
  list1.setFocus();
  // Nothing selected: Ctrl+C leaves the clipboard alone.
  clipboard->setText("unchanged");
  Key(Qt::CTRL | Qt::Key_C);
  QCOMPARE(clipboard->text(), "unchanged");
  list1.Select(1);
  Key(Qt::CTRL | Qt::Key_C);
  const QMimeData* copied = clipboard->mimeData();
  QCOMPARE(copied->data("application/x-karvello-list") + "|" +
               copied->data("text/plain"),
           "caf\xE9, \"8-bit\"|caf\xE9, \"8-bit\"");
  Key(Qt::CTRL | Qt::SHIFT | Qt::Key_C);
  QCOMPARE(clipboard->mimeData()->data("text/plain"),
           "first\ncaf\xE9, \"8-bit\"\n");

  // Pasted text is read as a list file: commas and line ends split, quotes
  // group, a UTF-16 mark is decoded. The window's own format comes first,
  // then text/plain; the extent follows.
  ListBox& list2 = form_->List2();
  Fill(list2, {});
  list2.setFocus();
  for (const char* own : {"own\xE9", ""}) {
    auto* mime = new QMimeData;
    if (*own) mime->setData("application/x-karvello-list", own);
    mime->setData("text/plain", "x,\"y,z\"\r\n\xff\xfe\r\nlast");
    clipboard->setMimeData(mime);
    Key(Qt::CTRL | Qt::Key_V);
  }
  QCOMPARE(Items(list2),
           (QStringList{"own\xE9", "x", "y,z", "\xff\xfe", "last"}));
  QCOMPARE(list2.Items().List(0).back(), '\xE9');
  QCOMPARE(list2.Items().List(3), "\xff\xfe");
  QVERIFY(list2.HorizontalExtent() >
          list2.fontMetrics().horizontalAdvance("y,z"));
  QCOMPARE(list1.Items().ListCount(), 2);
}

void Form1Test::drops_data() {
  // Where, the URLs (a bare name is a file in the test's folder), the text,
  // the missing file a message names, and what the list of that panel gets.
  // clang-format off
  AddRows({"Frame2;two.txt|none|one.txt;;none;2|3|*|1",
    "Check1;two.txt;;;2|3", "List2;caf%E9;;;8-bit",
    "List1;https://example.com/a;https://example.com/a;;https://example.com/a",
    "List1;-;p,q;;p|q", "List1;-;;;-"});
  // clang-format on
}

void Form1Test::drops() {
  QFETCH(QStringList, f);
  QVERIFY(WriteFile(Bytes(dir_.path()) + "/caf\xE9", "8-bit"));
  QList<QUrl> urls;
  for (const QString& url : Split(f[1])) {
    urls << (url.contains(':')
                 ? QUrl(url)
                 : QUrl::fromEncoded(
                       QUrl::fromLocalFile(dir_.path()).toEncoded() + "/" +
                       url.toLatin1()));
  }
  QMimeData mime;
  if (!urls.isEmpty()) mime.setUrls(urls);
  if (!f[2].isEmpty()) mime.setText(f[2]);
  if (!f[3].isEmpty()) {
    dialogs_->ExpectMsgBox("File not found: " + Path(f[3]));
  }
  // On a panel's margin, away from its controls.
  const QPoint at = f[0].startsWith("Frame") ? QPoint(3, 300) : QPoint(5, 5);
  const QStringList added = Split(f[4]).replaceInStrings("*", kWide);
  QCOMPARE(Drop(form_->findChild<QWidget*>(f[0]), at, &mime), !added.isEmpty());
  // The drop has ended before any message or change.
  QCOMPARE(Items(form_->List1()) + Items(form_->List2()), kList1 + kList2);
  QTRY_COMPARE(
      Items(form_->List1()) + Items(form_->List2()),
      f[0].endsWith('2') ? kList1 + kList2 + added : kList1 + added + kList2);
  ::unlink((Bytes(dir_.path()) + "/caf\xE9").c_str());  // no QString names it
  VerifyDialogs();
}

void Form1Test::theListMenu() {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  ListBox& list = form_->List2();
  QStringList items;
  for (int i = 0; i < 1234; ++i) items << QString::number(i);
  Fill(list, items);
  // A right click selects nothing; with nothing to undo or redo, both
  // show greyed, and their shortcuts still work once the menu has closed.
  QCOMPARE(
      MenuEntries(list).join('|'),
      "1,234 items|Undo\tCtrl+Z [off]|Redo\tCtrl+Shift+Z, Ctrl+Y "
      "[off]|Copy Item\tCtrl+C [off]|Copy List\tCtrl+Shift+C|Paste\tCtrl+V");
  Press("Check2");
  Key(Qt::CTRL | Qt::Key_Z);
  QCOMPARE(list.Items().ListCount(), 1234);
  Key(Qt::CTRL | Qt::Key_Y);
  QCOMPARE(MenuEntries(list).value(0), "0 items");
  Fill(list, {"only"});
  QCOMPARE(MenuEntries(list).value(0), "1 item");

  // From the keyboard it opens at the selected row, scrolled into view,
  // and the arrow keys reach the count line first.
  Fill(list, items);
  list.Select(500);
  list.SetTopIndex(0);
  QRect where;
  QCOMPARE(MenuEntries(list, true, &where).value(3), "Copy Item\tCtrl+C");
  QCOMPARE(where.top(),
           list.viewport()->mapToGlobal(list.ItemRect(500).center()).y());
  QContextMenuEvent menu_key(QContextMenuEvent::Keyboard, QPoint(5, 5),
                             list.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&list, &menu_key);  // the Menu key
  auto* menu = form_->findChild<QMenu*>("ListMenu");
  QVERIFY(QTest::qWaitForWindowExposed(menu));
  QCOMPARE(menu->geometry(), where);
  QTest::keyClick(menu, Qt::Key_Down);
  QCOMPARE(menu->activeAction()->text(), "1,234 items");
  // Paste from the menu goes to the list it was opened on.
  QGuiApplication::clipboard()->setText("pasted");
  menu->actions().last()->trigger();
  menu->close();
  QCOMPARE(list.Items().List(1234), "pasted");
  QCOMPARE(Items(form_->List1()), kList1);
}

void Form1Test::aCancelledLoadLeavesTheListAsItWas() {
  // A pipe that a writer holds open but never writes to: the read waits for
  // good.
  const std::string fifo = Path("fifo");
  QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR);
  Press("Check4");  // a step that Ctrl+Z takes back afterwards
  const QString before = StateOf(form_->List1());
  // The window goes on while the progress window waits; then Cancel.
  bool answered = false;
  QElapsedTimer cancelled;
  dialogs_->ExpectOpen({fifo}).ExpectProgress([&] {
    QTimer::singleShot(0, [&] { answered = true; });
    QTest::qWait(50);
    cancelled.start();
  });
  Press("Check3");
  QVERIFY(answered && cancelled.isValid() && cancelled.elapsed() < 1000);
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

// On a real X server: keys and clicks from outside the process (xdotool),
// as a user's come, while the window handles nothing else.
void Form1Test::realKeysAndClicks() {
  if (!OnRealX()) QSKIP("needs a real X server");
  form_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  auto click = [this](const char* name) {
    const QPoint at = Button(name)->mapToGlobal(Button(name)->rect().center());
    return Run("xdotool", {"mousemove", "--sync", QString::number(at.x()),
                           QString::number(at.y()), "click", "1"});
  };
  ListBox& list = form_->List1();
  Fill(list, {"apple", "pear", "plum", "", "pear"});
  QVERIFY(click("Check4"));  // Remove List 1 Dupes Except First
  QTRY_COMPARE(Items(list).size(), 4);
  QVERIFY(Run("xdotool", {"key", "--clearmodifiers", "ctrl+z"}));
  QTRY_COMPARE(Items(list).size(), 5);
  QVERIFY(Run("xdotool", {"key", "--clearmodifiers", "ctrl+y"}));
  QTRY_COMPARE(Items(list).size(), 4);
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
  AddRows({"application/x-karvello-list", "text/plain", "UTF8_STRING"});
}

void Form1Test::pasteFromAnotherProgram() {
  QFETCH(QStringList, f);
  if (!OnRealX()) QSKIP("needs a real X server");
  // Offered only as UTF-8 text, the bytes are the text they claim to be.
  const QByteArray pasted =
      f[0] == "UTF8_STRING" ? "caf\xEF\xBF\xBD" : "caf\xE9";
  QVERIFY(WriteFile(Path("bytes"), "caf\xE9"));
  // xclip serves the clipboard from a second process until it loses it.
  QVERIFY(QProcess::startDetached("xclip", {"-selection", "clipboard", "-t",
                                            f[0], dir_.filePath("bytes")}));
  QClipboard* clipboard = QGuiApplication::clipboard();
  QTRY_VERIFY(!clipboard->ownsClipboard() &&
              clipboard->mimeData()->formats().contains(
                  f[0] == "UTF8_STRING" ? "text/plain" : f[0]));
  ListBox& list = form_->List1();
  Fill(list, {});
  list.setFocus();
  Key(Qt::CTRL | Qt::Key_V);
  QCOMPARE(list.Items().List(0), pasted.toStdString());
  // And Copy Item gives another program the bytes as they are.
  list.Select(0);
  Key(Qt::CTRL | Qt::Key_C);
  QByteArray out;
  QVERIFY(Run("xclip", {"-o", "-selection", "clipboard", "-t", "text/plain"},
              true, &out));
  QCOMPARE(out, pasted);
}

// What a screen reader hears, through at-spi2 and pyatspi (ReadAloud.py),
// on the bus of the test's own D-Bus session.
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
                      {KARVELLO_TEST_SOURCE_DIR "/ReadAloud.py",
                       QCoreApplication::applicationName()},
                      true, &heard);
  qInfo("%s", heard.constData());
  QVERIFY(ok);
  QCOMPARE(list.Items().ListIndex(), 39);  // its keys arrived
}

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
