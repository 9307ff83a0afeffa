// The real main window, driven through its buttons and lists with every
// dialog scripted.

// Mouse events go through the platform layer, as real ones do: moves
// without a button then reach the widget under the pointer.
#define QTEST_QPA_MOUSE_HANDLING
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>
#include <string>

#include "ScriptedDialogs.h"
#include "app/CenterFormModule.h"
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
  if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
  return file.readAll();
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
  void centerFormOverhangsASmallScreenEvenly();
  void focusStartsOnCommand1AndTabFollowsTheTabIndices();
  void everyButtonChangesOnlyItsList_data();
  void everyButtonChangesOnlyItsList();
  void aPressRunsItsCommandOnceWithTheButtonUp();
  void cancelledOrEmptyPromptChangesNothing();
  void doubleClickRemovesTheItemUnderTheMouse();
  void pointerFollowsTheMouse();
  void loadAppendsEveryChosenFileAndReportsAMissingOne();
  void loadSetsTheExtentOnlyWhenSomethingWasChosen();
  void saveAsksBeforeOverwriting();
  void fileNameCarriesOverBetweenUses();
  void anErrorIsReportedAndTheWindowGoesOn();

 private:
  QPushButton* Button(const char* name) {
    auto* button = form_->findChild<QPushButton*>(QLatin1String(name));
    if (button == nullptr) qFatal("no button %s", name);
    return button;
  }
  void Press(const char* name) {
    QTest::mouseClick(Button(name), Qt::LeftButton);
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
}

void Form1Test::centerFormOverhangsASmallScreenEvenly() {
  QWidget big;
  const QRect screen = big.screen()->geometry();
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
  QTest::addColumn<QString>("prompt");  // "-" when there is no prompt
  QTest::addColumn<QStringList>("list1");
  QTest::addColumn<QStringList>("list2");

  QTest::newRow("Check1 Clear") << "Check1"
                                << "-" << QStringList{} << kList2;
  QTest::newRow("Check2 Clear") << "Check2"
                                << "-" << kList1 << QStringList{};
  QTest::newRow("Check17 With") << "Check17"
                                << "a" << QStringList{"b", "", "c x"} << kList2;
  QTest::newRow("Check17 With blank")
      << "Check17"
      << " " << QStringList{"a", "b", "a", ""} << kList2;
  QTest::newRow("Check16 Without") << "Check16"
                                   << "a" << QStringList{"a", "a"} << kList2;
  QTest::newRow("Check16 Without blank") << "Check16"
                                         << " " << QStringList{"c x"} << kList2;
  QTest::newRow("Check10 With") << "Check10"
                                << "b" << kList1 << QStringList{"d", ""};
  QTest::newRow("Check9 Without") << "Check9"
                                  << "b" << kList1 << QStringList{"b", "b"};
  QTest::newRow("Check18 Blanks")
      << "Check18"
      << "-" << QStringList{"a", "b", "a", "c x"} << kList2;
  QTest::newRow("Check11 Blanks")
      << "Check11"
      << "-" << kList1 << QStringList{"b", "d", "b"};
  QTest::newRow("Check19 Subtract")
      << "Check19"
      << "-" << QStringList{"a", "a", "c x"} << kList2;
  QTest::newRow("Check12 Subtract") << "Check12"
                                    << "-" << kList1 << QStringList{"d"};
  QTest::newRow("Check15 Keep matches in 2")
      << "Check15"
      << "-" << QStringList{"b", ""} << kList2;
  QTest::newRow("Check8 Keep matches in 1")
      << "Check8"
      << "-" << kList1 << QStringList{"b", "", "b"};
  QTest::newRow("Check4 Dupes except first")
      << "Check4"
      << "-" << QStringList{"a", "b", "", "c x"} << kList2;
  QTest::newRow("Check5 Dupes except first")
      << "Check5"
      << "-" << kList1 << QStringList{"b", "d", ""};
  QTest::newRow("Check7 All dupes")
      << "Check7"
      << "-" << QStringList{"b", "", "c x"} << kList2;
  QTest::newRow("Check6 All dupes") << "Check6"
                                    << "-" << kList1 << QStringList{"d", ""};
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

void Form1Test::cancelledOrEmptyPromptChangesNothing() {
  Fill(form_->List1(), kList1);
  Fill(form_->List2(), kList2);
  // The prompt answers "" for both Cancel and an empty field.
  dialogs_->ExpectInputBox("").ExpectInputBox("").ExpectInputBox("");
  Press("Check17");
  Press("Check16");
  Press("Check9");
  QCOMPARE(Items(form_->List1()), kList1);
  QCOMPARE(Items(form_->List2()), kList2);
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

  // Below the last item there is nothing to remove.
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

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
