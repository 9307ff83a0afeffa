// The platform's pieces: a smoke test of the real Qt dialogs, in which a
// timer answers each modal dialog as it opens and the checks run
// afterwards, outside the timer; and the cursor file.

#include <sys/inotify.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QFileDialog>
#include <QImageWriter>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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
#include "app/Form1.h"

namespace {

// Hands each modal dialog that opens to the next handler, in order, and
// records what it showed.
struct ModalAnswers {
  ModalAnswers() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == last || handlers.empty()) return;
      last = modal;
      auto handler = std::move(handlers.front());
      handlers.pop_front();
      handler(modal);
    });
    timer.start(10);
  }
  // A handler for a dialog of type T; any other dialog is closed unhandled.
  template <typename T>
  void Then(std::function<void(T*)> handler) {
    handlers.push_back([handler, this](QWidget* w) {
      auto* dialog = qobject_cast<T*>(w);
      seen << QString(dialog ? "" : "unexpected ") + w->windowTitle();
      dialog ? handler(dialog) : void(w->close());
    });
  }
  QTimer timer;
  QPointer<QWidget> last;
  std::deque<std::function<void(QWidget*)>> handlers;
  QStringList seen;
};

// Whether every label of `dialog` shows its text as written, never as
// markup.
bool Plain(QWidget* dialog) {
  for (QLabel* label : dialog->findChildren<QLabel*>()) {
    if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText) {
      return false;
    }
  }
  return true;
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
    ModalAnswers answers;
    answers.Then<QInputDialog>([&](QInputDialog* input) {
      answers.seen << input->labelText() << input->textValue();
      input->setTextValue(" x y ");
      input->accept();
    });
    answers.Then<QInputDialog>([&](QInputDialog* input) {
      answers.seen << (Plain(input) ? "plain" : "markup");
      input->setTextValue("typed, then cancelled");
      input->reject();
    });
    for (auto button : {QMessageBox::Ok, QMessageBox::No, QMessageBox::Yes}) {
      answers.Then<QMessageBox>([&answers, button](QMessageBox* box) {
        answers.seen << box->text()
                     << QString::number(box->standardButtons().toInt())
                     << QString::number(box->icon())
                     << (Plain(box) ? "plain" : "markup");
        box->button(button)->click();
      });
    }
    QCOMPARE(dialogs->InputBox(nullptr, "Enter string: ", "Tessolin"), " x y ");
    QCOMPARE(dialogs->InputBox(nullptr, "Enter <b>a&b</b>: ", "Tessolin"), "");
    dialogs->MsgBox(nullptr, "<b>File not found</b>", "Tessolin");
    QVERIFY(
        !dialogs->MsgBoxYesNo(nullptr, "Overwrite <i>a&b</i> ?", "Tessolin"));
    QVERIFY(dialogs->MsgBoxYesNo(nullptr, "Sure?", "Tessolin"));
    // Titles, texts and a field that starts empty; plain text, no icon,
    // OK (1024) or Yes and No (81920).
    QCOMPARE(answers.seen.join('|'),
             "Tessolin|Enter string: ||Tessolin|plain|Tessolin|<b>File not "
             "found</b>|1024|0|plain|Tessolin|Overwrite <i>a&b</i> "
             "?|81920|0|plain|Tessolin|Sure?|81920|0|plain");
  }

  // Open (several files, in the order given) and save (the proposed path,
  // no question of the dialog's own: the program asks); neither reads the
  // files it lists, which on a pipe or /proc/kmsg would wait for good.
  void fileDialogs() {
    QTemporaryDir dir;
    Write(dir.filePath("a.txt"), "a");
    const QString data = Write(dir.filePath("data"), "%PDF-1.4\n");
    const int watch = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watch, QFile::encodeName(data).constData(),
                      IN_OPEN | IN_ACCESS);
    const auto dialogs = karvello::MakeQtDialogs();
    ModalAnswers answers;
    answers.Then<QFileDialog>([&](QFileDialog* dialog) {
      answers.seen << dialog->nameFilters()
                   << QString::number(dialog->fileMode());
      dialog->setDirectory(dir.path());
      QTest::qWait(300);  // the list with its icons and types fills
      dialog->findChild<QLineEdit*>("fileNameEdit")
          ->setText("\"data\" \"a.txt\"");
      static_cast<QDialog*>(dialog)->accept();
    });
    answers.Then<QFileDialog>([&](QFileDialog* dialog) {
      answers.seen << dialog->selectedFiles() << dialog->nameFilters()
                   << (dialog->testOption(QFileDialog::DontConfirmOverwrite)
                           ? "no question"
                           : "a question");
      static_cast<QDialog*>(dialog)->accept();
    });
    karvello::FileDialogRequest open{karvello::FileDialogRequest::Kind::kOpen,
                                     0x280201, "Load", "All Files (*.*)|*.*|",
                                     ""};
    karvello::FileDialogRequest save{
        karvello::FileDialogRequest::Kind::kSave, 0x280201, "Save",
        "All Files (*.*)|*.*|Text Files (*.txt)|*.txt|", data.toStdString()};
    const std::vector<std::string> chosen =
        dialogs->ShowFileDialog(nullptr, open);
    QCOMPARE(dialogs->ShowFileDialog(nullptr, save),
             std::vector<std::string>{data.toStdString()});
    QCOMPARE(chosen,
             (std::vector<std::string>{data.toStdString(),
                                       dir.filePath("a.txt").toStdString()}));
    QCOMPARE(
        answers.seen,
        (QStringList{"Load", "All Files (*)",
                     QString::number(QFileDialog::ExistingFiles), "Save", data,
                     "All Files (*)", "Text Files (*.txt)", "no question"}));
    char event[4096];
    QVERIFY(::read(watch, event, sizeof event) < 0);  // nothing opened it
    ::close(watch);
  }

  void theProgressWindowEndsWithTheWorkOrCancel() {
    const auto dialogs = karvello::MakeQtDialogs();
    ModalAnswers answers;
    answers.Then<QProgressDialog>([&](QProgressDialog* progress) {
      answers.seen << progress->labelText()
                   << QString::number(progress->maximum());
      progress->findChild<QPushButton*>()->click();
    });
    // Work that never ends, of unknown size: Cancel ends the wait.
    QVERIFY(!dialogs->ShowProgress(nullptr, "Loading /proc/kmsg",
                                   [] { return karvello::Progress{}; }));
    QCOMPARE(answers.seen,
             (QStringList{"Tessolin", "Loading /proc/kmsg", "0"}));
    // Work that ends: the window goes by itself.
    int polls = 0;
    QVERIFY(dialogs->ShowProgress(nullptr, "Loading", [&polls] {
      return karvello::Progress{++polls > 3, polls / 4.0};
    }));
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
      if (bytes.size() > 6) {
        QCOMPARE(form.cursor().hotSpot(), QPoint(3, 4));
        QCOMPARE(form.cursor().pixmap().size(), QSize(32, 32));
      } else {
        QCOMPARE(form.cursor().shape(), Qt::PointingHandCursor);
      }
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
