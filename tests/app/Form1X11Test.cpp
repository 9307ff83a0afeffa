// The window on a real X server, driven by synthetic input from outside the
// process (xdotool), as a user's keyboard and mouse drive it. Run by
// RunUnderX.sh, which starts the server and a window manager.

#include <QApplication>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "ScriptedDialogs.h"
#include "app/Form1.h"

using karvello::Form1;
using karvello::ListBox;
using karvello::ScriptedDialogs;

namespace {

// Runs xdotool with `args`; true when it succeeded.
bool XDoTool(const QStringList& args) {
  QProcess process;
  process.start(QStringLiteral("xdotool"), args);
  return process.waitForFinished(10000) && process.exitCode() == 0;
}

bool ClickAt(QWidget* widget) {
  const QPoint at = widget->mapToGlobal(widget->rect().center());
  return XDoTool({"mousemove", "--sync", QString::number(at.x()),
                  QString::number(at.y()), "click", "1"});
}

karvello::ItemList::Index Count(ListBox& list) {
  return list.Items().ListCount();
}

}  // namespace

class Form1X11Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void ctrlZUndoesARealPressAndCtrlYRedoesIt();
  void aClickDuringALongCommandIsHandledOnce();

 private:
  QPushButton* Button(const char* name) {
    return form_->findChild<QPushButton*>(QLatin1String(name));
  }

  std::unique_ptr<ScriptedDialogs> dialogs_;
  std::unique_ptr<Form1> form_;
};

void Form1X11Test::init() {
  dialogs_ = std::make_unique<ScriptedDialogs>();
  form_ = std::make_unique<Form1>(*dialogs_);
  form_->show();
  QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
  form_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
}

void Form1X11Test::cleanup() {
  form_.reset();
  dialogs_.reset();
}

void Form1X11Test::ctrlZUndoesARealPressAndCtrlYRedoesIt() {
  ListBox& list = form_->List1();
  for (const char* item : {"a", "b", "a", "c", "b"}) list.Items().AddItem(item);
  list.ItemsChanged();

  QVERIFY(ClickAt(Button("Check4")));  // Remove List 1 Dupes Except First
  QTRY_COMPARE(Count(list), 3);
  QCOMPARE(list.Items().List(2), "c");

  QVERIFY(XDoTool({"key", "--clearmodifiers", "ctrl+z"}));
  QTRY_COMPARE(Count(list), 5);
  QCOMPARE(list.Items().List(2), "a");
  QCOMPARE(list.Items().List(4), "b");

  QVERIFY(XDoTool({"key", "--clearmodifiers", "ctrl+y"}));
  QTRY_COMPARE(Count(list), 3);
  QVERIFY(XDoTool({"key", "--clearmodifiers", "ctrl+z"}));
  QTRY_COMPARE(Count(list), 5);
  QVERIFY(XDoTool({"key", "--clearmodifiers", "ctrl+shift+z"}));
  QTRY_COMPARE(Count(list), 3);
  QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
}

void Form1X11Test::aClickDuringALongCommandIsHandledOnce() {
  ListBox& list = form_->List1();
  for (const char* item : {"apple", "pear", "plum", ""}) {
    list.Items().AddItem(item);
  }
  list.ItemsChanged();
  // While "Remove List 1 Items With..." is still running (its prompt is up
  // and nothing else is handled), the user clicks "Remove Blanks From List
  // 1" and then "Remove List 1 Items Without...". Both clicks wait in the
  // queue and each runs once, in order, when the first command is done.
  bool clicked_while_busy = false;
  dialogs_->ExpectInputBox("pp", [&] {
    clicked_while_busy =
        ClickAt(Button("Check18")) && ClickAt(Button("Check16"));
  });
  dialogs_->ExpectInputBox("l");
  QVERIFY(ClickAt(Button("Check17")));
  QTRY_VERIFY(dialogs_->Done());
  QVERIFY(clicked_while_busy);
  // With: apple goes. Blanks: "" goes. Without "l": pear goes.
  QTRY_COMPARE(Count(list), 1);
  QCOMPARE(list.Items().List(0), "plum");
  // And a click just after is handled too.
  QVERIFY(ClickAt(Button("Check1")));
  QTRY_COMPARE(Count(list), 0);
  QVERIFY2(dialogs_->Done(), dialogs_->Report().c_str());
  for (const char* name : {"Check16", "Check17", "Check18", "Check1"}) {
    QVERIFY(!Button(name)->isChecked());
  }
}

QTEST_MAIN(Form1X11Test)
#include "Form1X11Test.moc"
