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
#include <QDialog>
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
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "ScriptedDialogs.h"
#include "app/BackgroundRead.h"
#include "app/CenterFormModule.h"
#include "app/FilePaths.h"
#include "app/Form1.h"
#include "app/internal/ListBoxAccessibleEvents.h"

using karvello::ListBox;

namespace {

const QString kList1 = "a|b|a||c x";
const QString kList2 = "b|d||b";
const char kWide[] = "a rather wider item than the rest";

// The items of a list joined by "|", as the table rows write them.
QString Items(const ListBox& list) {
  QStringList items;
  for (karvello::ItemList::Index i = 0; i < list.Items().ListCount(); ++i) {
    items << QString::fromStdString(std::string(list.Items().List(i)));
  }
  return items.join('|');
}

void Fill(ListBox& list, const QString& items) {
  list.Items().Clear();
  for (const QString& item : items.split('|', Qt::SkipEmptyParts)) {
    list.Items().AddItem(item == "_" ? "" : item.toStdString());
  }
  list.ItemsChanged();
}

std::string Bytes(const QString& path) { return karvello::PathBytes(path); }

// Writes a file by the bytes of its name, which need not be UTF-8.
bool WriteFile(const std::string& path, const QByteArray& bytes) {
#ifdef _WIN32
  QFile file(karvello::PathText(path));
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  return fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == bytes.size() &&
         ::close(fd) == 0;
#endif
}

QByteArray ReadFile(const std::string& path) {
  QFile file(karvello::PathText(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
}

// What a user sees of a list, and what undo must give back.
QString StateOf(ListBox& list) {
  return QStringLiteral("%1 selected %2 top %3 extent %4 sideways %5")
      .arg(Items(list))
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

void AddRows(std::initializer_list<const char*> rows) {
  QTest::addColumn<QStringList>("f");
  for (const char* row : rows) QTest::newRow(row) << QString(row).split(';');
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(WriteFile(Path("one.txt"), kWide + QByteArray("\r\n1\r\n")));
    QVERIFY(WriteFile(Path("two.txt"), "2\n3\n"));
    dialogs_ = std::make_unique<karvello::ScriptedDialogs>();
    form_ = std::make_unique<karvello::Form1>(*dialogs_);
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    Fill(L1(), QString(kList1).replace("||", "|_|"));
    Fill(L2(), QString(kList2).replace("||", "|_|"));
  }
  void cleanup() {
    form_.reset();
    dialogs_.reset();
  }

  void startUpLaysOutTheWindow() {
    // 7175 x 6755 twips outer size, centred on the whole screen, which a
    // larger window overhangs evenly.
    const QRect screen = form_->screen()->geometry();
    QCOMPARE(form_->frameGeometry(),
             QRect(screen.center() - QPoint(238, 224), QSize(478, 450)));
    QWidget big;
    big.resize(screen.size() + QSize(200, 100));
    karvello::CenterForm(big);
    QCOMPARE(big.frameGeometry().topLeft(), screen.topLeft() - QPoint(100, 50));
    QCOMPARE(form_->windowTitle(), "Karvello");
    // Check1 belongs to the window but is drawn over Frame1.
    QCOMPARE(form_->childAt(Button("Check1")->geometry().center()),
             Button("Check1"));
    QCOMPARE(L1().toolTip() + L2().toolTip(),
             QString("Double click list item to remove it.").repeated(2));
    auto* frame = form_->findChild<QGroupBox*>("Frame2");
    QCOMPARE(QColor(frame->grab().toImage().pixel(4, frame->height() - 6)),
             QColor(Qt::white));
    // The pointer: the default, then the hand (shape 13: no HAND-M.CUR
    // beside the tests) over what takes a click, the arrow (0) elsewhere.
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
    // The focus starts on the unseen Command1, which a screen reader hears
    // as the window (role Client, 10), and Tab follows the tab indices.
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QStringList visited;
    for (int i = 0; i < 24; ++i) {
      QWidget* focus = QApplication::focusWidget();
      auto* a11y = QAccessible::queryAccessibleInterface(focus);
      visited << focus->objectName() +
                     (a11y->role() == QAccessible::Client ? "(10)" : "");
      QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(
        visited.join(' '),
        "Command1(10) Check7 Check4 Check20 Check19 Check18 Check17 "
        "Check16 Check15 Check3 List1 Check6 Check5 List2 Check14 Check13 "
        "Check12 Check11 Check10 Check9 Check8 Check1 Check2 Command1(10)");
  }

  void everyActionChangesOnlyItsList_data() {
    // A button with its caption and its prompt's answer, or a double-click
    // on row N ("click N"), or Delete with item N selected.
    // clang-format off
    AddRows({"Check1;Clear;;-;=", "Check2;Clear;;=;-",
      "Check17;Remove List 1 Items With...;a;b||c x;=",
      "Check17;Remove List 1 Items With...; ;a|b|a|;=",
      "Check17;Remove List 1 Items With...;! (fails);=;=",
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
  void everyActionChangesOnlyItsList() {
    QFETCH(QStringList, f);
    bool down = false;
    L1().Select(0);  // a double-click below the items must leave it alone
    if (!f[1].isEmpty()) QCOMPARE(Button(f[0])->text(), f[1]);
    // The button is up while its prompt shows, and a second run of the
    // command would ask a second, unexpected time. What fails is reported,
    // naming the command, and the window goes on.
    if (!f[2].isEmpty()) {
      dialogs_->ExpectInputBox(f[2].toStdString(), [&] {
        down = Button(f[0])->isDown();
        if (f[2].startsWith('!')) throw std::runtime_error("broken");
      });
    }
    if (f[2].startsWith('!')) {
      dialogs_->ExpectMsgBox(
          QString("\"%1\" failed: broken.").arg(f[1]).toStdString());
    }
    Act(f[0]);
    QVERIFY(!down);
    QCOMPARE(Items(L1()), f[3] == "=" ? kList1 : f[3] == "-" ? "" : f[3]);
    QCOMPARE(Items(L2()), f[4] == "=" ? kList2 : f[4] == "-" ? "" : f[4]);
    VerifyDialogs();
  }

  void loadAndSaveThroughTheFileDialog() {
    const std::string one = Path("one.txt"), two = Path("two.txt");
    // Nothing chosen: nothing changes, the extent neither. Nothing found:
    // the extent is recomputed, for an empty list 0.
    Fill(L1(), "");
    L1().SetHorizontalExtent(123);
    dialogs_->ExpectOpen({}).ExpectOpen({Path("none")});
    dialogs_->ExpectMsgBox("File not found");
    Press("Check3");
    QCOMPARE(L1().HorizontalExtent(), 123);
    Press("Check3");
    QCOMPARE(L1().HorizontalExtent(), 0);
    // The files in the order given, a missing one reported; the item kept
    // is the widest, so the extent is measured over all.
    const char kKept[] = "a kept item, wider than any of the files'";
    Fill(L1(), kKept);
    dialogs_->ExpectOpen({two, Path("none"), one});
    dialogs_->ExpectMsgBox("File not found");
    Press("Check3");
    QCOMPARE(Items(L1()), kKept + QString("|2|3|") + kWide + "|1");
    const int extent = L1().HorizontalExtent();
    QVERIFY(extent > L1().fontMetrics().horizontalAdvance(kKept));
    // Clear leaves the extent alone; a folder is no list file, and says so.
    Press("Check1");
    QCOMPARE(L1().HorizontalExtent(), extent);
    dialogs_->ExpectOpen({Bytes(dir_.path()), one});
    dialogs_->ExpectMsgBox("Cannot read " + Bytes(dir_.path()) +
                           ": Is a directory");
    Press("Check3");
    QCOMPARE(Items(L1()), kWide + QString("|1"));
    // Save proposes the first file of the last choice and asks before
    // replacing a file; a new name asks nothing and gets no extension.
    const std::string ask = "Are you sure you wish to overwrite " + one + " ?";
    dialogs_->ExpectSave(one).ExpectYesNo(ask, false);
    dialogs_->ExpectSave(one).ExpectYesNo(ask, true);
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
    // What each dialog was asked for: the Load's and the Save's.
    const auto& asked = dialogs_->file_requests;
    QCOMPARE(asked[1].file_name + "|" + asked[4].file_name + "|" +
                 asked.back().file_name,
             "|" + Bytes(dir_.path()) + "|");
    QCOMPARE(asked[0].title + asked[0].filter + std::to_string(asked[0].flags),
             "Load List(s) - Hold Ctrl to select multiple list files"
             "All Files (*.*)|*.*|2621953");
    QCOMPARE(asked[4].title + asked[4].filter + std::to_string(asked[4].flags),
             "Save ListAll Files (*.*)|*.*|Text Files (*.txt)|*.txt|List "
             "Files (*.lst)|*.lst|2621953");
  }

  void undoAndRedoBringBackTheWholeList_data() {
    // The change to List 1, its count after, where Ctrl+Z is typed, and
    // the step as the menu names it.
    // clang-format off
    AddRows({"Check4;50;List1;Remove List 1 Dupes Except First",
      "Check7;20;Command1;Remove All List 1 Dupes", "Check1;0;List2;Clear (List 1)",
      "Check17;72;Check2;Remove List 1 Items With...",
      "Check19;74;List1;Subtract List 2 From List 1",
      "Check15;6;List1;Keep Only Matches in List 2 (List 1)",
      "Check3;84;List1;Load (List 1)", "Delete 31;79;List1;Remove Item (List 1)",
      "click 1;79;List1;Remove Item (List 1)", "paste;83;List1;Paste (List 1)",
      "drop files;84;Check7;Drop (List 1)", "drop text;81;List2;Drop (List 1)"});
    // clang-format on
  }
  void undoAndRedoBringBackTheWholeList() {
    QFETCH(QStringList, f);
    // 80 items, 30 of them second copies; "line 5" and "line 55" hold "5".
    QStringList items;
    for (int i = 0; i < 80; ++i) items << QStringLiteral("line %1").arg(i % 50);
    Fill(L1(), items.join('|'));
    Fill(L2(), "line 3|line 7|line 30|line 41");
    L1().SetHorizontalExtent(400);
    L1().SetTopIndex(30);
    L1().horizontalScrollBar()->setValue(25);
    L1().Select(31);  // what a double-click's first click does too
    const QString before = StateOf(L1());
    QVERIFY(before.endsWith("selected 31 top 30 extent 400 sideways 25"));
    if (f[0] == "Check17") dialogs_->ExpectInputBox("5");
    if (f[0] == "Check3")
      dialogs_->ExpectOpen({Path("one.txt"), Path("two.txt")});
    Act(f[0], f[0] == "paste" ? "x,y\n\"p,q\"\n" : "dropped");
    const QString after = StateOf(L1());
    QCOMPARE(L1().Items().ListCount(), f[1].toInt());
    QCOMPARE(Menu(L2(), 1, 2),
             "Undo " + f[3] + "\tCtrl+Z|Redo" + kRedo + " [off]");
    form_->findChild<QWidget*>(f[2])->setFocus();
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(StateOf(L1()), before);
    QCOMPARE(Menu(L1(), 1, 2), "Undo\tCtrl+Z [off]|Redo " + f[3] + kRedo);
    Key(Qt::CTRL | Qt::Key_Z);  // nothing older: no change
    QCOMPARE(StateOf(L1()) + Items(L2()),
             before + "line 3|line 7|line 30|line 41");
    Key(Qt::CTRL | Qt::Key_Y);
    QCOMPARE(StateOf(L1()), after);
    Key(Qt::CTRL | Qt::Key_Z);
    Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
    QCOMPARE(StateOf(L1()), after);
    VerifyDialogs();
  }

  void theHistoryKeepsItsSteps() {
    Press("Check4");  // a, b, "", c x
    Press("Check6");  // d, ""
    Key(Qt::CTRL | Qt::Key_Z);
    // A cancelled prompt (the prompt answers "" for both Cancel and an empty
    // field) is no change: the redo step stays, until a real change.
    dialogs_->ExpectInputBox("").ExpectInputBox("").ExpectInputBox("z");
    Press("Check10");
    Press("Check17");
    Key(Qt::CTRL | Qt::Key_Y);
    QCOMPARE(Items(L2()), "d|");
    Key(Qt::CTRL | Qt::Key_Z);
    Press("Check18");  // a, b, c x
    Key(Qt::CTRL | Qt::Key_Y);
    QCOMPARE(Menu(L1(), 1, 2),
             "Undo Remove Blanks From List 1\tCtrl+Z|Redo" + kRedo + " [off]");
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(Menu(L1(), 1, 2),
             "Undo Remove List 1 Dupes Except First\tCtrl+Z|"
             "Redo Remove Blanks From List 1" +
                 kRedo);
    Key(Qt::CTRL | Qt::Key_Z);
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(Items(L1()) + Items(L2()), kList1 + kList2);
    // A list emptied by a removal keeps the removed texts for its step: a
    // paste into it, taken back, gives them back too.
    Press("Check16");
    QGuiApplication::clipboard()->setText("pasted");
    L1().setFocus();
    Key(Qt::CTRL | Qt::Key_V);
    Key(Qt::CTRL | Qt::Key_Z);
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(Items(L1()), kList1);
    // Two lists of two million items: a Clear hands its whole list to the
    // history, and the steps of both stay.
    for (ListBox* list : {&L1(), &L2()}) {
      for (int i = 0; i < 2'000'000; ++i) {
        list->Items().AddItem(std::to_string(i + 1'000'000'000'000'000'000));
      }
    }
    Press("Check1");
    Press("Check2");
    Key(Qt::CTRL | Qt::Key_Z);
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(L1().Items().ListCount() + L2().Items().ListCount(), 4'000'009);
    VerifyDialogs();
  }

  void copyAndPasteKeepTheBytes() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    Fill(L1(), "first");
    L1().Items().AddItem("caf\xE9, \"8-bit\"");
    L1().setFocus();
    // Nothing selected: Ctrl+C leaves the clipboard alone.
    clipboard->setText("unchanged");
    Key(Qt::CTRL | Qt::Key_C);
    QCOMPARE(clipboard->text(), "unchanged");
    L1().Select(1);
    Key(Qt::CTRL | Qt::Key_C);
    const QMimeData* copied = clipboard->mimeData();
    QCOMPARE(copied->data(kOwn) + "|" + copied->data("text/plain"),
             "caf\xE9, \"8-bit\"|caf\xE9, \"8-bit\"");
    // What promises UTF-8 gets the text as the list reads it: the item is
    // not UTF-8, so Windows-1252. QMimeData::text() is what Qt gives
    // Windows programs as CF_UNICODETEXT.
    QCOMPARE(copied->data("text/plain;charset=utf-8"),
             "caf\xC3\xA9, \"8-bit\"");
    QCOMPARE(copied->text(), u"caf\u00E9, \"8-bit\"");
    L1().Items().AddItem("\x93\xC3\xA9\x94\tna\xC3\xAFve");  // both readings
    L1().Items().AddItem("na\xC3\xAFve\t\xE2\x82\xAC");
    Key(Qt::CTRL | Qt::SHIFT | Qt::Key_C);
    QCOMPARE(clipboard->mimeData()->data("text/plain"),
             "first\ncaf\xE9, \"8-bit\"\n\x93\xC3\xA9\x94\tna\xC3\xAFve\n"
             "na\xC3\xAFve\t\xE2\x82\xAC\n");
    QCOMPARE(clipboard->mimeData()->text(),
             u"first\ncaf\u00E9, \"8-bit\"\n\u201C\u00C3\u00A9\u201D\tna\u00C3"
             u"\u00AFve\nna\u00EFve\t\u20AC\n");
    L1().Items().RemoveItem(3);
    L1().Items().RemoveItem(2);
    // Pasted text is read as a list file: commas and line ends split,
    // quotes group, a UTF-16 mark is decoded. The window's own format comes
    // first, then text/plain; the extent follows.
    Fill(L2(), "");
    L2().setFocus();
    for (const char* own : {"own\xE9", ""}) {
      auto* mime = new QMimeData;
      if (*own) mime->setData(kOwn, own);
      mime->setData("text/plain", "x,\"y,z\"\r\n\xff\xfe\r\nlast");
      clipboard->setMimeData(mime);
      Key(Qt::CTRL | Qt::Key_V);
    }
    QCOMPARE(L2().Items().List(0).back(), '\xE9');
    QCOMPARE(L2().Items().List(3), "\xff\xfe");
    QCOMPARE(Items(L2()).mid(4), "|x|y,z|\uFFFD\uFFFD|last");
    QVERIFY(L2().HorizontalExtent() >
            L2().fontMetrics().horizontalAdvance("y,z"));
    QCOMPARE(L1().Items().ListCount(), 2);
  }

  void drops_data() {
    // Where, the URLs (a bare name is a file in the test's folder), the
    // text, the missing file a message names, and what that panel's list
    // gets ("*" the wide item).
    // clang-format off
    AddRows({"Frame2;two.txt|none|one.txt;;none;2|3|*|1",
      "Check1;two.txt;;;2|3", "List2;caf%E9;;;8-bit",
      "List1;https://example.com/a;https://example.com/a;;https://example.com/a",
      "List1;;p,q;;p|q", "List1;;;;"});
    // clang-format on
  }
  void drops() {
    QFETCH(QStringList, f);
#ifdef _WIN32
    if (f[1].contains('%')) QSKIP("Windows names are UTF-16");
#else
    QVERIFY(WriteFile(Bytes(dir_.path()) + "/caf\xE9", "8-bit"));
#endif
    QList<QUrl> urls;
    for (const QString& url : f[1].split('|', Qt::SkipEmptyParts)) {
      urls << (url.contains(':')
                   ? QUrl(url)
                   : QUrl::fromEncoded(
                         QUrl::fromLocalFile(dir_.path()).toEncoded() + "/" +
                         url.toLatin1()));
    }
    QMimeData mime;
    if (!urls.isEmpty()) mime.setUrls(urls);
    if (!f[2].isEmpty()) mime.setText(f[2]);
    if (!f[3].isEmpty())
      dialogs_->ExpectMsgBox("File not found: " + Path(f[3]));
    // On a panel's margin, away from its controls.
    const QPoint at = f[0].startsWith("Frame") ? QPoint(3, 300) : QPoint(5, 5);
    QCOMPARE(Drop(form_->findChild<QWidget*>(f[0]), at, &mime),
             !f[4].isEmpty());
    // The drop has ended before any message or change.
    QCOMPARE(Items(L1()) + Items(L2()), kList1 + kList2);
    const QString added = f[4].isEmpty() ? "" : "|" + f[4].replace("*", kWide);
    QTRY_COMPARE(Items(L1()) + "/" + Items(L2()),
                 f[0].endsWith('2') ? kList1 + "/" + kList2 + added
                                    : kList1 + added + "/" + kList2);
#ifndef _WIN32
    ::unlink((Bytes(dir_.path()) + "/caf\xE9").c_str());  // no QString names it
#endif
    VerifyDialogs();
  }

  void theListMenu() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QStringList items;
    for (int i = 0; i < 1234; ++i) items << QString::number(i);
    Fill(L2(), items.join('|'));
    // A right click selects nothing; with nothing to undo or redo, both
    // show greyed, and their shortcuts still work once the menu has closed.
    QCOMPARE(Menu(L2(), 0, 6),
             "1,234 items|Undo\tCtrl+Z [off]|Redo" + kRedo +
                 " [off]|Copy Item\tCtrl+C [off]|Copy List\tCtrl+Shift+C|"
                 "Paste\tCtrl+V");
    Press("Check2");
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(L2().Items().ListCount(), 1234);
    Key(Qt::CTRL | Qt::Key_Y);
    QCOMPARE(Menu(L2()), "0 items");
    Fill(L2(), "only");
    QCOMPARE(Menu(L2()), "1 item");
    // From the keyboard it opens at the selected row, scrolled into view;
    // the arrow keys reach the count line, and Paste goes to the list it was
    // opened on.
    Fill(L2(), items.join('|'));
    L2().Select(500);
    L2().SetTopIndex(0);
    QCOMPARE(Menu(L2(), 3, 1, "Shift+F10"), "Copy Item\tCtrl+C");
    QVERIFY(L2().TopIndex() > 0);
    QCOMPARE(Menu(L2(), 0, 1, "Menu"), "1,234 items");
    QCOMPARE(Menu(L2(), 5, 1, "Menu"), "Paste\tCtrl+V");
    QCOMPARE(L2().Items().List(1234), "500");
    QCOMPARE(Items(L1()), kList1);
  }

  void backFromADialogTheFocusIsToldAgain() {
    // A screen reader finds the active window among the top-level windows
    // (AsAUser.py hears it on a real X server, after real dialogs).
    QCOMPARE(QAccessible::queryAccessibleInterface(form_.get())->role(),
             QAccessible::Window);
    static QStringList heard;
    karvello::internal::SetAccessibleEventSink([](QAccessibleEvent* event) {
      if (event->type() == QAccessible::Focus) {
        heard << event->accessibleInterface()->text(QAccessible::Name);
      }
    });
    L1().Select(2);
    QStringList told;
    for (const char* focus : {"List1", "Check7", "Command1"}) {
      form_->findChild<QWidget*>(focus)->setFocus();
      QDialog dialog(form_.get());
      QTimer::singleShot(0, &dialog, [&] {
        if (QTest::qWaitForWindowActive(&dialog)) heard.clear();
        dialog.reject();
      });
      dialog.exec();
      form_->activateWindow();  // what a window manager does
      QVERIFY(QTest::qWaitForWindowActive(form_.get()));
      QTRY_VERIFY(!heard.isEmpty());
      told << heard.join(" then ");
    }
    karvello::internal::SetAccessibleEventSink(nullptr);
    QCOMPARE(told.join(" / "),
             "List 1 then a / Remove All List 1 Dupes / Karvello");
  }

  void pasteFromAButtonGoesToItsPanelsList() {
    QGuiApplication::clipboard()->setText("pasted");
    QStringList got;
    for (const char* focus : {"Check19", "Check3", "Check1", "Check2", "Check8",
                              "List2", "Command1"}) {
      Fill(L1(), "");
      Fill(L2(), "");
      form_->findChild<QWidget*>(focus)->setFocus();
      Key(Qt::CTRL | Qt::Key_V);
      got << QStringLiteral("%1:%2/%3").arg(focus, Items(L1()), Items(L2()));
    }
    QCOMPARE(got.join(' '),
             "Check19:pasted/ Check3:pasted/ Check1:pasted/ Check2:/pasted "
             "Check8:/pasted List2:/pasted Command1:/");
  }

  void theProgressCountsTheMeasuringToo() {
    // The items are measured after they are read: until that is done too,
    // the bar does not show the work as done.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> measuring = false;
    auto read = karvello::BackgroundRead::Start(
        {karvello::BackgroundRead::Bytes("a\nb\n")},
        [&](const karvello::ItemList&) {
          measuring = true;
          std::unique_lock lock(mutex);
          released.wait(lock, [&] { return release; });
          return 7;
        });
    QTRY_VERIFY(measuring);
    const karvello::Progress during = read->Poll();
    {
      std::lock_guard lock(mutex);
      release = true;
    }
    released.notify_all();
    QVERIFY(read->WaitFor(std::chrono::seconds(60)));
    QVERIFY(!during.done);
    QVERIFY2(during.fraction > 0 && during.fraction < 1,
             qPrintable(QString::number(during.fraction)));
    QCOMPARE(read->Poll().fraction, 1.0);
    QCOMPARE(read->Results()[0].extent, 7);
  }

  void deleteGoesOnFromWhereItWas() {
    // A screen reader hears each item that takes the removed one's place:
    // the accessibility events of List 1, as "Type name".
    static QStringList heard;
    heard.clear();
    karvello::internal::SetAccessibleEventSink([](QAccessibleEvent* event) {
      QAccessibleInterface* item = event->accessibleInterface();
      heard << QStringLiteral("%1 %2").arg(
          event->type() == QAccessible::Focus       ? "Focus"
          : event->type() == QAccessible::Selection ? "Selection"
                                                    : "SelectionRemove",
          item->text(QAccessible::Name));
    });
    Fill(L1(), "a|b|c|d|e");
    L1().Select(1);
    L1().setFocus();
    QStringList seen;
    auto press = [&](Qt::Key key) {
      heard.clear();
      Key(key);
      seen << Items(L1()) + " " + QString::number(L1().Items().ListIndex()) +
                  " (" + heard.join(", ") + ")";
    };
    // The next item takes the place, also at the same index; the last item
    // when the removed one was last; nothing in an emptied list.
    for (Qt::Key key : {Qt::Key_Delete, Qt::Key_Delete, Qt::Key_Down,
                        Qt::Key_Delete, Qt::Key_Delete, Qt::Key_Delete}) {
      press(key);
    }
    karvello::internal::SetAccessibleEventSink(nullptr);
    QCOMPARE(seen.join(" / "),
             "a|c|d|e 1 (Selection c, Focus c) / a|d|e 1 (Selection d, Focus "
             "d) / a|d|e 2 (Selection e, Focus e) / a|d 1 (Selection d, Focus "
             "d) / a 0 (Selection a, Focus a) /  -1 (SelectionRemove List 1)");
    // Undo brings back the item and its selection; a double-click removes
    // its item and leaves nothing selected, as it always did.
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(Items(L1()) + " " + QString::number(L1().Items().ListIndex()),
             "a 0");
    Fill(L1(), "a|b|c");
    Act("click 1");
    QCOMPARE(Items(L1()) + " " + QString::number(L1().Items().ListIndex()),
             "a|c -1");
  }

  void aCancelledLoadLeavesTheListAsItWas() {
#ifdef _WIN32
    QSKIP("needs a named pipe that never ends");
#else
    // A pipe that a writer holds open but never writes to: the read waits
    // for good.
    const std::string fifo = Path("fifo");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR);
    Press("Check4");  // a step that Ctrl+Z takes back afterwards
    const QString before = StateOf(L1());
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
    QCOMPARE(StateOf(L1()), before);
    Key(Qt::CTRL | Qt::Key_Z);
    QCOMPARE(Items(L1()), kList1);
    VerifyDialogs();
    // The reading thread itself stops at once and keeps nothing, also on a
    // pipe that no writer has opened yet.
    ::close(writer);
    for (int k = 0; k < 2; ++k) {
      const int other = k == 0 ? ::open(fifo.c_str(), O_RDWR) : -1;
      auto read = karvello::BackgroundRead::Start(
          {karvello::BackgroundRead::File(fifo)});
      QVERIFY(!read->WaitFor(std::chrono::milliseconds(100)));
      read->Cancel();
      QVERIFY(read->WaitFor(std::chrono::milliseconds(1000)));
      QVERIFY(read->Results().empty());
      ::close(other);
    }
#endif
  }

  void aSaveWritesWhileTheWindowGoesOn() {
#ifdef _WIN32
    QSKIP("needs a named pipe");
#else
    // A pipe that holds less than the list and is read only once the
    // progress window is up: the writing waits on it meanwhile.
    const std::string fifo = Path("save-fifo");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDWR);
    QStringList items;
    QByteArray expected;
    for (int i = 0; i < 30000; ++i) {
      items << "item " + QString::number(i);
      expected += items.back().toUtf8() + "\r\n";
    }
    Fill(L1(), items.join('|'));
    QByteArray drained;
    std::atomic<bool> shown = false;
    // Read once the progress window is up, or after ten seconds when it
    // never comes, which fails the test rather than hang it.
    std::thread drain([&] {
      for (int k = 0; k < 1000 && !shown; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      char buffer[65536];
      while (drained.size() < expected.size()) {
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n <= 0) break;
        drained.append(buffer, static_cast<int>(n));
      }
    });
    bool answered = false;
    dialogs_->ExpectSave(fifo)
        .ExpectYesNo("Are you sure you wish to overwrite " + fifo + " ?", true)
        .ExpectProgress([&] {
          QTimer::singleShot(0, [&] { answered = true; });
          QTest::qWait(50);
          // The cancel that follows is too late for a pipe, written in
          // place: the window waits for the end and tells nothing.
          shown = true;
        });
    Press("Check20");
    drain.join();
    ::close(reader);
    QVERIFY(answered);
    QCOMPARE(drained, expected);
    QCOMPARE(Items(L1()), items.join('|'));
    VerifyDialogs();
#endif
  }

  // On a real X server: clicks from outside the process (xdotool), as a
  // user's come. While "Remove List 1 Items With..." waits for its prompt,
  // the user clicks two more buttons: each click runs once, in order,
  // after it.
  void realClicksWaitTheirTurn() {
    if (QGuiApplication::platformName() != "xcb") QSKIP("needs X");
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    auto click = [this](const char* name) {
      const QPoint at =
          Button(name)->mapToGlobal(Button(name)->rect().center());
      return QProcess::execute("xdotool",
                               {"mousemove", "--sync", QString::number(at.x()),
                                QString::number(at.y()), "click", "1"}) == 0;
    };
    Fill(L1(), "apple|pear|plum|_");
    bool clicked = false;
    dialogs_->ExpectInputBox(
        "pp", [&] { clicked = click("Check18") && click("Check16"); });
    dialogs_->ExpectInputBox("l");
    QVERIFY(click("Check17"));
    QTRY_VERIFY(dialogs_->Done());
    QVERIFY(clicked);
    QTRY_COMPARE(Items(L1()), "plum");
    VerifyDialogs();
  }

 private:
  static inline const QString kRedo = "\tCtrl+Shift+Z, Ctrl+Y";
  static inline const char kOwn[] = "application/x-karvello-list";

  ListBox& L1() { return form_->List1(); }
  ListBox& L2() { return form_->List2(); }
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
  // Entries `from` .. `from` + `count` - 1 of `list`'s menu, "[off]" after a
  // greyed one, joined by "|". It opens with a right click, or from the
  // keyboard (Shift+F10 or the Menu key), where it must open at the
  // selected row; then the arrow keys choose the last of those entries,
  // and Return runs it.
  QString Menu(ListBox& list, int from = 0, int count = 1,
               const QString& key = {}) {
    QContextMenuEvent event(
        key.isEmpty() ? QContextMenuEvent::Mouse : QContextMenuEvent::Keyboard,
        QPoint(5, 5), list.viewport()->mapToGlobal(QPoint(5, 5)));
    list.setFocus();
    if (key == "Shift+F10") {
      Key(Qt::SHIFT | Qt::Key_F10);
    } else {
      QApplication::sendEvent(key.isEmpty() ? list.viewport() : &list, &event);
    }
    QPointer<QMenu> menu = form_->findChild<QMenu*>("ListMenu");
    if (menu == nullptr || !QTest::qWaitForWindowExposed(menu)) return "none";
    QStringList entries;
    for (QAction* action : menu->actions()) {
      if (action->isSeparator()) continue;
      entries << action->text() + (action->isEnabled() ? "" : " [off]");
    }
    if (!key.isEmpty()) {
      const QRect row = list.ItemRect(list.Items().ListIndex());
      if (menu->geometry().top() !=
          list.viewport()->mapToGlobal(row.center()).y()) {
        return "not at the selected row";
      }
      auto reached = [&] {
        return menu->activeAction() &&
               menu->activeAction()->text() == entries[from];
      };
      for (int i = 0; i < 8 && !reached(); ++i) {
        QTest::keyClick(menu, Qt::Key_Down);
      }
      if (!reached()) return "not reached";
      QTest::keyClick(menu, Qt::Key_Return);
    }
    menu->close();
    if (!QTest::qWaitFor([&menu] { return menu.isNull(); })) return "open";
    return entries.mid(from, count).join('|');
  }
  // Does `action` to List 1: a button's press, a double-click on row N
  // ("click N", its first click selecting the item under it, if any),
  // Delete with item N selected ("Delete N"), Ctrl+V of `text` ("paste"),
  // or a drop of `text` or of two files ("drop text", "drop files").
  void Act(const QString& action, const QString& text = {}) {
    const int n = action.section(' ', 1, 1).toInt();
    const QPoint at(20, L1().RowHeight() * n + 5);
    auto* mime = new QMimeData;
    mime->setText(text);
    if (action == "drop files") {
      mime->setUrls({QUrl::fromLocalFile(dir_.filePath("one.txt")),
                     QUrl::fromLocalFile(dir_.filePath("two.txt"))});
    }
    if (action.startsWith("click")) {
      QVERIFY(L1().viewport()->rect().contains(at));
      QTest::mouseClick(L1().viewport(), Qt::LeftButton, {}, at);
      QTest::mouseDClick(L1().viewport(), Qt::LeftButton, {}, at);
    } else if (action.startsWith("Delete") || action == "paste") {
      if (action == "paste") QGuiApplication::clipboard()->setMimeData(mime);
      if (action == "paste") mime = nullptr;  // the clipboard's now
      if (action != "paste") L1().Select(n);
      L1().setFocus();
      Key(action == "paste" ? Qt::CTRL | Qt::Key_V
                            : QKeyCombination(Qt::Key_Delete));
    } else if (action.startsWith("drop")) {
      QVERIFY(Drop(L1().viewport(), QPoint(10, 10), mime));
      QTest::qWait(0);  // the drop's work comes after it
    } else {
      Press(action);
    }
    delete mime;
  }
  void VerifyDialogs() {
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }
  std::string Path(const QString& name) { return Bytes(dir_.filePath(name)); }

  QTemporaryDir dir_;
  std::unique_ptr<karvello::ScriptedDialogs> dialogs_;
  std::unique_ptr<karvello::Form1> form_;
};

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
