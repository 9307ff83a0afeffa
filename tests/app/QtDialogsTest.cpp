// The platform's pieces: a smoke test of the real Qt dialogs, in which a
// timer answers each modal dialog as it opens and the checks run
// afterwards, outside the timer; and the cursor file.

#ifndef _WIN32
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QFileDialog>
#include <QImageWriter>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>

#include "ScriptedDialogs.h"
#include "app/CursorFile.h"
#include "app/FilePaths.h"
#include "app/Form1.h"

namespace {

// Hands each modal dialog that opens to the next handler, in order, and
// records the title of each and what the handlers add.
struct ModalAnswers {
  using Handler = std::function<void(QWidget*)>;
  explicit ModalAnswers(std::deque<Handler> answers) : handlers(answers) {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == last) return;
      last = modal;
      seen << modal->windowTitle();
      if (handlers.empty()) return void(modal->close());  // not expected
      Handler handler = std::move(handlers.front());
      handlers.pop_front();
      handler(modal);
    });
    timer.start(10);
  }
  QTimer timer;
  QPointer<QWidget> last;
  std::deque<Handler> handlers;
  QStringList seen;
};

// "plain" when every label of `dialog` shows its text as written.
QString Plain(QWidget* dialog) {
  for (QLabel* label : dialog->findChildren<QLabel*>()) {
    if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText) {
      return "markup";
    }
  }
  return "plain";
}

// A cursor file: Qt writes an icon file, and a cursor file differs only in
// its type word and in the two words of the directory entry that hold the
// hot spot.
QByteArray CursorBytes(int hot_x, int hot_y, int type = 2) {
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter(&buffer, "ico").write(image);
  QByteArray bytes = buffer.data();
  bytes[2] = char(type);
  bytes[10] = char(hot_x);
  bytes[12] = char(hot_y);
  return bytes;
}

QString Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
             ? path
             : QString();
}

}  // namespace

class QtDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void promptAndMessageBoxes() {
    const auto dialogs = karvello::MakeQtDialogs();
    QStringList shown;
    auto input = [&shown](const char* typed, bool accept) {
      return [&shown, typed, accept](QWidget* w) {
        auto* dialog = static_cast<QInputDialog*>(w);
        shown << dialog->labelText() + "|" + dialog->textValue() + "|" +
                     Plain(w);
        dialog->setTextValue(typed);
        accept ? dialog->accept() : dialog->reject();
      };
    };
    auto box = [&shown](QMessageBox::StandardButton button) {
      return [&shown, button](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        shown << QStringLiteral("%1|%2|%3|%4")
                     .arg(box->text())
                     .arg(box->standardButtons().toInt())
                     .arg(box->icon())
                     .arg(Plain(w));
        box->button(button)->click();
      };
    };
    ModalAnswers answers({input(" x y ", true), input("typed", false),
                          box(QMessageBox::Ok), box(QMessageBox::No),
                          box(QMessageBox::Yes)});
    QCOMPARE(dialogs->InputBox(nullptr, "Enter string: ", "Tessolin"), " x y ");
    QCOMPARE(dialogs->InputBox(nullptr, "Enter <b>a&b</b>: ", "T"), "");
    dialogs->MsgBox(nullptr, "<b>File not found</b>", "Tessolin");
    QVERIFY(!dialogs->MsgBoxYesNo(nullptr, "Overwrite <i>a&b</i> ?", "T"));
    QVERIFY(dialogs->MsgBoxYesNo(nullptr, "Sure?", "Tessolin"));
    // The titles given; the field starts empty; text is plain, never
    // markup; no icon (0); OK (1024) or Yes and No (81920).
    QCOMPARE(answers.seen.join('/'), "Tessolin/T/Tessolin/T/Tessolin");
    QCOMPARE(shown.join('/'),
             "Enter string: ||plain/Enter <b>a&b</b>: ||plain/<b>File not "
             "found</b>|1024|0|plain/Overwrite <i>a&b</i> ?|81920|0|plain/"
             "Sure?|81920|0|plain");
  }

  // Open (several files, in the order given) and save (the proposed path,
  // no question of the dialog's own: the program asks); neither reads the
  // files it lists, which on a pipe or /proc/kmsg would wait for good.
  void fileDialogs() {
    QTemporaryDir dir;
    Write(dir.filePath("a.txt"), "a");
    const QString data = Write(dir.filePath("data"), "%PDF-1.4\n");
#ifndef _WIN32
    const int watch = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watch, QFile::encodeName(data).constData(),
                      IN_OPEN | IN_ACCESS);
#endif
    QStringList shown;
    auto show = [&](QWidget* w, const QStringList& files) {
      auto* dialog = static_cast<QFileDialog*>(w);
      shown << dialog->nameFilters() << QString::number(dialog->fileMode())
            << dialog->selectedFiles()
            << (dialog->testOption(QFileDialog::DontConfirmOverwrite) ? "no"
                                                                      : "asks");
      dialog->setDirectory(dir.path());
      QTest::qWait(300);  // the list with its icons and types fills
      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(files.join(' '));
      // Accepted from outside this handler, so that a question the dialog
      // might ask of its own is answered too (and fails the test).
      QTimer::singleShot(0, w, [w] { static_cast<QDialog*>(w)->accept(); });
    };
    ModalAnswers answers({[&](QWidget* w) {
                            show(w, {"\"data\"", "\"a.txt\""});
                          },
                          [&](QWidget* w) { show(w, {"data"}); }});
    const auto dialogs = karvello::MakeQtDialogs();
    using Kind = karvello::FileDialogRequest::Kind;
    const auto chosen = dialogs->ShowFileDialog(
        nullptr, {Kind::kOpen, 0x280201, "Load", "All Files (*.*)|*.*|", ""});
    QCOMPARE(chosen, (std::vector<std::string>{
                         karvello::PathBytes(data),
                         karvello::PathBytes(dir.filePath("a.txt"))}));
    QCOMPARE(dialogs->ShowFileDialog(
                 nullptr, {Kind::kSave, 0x280201, "Save",
                           "All Files (*.*)|*.*|Text Files (*.txt)|*.txt|",
                           data.toStdString()}),
             std::vector<std::string>{karvello::PathBytes(data)});
    QCOMPARE(answers.seen.join('/'), "Load/Save");
    QCOMPARE(shown.join('|').replace(dir.path(), "~"),
             QStringLiteral("All Files (*)|%1|no|All Files (*)|Text Files "
                            "(*.txt)|%2|~/data|no")
                 .arg(QFileDialog::ExistingFiles)
                 .arg(QFileDialog::AnyFile));
#ifndef _WIN32
    char event[4096];
    QVERIFY(::read(watch, event, sizeof event) < 0);  // nothing opened it
    ::close(watch);
#endif
  }

  void theProgressWindowEndsWithTheWorkOrCancel() {
    const auto dialogs = karvello::MakeQtDialogs();
    QStringList shown;
    ModalAnswers answers(
        {[&](QWidget* w) {
           auto* progress = static_cast<QProgressDialog*>(w);
           shown << progress->labelText()
                 << QString::number(progress->maximum());
           progress->findChild<QPushButton*>()->click();
         },
         [](QWidget*) {},
         [&](QWidget* w) {
           // What a screen reader hears and can ask.
           auto* a11y = QAccessible::queryAccessibleInterface(w);
           auto* bar = QAccessible::queryAccessibleInterface(
               w->findChild<QProgressBar*>());
           shown << a11y->text(QAccessible::Name)
                 << a11y->text(QAccessible::Description)
                 << bar->valueInterface()->currentValue().toString()
                 << bar->valueInterface()->maximumValue().toString();
           w->findChild<QPushButton*>()->click();
         }});
    // Work that never ends, of unknown size: Cancel ends the wait.
    QVERIFY(!dialogs->ShowProgress(nullptr, "Loading /proc/kmsg",
                                   [] { return karvello::Progress{}; }));
    QCOMPARE(answers.seen + shown,
             (QStringList{"Tessolin", "Loading /proc/kmsg", "0"}));
    // Work that ends: the window goes by itself.
    int polls = 0;
    QVERIFY(dialogs->ShowProgress(nullptr, "Loading", [&polls] {
      return karvello::Progress{++polls > 3, polls / 4.0};
    }));
    // A quarter of the work done.
    shown.clear();
    QVERIFY(
        !dialogs->ShowProgress(nullptr, "Loading /tmp/a.txt into List 2", [] {
          return karvello::Progress{false, 0.25};
        }));
    QCOMPARE(shown,
             (QStringList{"Loading /tmp/a.txt into List 2",
                          "Loading /tmp/a.txt into List 2. Cancel leaves "
                          "the list as it was.",
                          "250", "1000"}));
  }

  // Start-up reads HAND-M.CUR beside the program; what is no cursor file is
  // passed over without a word (the scripted dialogs fail on any message).
  void cursorFiles() {
    QTemporaryDir dir;
    for (const QByteArray& bytes :
         {QByteArray("not a cursor"), CursorBytes(1, 1, 1),
          CursorBytes(1, 1).left(30), QByteArray()}) {
      QVERIFY(!karvello::LoadCursorFile(Write(dir.filePath("c"), bytes)));
    }
    QVERIFY(!karvello::LoadCursorFile(dir.path()));
    QVERIFY(!karvello::LoadCursorFile(dir.filePath("missing")));
    const QString path = QCoreApplication::applicationDirPath() + "/HAND-M.CUR";
    const auto remove = qScopeGuard([&] { QFile::remove(path); });
    karvello::ScriptedDialogs dialogs;
    for (const QByteArray& bytes : {CursorBytes(3, 4), QByteArray("broken")}) {
      QVERIFY(!Write(path, bytes).isEmpty());
      karvello::Form1 form(dialogs);
      form.SetMousePointer(99);
      QCOMPARE(form.cursor().shape(),
               bytes.size() > 6 ? Qt::BitmapCursor : Qt::PointingHandCursor);
      QCOMPARE(form.cursor().hotSpot(),
               bytes.size() > 6 ? QPoint(3, 4) : QPoint(0, 0));
    }
    QVERIFY2(dialogs.Done(), dialogs.Report().c_str());
  }
};

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  QtDialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "QtDialogsTest.moc"
