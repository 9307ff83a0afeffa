// More Commands in the real window, offscreen: every row it offers, with
// each option the row takes, leaves List 1 as karvello-cli's pipeline leaves
// the same items, as one undo step; the controls follow the row; and no
// list changes while work off the window's thread still reads it.

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <memory>
#include <string>

#include "ScriptedDialogs.h"
#include "app/Form1.h"
#include "app/MoreCommands.h"
#include "lists/Operations.h"
#include "pipeline/Pipeline.h"

using karvello::ListBox;
using karvello::Op;

namespace {

// Items that differ by case, blanks, Unicode form and field; no line ends.
const QStringList kItems = {
    "Anna",      "anna ",       "ANNA",    "Bo",     "bo\t",     "Bo",
    "",          "e\u0301",     "\u00e9",  "\u00c9", "x,Anna,1", "y,anna,2",
    "z,\"B,o\"", "Stra\u00dfe", "STRASSE", "  ",     "an apple", "Banana"};
const QStringList kOther = {"anna", "BO ", "\u00e9", "Anna,0", "x"};

// One option of a run: what the dialog's control is set to, and the same
// for the tool's job.
struct Option {
  const char* name;
  bool (*applies)(const karvello::Operation&);
  void (*job)(karvello::Job&);
};

bool Compares(const karvello::Operation& row) { return row.takes.keys; }
bool TakesPattern(const karvello::Operation& row) { return row.takes.pattern; }
bool KeepsLast(const karvello::Operation& row) { return row.takes.keep_last; }
bool Orders(const karvello::Operation& row) { return row.takes.natural; }
bool Always(const karvello::Operation&) { return true; }

const Option kOptions[] = {
    {"none", Always, [](karvello::Job&) {}},
    {"Ignore case", Compares,
     [](karvello::Job& j) { j.keys.ignore_case = true; }},
    {"Trim spaces and tabs", Compares,
     [](karvello::Job& j) { j.keys.trim = true; }},
    {"Normalize Unicode", Compares,
     [](karvello::Job& j) { j.keys.normalize = true; }},
    {"Field", Compares,
     [](karvello::Job& j) {
       j.keys.field = 2;
       j.keys.delimiter = ',';
     }},
    {"Keep the last copy", KeepsLast,
     [](karvello::Job& j) { j.keep_last = true; }},
    {"Regular expression", TakesPattern,
     [](karvello::Job& j) {
       j.regex = true;
       j.search = "^[ab].*[ae]$";
     }},
    {"Natural", Orders, [](karvello::Job& j) { j.natural = true; }},
    {"Descending", Orders, [](karvello::Job& j) { j.descending = true; }},
    {"Natural, Descending, Ignore case", Orders,
     [](karvello::Job& j) {
       j.natural = j.descending = j.keys.ignore_case = true;
     }},
    {"Ignore case, Trim spaces and tabs, Normalize Unicode", Compares,
     [](karvello::Job& j) {
       j.keys.ignore_case = j.keys.trim = j.keys.normalize = true;
     }},
};

bool Write(const QString& path, const QStringList& items) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) &&
         file.write((items.join('\n') + '\n').toUtf8()) > 0;
}

QString Items(const ListBox& list) {
  QStringList items;
  for (karvello::ItemList::Index i = 0; i < list.Items().ListCount(); ++i) {
    items << QString::fromStdString(std::string(list.Items().List(i)));
  }
  return items.join('|');
}

void Fill(ListBox& list, const QStringList& items) {
  list.Items().Clear();
  for (const QString& item : items) list.Items().AddItem(item.toStdString());
  list.ItemsChanged();
}

}  // namespace

class MoreCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    dialogs_ = std::make_unique<karvello::ScriptedDialogs>();
    form_ = std::make_unique<karvello::Form1>(*dialogs_);
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    Fill(form_->List1(), kItems);
    Fill(form_->List2(), kOther);
  }
  void cleanup() {
    form_.reset();
    dialogs_.reset();
  }

  void everyRowAgreesWithTheTool_data() {
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("option");
    for (const karvello::Operation& row : karvello::kOperations) {
      if (row.id == Op::kCat) continue;
      for (int k = 0; k < static_cast<int>(std::size(kOptions)); ++k) {
        if (!kOptions[k].applies(row)) continue;
        const QByteArray name = QByteArray(row.name.data(), row.name.size()) +
                                " / " + kOptions[k].name;
        QTest::newRow(name.constData()) << static_cast<int>(row.id) << k;
      }
    }
  }
  void everyRowAgreesWithTheTool() {
    QFETCH(int, op);
    QFETCH(int, option);
    const karvello::Operation& row = karvello::OperationOf(static_cast<Op>(op));
    karvello::Job job;
    job.operation = &row;
    job.search = "an";
    kOptions[option].job(job);
    const QStringList expected = ToolRun(job);

    Open(form_->List1());
    SetUp(row, job);
    // The count says what Apply then does.
    const bool reorders = row.kind == karvello::Kind::kReorders;
    QTRY_VERIFY(Count().startsWith(reorders ? "S" : "Removes") ||
                Count().startsWith("Reverses"));
    QCOMPARE(Count(), reorders
                          ? QStringLiteral("%1s %2 items")
                                .arg(karvello::MoreCommands::RowName(row.id))
                                .arg(kItems.size())
                          : QStringLiteral("Removes %1 of %2 items")
                                .arg(kItems.size() - expected.size())
                                .arg(kItems.size()));
    Control<QPushButton>("Apply")->click();
    QCOMPARE(Items(form_->List1()), expected.join('|'));
    QCOMPARE(Items(form_->List2()), kOther.join('|'));
    QVERIFY(dialog()->isVisible());
    // One step, which takes the list back and makes the change again.
    const bool changed = expected != kItems;
    QCOMPARE(form_->HistoryForTesting().CanUndo(), changed);
    form_->Undo();
    QCOMPARE(Items(form_->List1()), kItems.join('|'));
    form_->Redo();
    QCOMPARE(Items(form_->List1()), (changed ? expected : kItems).join('|'));
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }

  void theControlsFollowTheRow() {
    QCOMPARE(MenuEntries(form_->List2()).last(), "More Commands\u2026\tCtrl+K");
    Open(form_->List2());
    QCOMPARE(dialog()->windowTitle(), "More Commands (List 2)");
    QStringList rows;
    auto* command = Control<QComboBox>("Command");
    for (int i = 0; i < command->count(); ++i) rows << command->itemText(i);
    QCOMPARE(rows.join('|'),
             "Remove Dupes|Remove All Dupes|Keep Dupes|Remove With|Remove "
             "Without|Remove Blanks|Subtract|Keep Matches|Sort|Reverse");
    // What each row enables, in the order of the controls.
    const char* controls[] = {"String",
                              "Regular expression",
                              "Ignore case",
                              "Trim spaces and tabs",
                              "Normalize Unicode",
                              "Keep the last copy",
                              "Natural",
                              "Descending",
                              "Field",
                              "Delimiter"};
    auto enabled = [&](const QString& row) {
      command->setCurrentIndex(command->findText(row));
      QString on;
      for (const char* name : controls) {
        on += Control<QWidget>(name)->isEnabled() ? '1' : '0';
      }
      return on;
    };
    QCOMPARE(enabled("Remove Dupes"), "0011110010");
    QCOMPARE(enabled("Remove Blanks"), "0000000000");
    QCOMPARE(enabled("Subtract"), "0011100010");
    Control<QSpinBox>("Field")->setValue(3);
    QCOMPARE(enabled("Sort"), "0011101111");
    QCOMPARE(enabled("Reverse"), "0000000000");
    QCOMPARE(enabled("Remove With"), "1111100011");
    // An empty STRING, a bad expression or a quote as delimiter: no Apply,
    // and the reason where the count goes.
    auto* apply = Control<QPushButton>("Apply");
    QVERIFY(!apply->isEnabled());
    QCOMPARE(Count(), "Enter a string.");
    Control<QLineEdit>("String")->setText("(b");
    QTRY_VERIFY(Count().startsWith("Removes"));
    QVERIFY(apply->isEnabled());
    Control<QCheckBox>("Regular expression")->setChecked(true);
    QVERIFY(!apply->isEnabled());
    QVERIFY(Count().startsWith("invalid regular expression: missing )"));
    Control<QLineEdit>("String")->setText("(b)");
    QVERIFY(apply->isEnabled());
    Control<QLineEdit>("Delimiter")->setText("\"");
    QVERIFY(!apply->isEnabled());
    Control<QLineEdit>("Delimiter")->setText(",");
    Control<QCheckBox>("Ignore case")->setChecked(true);
    // No item of List 2 has a third field: every key is empty.
    QTRY_COMPARE(Count(), "Removes 0 of 5 items");
    Control<QSpinBox>("Field")->setValue(0);
    QTRY_COMPARE(Count(), "Removes 1 of 5 items");
    apply->click();
    QCOMPARE(Items(form_->List2()), "anna|\u00e9|Anna,0|x");
    QCOMPARE(MenuEntries(form_->List2())[1],
             "Undo Remove With, Regular Expression, Ignoring Case (List "
             "2)\tCtrl+Z");
    QTRY_COMPARE(Count(), "Removes 0 of 4 items");
    // Closed and opened again, it keeps its settings.
    Control<QPushButton>("Close")->click();
    QVERIFY(!dialog()->isVisible());
    Open(form_->List2());
    QCOMPARE(Control<QComboBox>("Command")->currentText(), "Remove With");
    QCOMPARE(Control<QLineEdit>("String")->text(), "(b)");
    QVERIFY(Control<QCheckBox>("Ignore case")->isChecked());
    // A reorder keeps the count and is a step all the same.
    Control<QCheckBox>("Ignore case")->setChecked(false);
    Control<QComboBox>("Command")->setCurrentText("Sort");
    Control<QCheckBox>("Natural")->setChecked(true);
    QTRY_COMPARE(Count(), "Sorts 4 items");
    Control<QPushButton>("Apply")->click();
    QCOMPARE(Items(form_->List2()), "Anna,0|anna|x|\u00e9");
    QCOMPARE(MenuEntries(form_->List2())[1],
             "Undo Sort, Natural (List 2)\tCtrl+Z");
  }

  void noListChangesWhileWorkReadsIt() {
    // Work that reads the lists and ends only when told: a change waits for
    // it, and cancelling the wait drops the change, with no step.
    std::atomic<bool> release = false;
    auto reader = form_->StartReading([&release] {
      while (!release) QThread::msleep(1);
    });
    QString during;
    dialogs_->ExpectProgress([&] { during = Items(form_->List1()); });
    QTest::mouseClick(form_->findChild<QPushButton*>("Check18"),
                      Qt::LeftButton);
    QCOMPARE(during, kItems.join('|'));
    QCOMPARE(Items(form_->List1()), kItems.join('|'));
    QVERIFY(!form_->HistoryForTesting().CanUndo());
    // Once it has ended, the change goes ahead at once.
    release = true;
    QVERIFY(reader->WaitFor(std::chrono::seconds(10)));
    QTest::mouseClick(form_->findChild<QPushButton*>("Check18"),
                      Qt::LeftButton);
    QCOMPARE(form_->List1().Items().ListCount(), kItems.size() - 1);
    QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  }

  void theWindowGoesOnWhileAChangeWaits() {
    // Before any progress window, the window's event loop turns while the
    // change waits: here it is what lets the work end. The list is as it
    // was until then.
    std::atomic<bool> release = false;
    auto reader = form_->StartReading([&release] {
      while (!release) QThread::msleep(1);
    });
    QString during;
    int windows = -1;
    QTimer::singleShot(0, form_.get(), [&] {
      during = Items(form_->List1());
      windows = dialogs_->progress_windows;
      release = true;
    });
    form_->findChild<QPushButton*>("Check18")->click();
    QCOMPARE(windows, 0);
    QCOMPARE(during, kItems.join('|'));
    QCOMPARE(form_->List1().Items().ListCount(), kItems.size() - 1);
    QVERIFY(reader->Finished());
  }

  void anAppendKeepsTheStepsBeforeIt() {
    // The removed items of the first step stay where the list holds them
    // when a paste merges into it; both steps replay.
    QGuiApplication::clipboard()->setText("new 1\nnew 2\n");
    QTest::mouseClick(form_->findChild<QPushButton*>("Check4"), Qt::LeftButton);
    const QString deduped = Items(form_->List1());
    form_->Paste(form_->List1());
    QCOMPARE(Items(form_->List1()), deduped + "|new 1|new 2");
    form_->Undo();
    QCOMPARE(Items(form_->List1()), deduped);
    form_->Undo();
    QCOMPARE(Items(form_->List1()), kItems.join('|'));
    form_->Redo();
    form_->Redo();
    QCOMPARE(Items(form_->List1()), deduped + "|new 1|new 2");
  }

 private:
  // The items that karvello-cli leaves of kItems, with OTHER kOther.
  QStringList ToolRun(karvello::Job job) {
    const QString in = dir_.filePath("in.txt"), other = dir_.filePath("other"),
                  out = dir_.filePath("out.txt");
    if (!Write(in, kItems) || !Write(other, kOther)) return {"unwritten"};
    job.inputs = {in.toStdString()};
    job.other = other.toStdString();
    job.output = out.toStdString();
    job.split = karvello::FieldSplit::kLines;
    job.line_end = "\n";
    job.progress = karvello::ShowProgress::kNever;
    karvello::Counts counts;
    const karvello::Status status = karvello::Run(job, counts);
    if (!status.ok()) return {QString::fromStdString(status.Message())};
    QFile file(out);
    if (!file.open(QIODevice::ReadOnly)) return {"unread"};
    QString text = QString::fromUtf8(file.readAll());
    text.chop(1);
    return text.isEmpty() && counts.written == 0 ? QStringList()
                                                 : text.split('\n');
  }
  // Sets the dialog as `job` says.
  void SetUp(const karvello::Operation& row, const karvello::Job& job) {
    auto* command = Control<QComboBox>("Command");
    command->setCurrentIndex(command->findData(static_cast<int>(row.id)));
    Control<QLineEdit>("String")->setText(QString::fromStdString(job.search));
    Control<QCheckBox>("Regular expression")->setChecked(job.regex);
    Control<QCheckBox>("Ignore case")->setChecked(job.keys.ignore_case);
    Control<QCheckBox>("Trim spaces and tabs")->setChecked(job.keys.trim);
    Control<QCheckBox>("Normalize Unicode")->setChecked(job.keys.normalize);
    Control<QCheckBox>("Keep the last copy")->setChecked(job.keep_last);
    Control<QCheckBox>("Natural")->setChecked(job.natural);
    Control<QCheckBox>("Descending")->setChecked(job.descending);
    Control<QSpinBox>("Field")->setValue(static_cast<int>(job.keys.field));
    Control<QLineEdit>("Delimiter")
        ->setText(job.keys.field != 0 ? QString(QChar(job.keys.delimiter))
                                      : QString());
  }
  // More Commands for `list`, opened by Ctrl+K in it.
  void Open(ListBox& list) {
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_K, Qt::ControlModifier);
    dialog_ = form_->findChild<karvello::MoreCommands*>(
        &list == &form_->List1() ? "MoreCommands1" : "MoreCommands2");
    QVERIFY(dialog_ != nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(dialog_));
  }
  karvello::MoreCommands* dialog() { return dialog_; }
  // The dialog's control that a screen reader knows by `name`.
  template <typename T>
  T* Control(const QString& name) {
    for (T* w : dialog_->findChildren<T*>()) {
      QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(w);
      if (w->accessibleName() == name ||
          (a11y != nullptr && a11y->text(QAccessible::Name) == name)) {
        return w;
      }
    }
    qFatal("no control %s", qPrintable(name));
  }
  QString Count() { return dialog_->findChild<QLabel*>("Count")->text(); }
  QStringList MenuEntries(ListBox& list) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            list.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(list.viewport(), &event);
    QMenu* menu = form_->findChild<QMenu*>("ListMenu");
    QStringList entries;
    if (menu == nullptr) return {"none"};
    for (QAction* action : menu->actions()) {
      if (!action->isSeparator()) entries << action->text();
    }
    menu->close();
    delete menu;
    return entries;
  }

  QTemporaryDir dir_;
  std::unique_ptr<karvello::ScriptedDialogs> dialogs_;
  std::unique_ptr<karvello::Form1> form_;
  karvello::MoreCommands* dialog_ = nullptr;
};

QTEST_MAIN(MoreCommandsTest)
#include "MoreCommandsTest.moc"
