// A click right after a long Load, on a real X server with the real file
// dialog: the file is chosen as a user chooses it (a double-click on its
// name, or its name typed and Enter), the Load of two million lines runs,
// and a click on Clear made meanwhile or just after must clear the list.
// Run by RunUnderX.sh, which starts the server and a window manager.

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "app/Dialogs.h"
#include "app/Form1.h"

using karvello::Form1;
using karvello::ListBox;

namespace {

constexpr int kLines = 2'000'000;
constexpr char kFileName[] = "long.txt";

QString Coordinates(QWidget* widget, QPoint local) {
  const QPoint at = widget->mapToGlobal(local);
  return QStringLiteral("%1 %2").arg(at.x()).arg(at.y());
}

// The file dialog's view of files, once it lists `name`; else null.
QAbstractItemView* ViewListing(QFileDialog& dialog, const QString& name,
                               QModelIndex* index) {
  for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
    if (!view->isVisible()) continue;
    QAbstractItemModel* model = view->model();
    if (model == nullptr) continue;
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
      const QModelIndex item = model->index(row, 0, root);
      if (item.data().toString() == name) {
        *index = item;
        return view;
      }
    }
  }
  return nullptr;
}

}  // namespace

class Form1LoadClickX11Test : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void aClickAfterALongLoadIsHandledOnce_data();
  void aClickAfterALongLoadIsHandledOnce();

 private:
  QTemporaryDir dir_;
};

void Form1LoadClickX11Test::initTestCase() {
  QVERIFY(dir_.isValid());
  QFile file(dir_.filePath(kFileName));
  QVERIFY(file.open(QIODevice::WriteOnly));
  QByteArray text;
  text.reserve(kLines * 9);
  for (int k = 0; k < kLines; ++k) {
    text += QByteArray::number(k + 10'000'000).right(7);
    text += '\n';
  }
  QVERIFY(file.write(text) == text.size());
  file.close();
  // The dialog opens on the current folder.
  QVERIFY(QDir::setCurrent(dir_.path()));
}

void Form1LoadClickX11Test::aClickAfterALongLoadIsHandledOnce_data() {
  QTest::addColumn<bool>("by_double_click");
  QTest::addColumn<QString>("delay");   // seconds, after the file is chosen
  QTest::addColumn<QString>("target");  // the Clear button clicked then
  QTest::addColumn<int>("clicks");      // on it
  // Other delays can be tried by hand: KARVELLO_CLICK_DELAYS="0 0.1 0.5".
  const QString delays =
      qEnvironmentVariable("KARVELLO_CLICK_DELAYS", QStringLiteral("0 0.4"));
  for (const QString& delay : delays.split(' ', Qt::SkipEmptyParts)) {
    const QByteArray after = delay.toLatin1();
    QTest::addRow("double-click, Clear 1 after %s s", after.constData())
        << true << delay << QStringLiteral("Check1") << 1;
    QTest::addRow("Enter, Clear 1 after %s s", after.constData())
        << false << delay << QStringLiteral("Check1") << 1;
    QTest::addRow("double-click, Clear 2 after %s s", after.constData())
        << true << delay << QStringLiteral("Check2") << 1;
    // The second press comes as a double-click.
    QTest::addRow("Enter, Clear 1 twice after %s s", after.constData())
        << false << delay << QStringLiteral("Check1") << 2;
  }
}

void Form1LoadClickX11Test::aClickAfterALongLoadIsHandledOnce() {
  QFETCH(bool, by_double_click);
  QFETCH(QString, delay);
  QFETCH(QString, target);
  QFETCH(int, clicks);
  const std::unique_ptr<karvello::Dialogs> dialogs = karvello::MakeQtDialogs();
  Form1 form(*dialogs);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  form.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&form));
  auto* load = form.findChild<QPushButton*>(QStringLiteral("Check3"));
  auto* clear = form.findChild<QPushButton*>(target);
  ListBox& cleared = target == "Check1" ? form.List1() : form.List2();
  if (target != "Check1") {
    for (const char* item : {"a", "b"}) cleared.Items().AddItem(item);
    cleared.ItemsChanged();
  }
  QVERIFY(load != nullptr && clear != nullptr);
  // Each handled press puts its button down once.
  QSignalSpy load_downs(load, &QPushButton::toggled);
  QSignalSpy clear_downs(clear, &QPushButton::toggled);
  const auto downs = [](const QSignalSpy& spy) {
    return std::count_if(
        spy.begin(), spy.end(),
        [](const QList<QVariant>& args) { return args.at(0).toBool(); });
  };

  // The dialog runs its own loop; a timer in it waits for the file to be
  // listed, then a script outside the process chooses it and clicks Clear,
  // so that its input arrives while the window is busy loading.
  const QString done = dir_.filePath(QStringLiteral("clicked"));
  QFile::remove(done);
  bool started = false;
  QElapsedTimer waited;
  waited.start();
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* dialog =
        qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || started) return;
    QModelIndex item;
    QAbstractItemView* view = ViewListing(*dialog, kFileName, &item);
    if (view == nullptr) {
      // Bounded: a dialog that never lists the file is closed, and the test
      // fails below instead of waiting for good.
      if (waited.hasExpired(30000)) dialog->reject();
      return;
    }
    const QString what =
        by_double_click
            ? Coordinates(view->viewport(), view->visualRect(item).center())
            : QString::fromLatin1(kFileName);
    const QPoint at = clear->mapToGlobal(clear->rect().center());
    started = QProcess::startDetached(
        QStringLiteral(KARVELLO_TEST_SOURCE_DIR "/ChooseThenClick.sh"),
        {by_double_click ? "double-click" : "enter", what, delay,
         QString::number(at.x()), QString::number(at.y()),
         QString::number(clicks), done});
  });
  watch.start(50);

  const QPoint at = load->mapToGlobal(load->rect().center());
  QProcess press;
  press.start(QStringLiteral("xdotool"),
              {"mousemove", "--sync", QString::number(at.x()),
               QString::number(at.y()), "click", "1"});
  QVERIFY(press.waitForFinished(10000) && press.exitCode() == 0);

  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(done), 60000);
  QVERIFY(started);
  // Whatever was queued is handled within this bound; a lost click leaves
  // the two million lines.
  QTRY_COMPARE_WITH_TIMEOUT(cleared.Items().ListCount(), 0, 30000);
  QTRY_COMPARE_WITH_TIMEOUT(downs(clear_downs), clicks, 30000);
  QCOMPARE(downs(load_downs), 1);
  QVERIFY(!clear->isChecked());
  QVERIFY(!load->isChecked());
  // One Load and one Clear (a Clear of nothing is no step): undone one at
  // a time.
  form.Undo();
  QCOMPARE(cleared.Items().ListCount(), target == "Check1" ? kLines : 2);
  QCOMPARE(form.List1().Items().ListCount(), kLines);
  QCOMPARE(form.List1().Items().List(kLines - 1), "1999999");
  form.Undo();
  QCOMPARE(form.List1().Items().ListCount(), 0);
}

QTEST_MAIN(Form1LoadClickX11Test)
#include "Form1LoadClickX11Test.moc"
