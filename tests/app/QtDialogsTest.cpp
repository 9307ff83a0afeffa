// A smoke test of the real Qt dialogs: a timer answers each modal dialog as
// it opens, and the checks run afterwards, outside the timer.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/Dialogs.h"
#include "app/Form1.h"

namespace {

// Hands each modal dialog that opens to the next handler, in order.
class ModalAnswers {
 public:
  ModalAnswers() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
  }
  void Then(std::function<void(QWidget*)> handler) {
    handlers_.push_back(std::move(handler));
  }
  // A handler for a dialog of type T; any other dialog is closed unhandled,
  // which the checks afterwards then notice.
  template <typename T>
  void Then(std::function<void(T*)> handler) {
    Then([handler = std::move(handler)](QWidget* w) {
      if (auto* dialog = qobject_cast<T*>(w)) {
        handler(dialog);
      } else {
        w->close();
      }
    });
  }
  bool AllUsed() const { return handlers_.empty(); }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == last_ || handlers_.empty()) return;
    last_ = modal;
    const auto handler = std::move(handlers_.front());
    handlers_.pop_front();
    handler(modal);
  }

  QTimer timer_;
  QPointer<QWidget> last_;
  std::deque<std::function<void(QWidget*)>> handlers_;
};

// The format of the label that shows a dialog's text.
Qt::TextFormat LabelFormat(QWidget* dialog, const char* name = nullptr) {
  auto* label = dialog->findChild<QLabel*>(name);
  return label != nullptr ? label->textFormat() : Qt::AutoText;
}

#ifdef _WIN32
// Windows has no file leases: the test that needs them skips.
struct OpenWatch {
  explicit OpenWatch(const std::string&) {}
  bool Leased() const { return false; }
  bool OpenSeen() const { return false; }
};
#else
// Catches anyone opening a file. A write lease makes every other open() of
// the file wait until the lease is given up, and shows the holder that one
// is waiting; the watch then gives the lease up, so the opener goes on.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR)) {
    // The lease's signal would end the process; the watch polls instead.
    std::signal(SIGIO, SIG_IGN);
    leased_ = fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_WRLCK) == 0;
    if (leased_) thread_ = std::thread([this] { Run(); });
  }
  ~OpenWatch() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Leased() const { return leased_; }
  bool OpenSeen() const { return open_seen_; }

 private:
  void Run() {
    while (!stop_ && !open_seen_) {
      if (::fcntl(fd_, F_GETLEASE) != F_WRLCK) {
        open_seen_ = true;
        ::fcntl(fd_, F_SETLEASE, F_UNLCK);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  int fd_;
  bool leased_ = false;
  std::atomic<bool> stop_ = false;
  std::atomic<bool> open_seen_ = false;
  std::thread thread_;
};
#endif

}  // namespace

class QtDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void promptAndMessageBoxes();
  void loadAndSaveThroughTheRealFileDialogs();
  void fileDialogsNeverReadTheFilesTheyList();
};

void QtDialogsTest::promptAndMessageBoxes() {
  const auto dialogs = karvello::MakeQtDialogs();
  ModalAnswers answers;
  // What each dialog showed; text is shown as written, never as markup.
  QStringList seen;
  answers.Then<QInputDialog>([&](QInputDialog* input) {
    seen << input->windowTitle() << input->labelText() << input->textValue();
    input->setTextValue(" x y ");
    input->accept();
  });
  answers.Then<QInputDialog>([&](QInputDialog* input) {
    seen << input->textValue();
    seen << (LabelFormat(input) == Qt::PlainText ? "plain" : "markup");
    input->setTextValue("typed, then cancelled");
    input->reject();
  });
  auto answer = [&](QMessageBox::StandardButton button) {
    answers.Then<QMessageBox>([&seen, button](QMessageBox* box) {
      seen << box->text() << QString::number(box->standardButtons().toInt())
           << QString::number(box->icon());
      const bool plain = LabelFormat(box, "qt_msgbox_label") == Qt::PlainText;
      seen << (plain ? "plain" : "markup");
      box->button(button)->click();
    });
  };
  answer(QMessageBox::Ok);
  answer(QMessageBox::No);
  answer(QMessageBox::Yes);

  QCOMPARE(dialogs->InputBox(nullptr, "Enter string: ", "Tessolin"),
           std::string(" x y "));
  QCOMPARE(dialogs->InputBox(nullptr, "Enter <b>a&b</b>: ", "Tessolin"),
           std::string());
  dialogs->MsgBox(nullptr, "<b>File not found</b>", "Tessolin");
  QVERIFY(!dialogs->MsgBoxYesNo(
      nullptr, "Are you sure you wish to overwrite /tmp/<i>a&b</i> ?",
      "Tessolin"));
  QVERIFY(dialogs->MsgBoxYesNo(nullptr, "Sure?", "Tessolin"));
  QVERIFY(answers.AllUsed());
  const QString ok = QString::number(QMessageBox::Ok);
  const QString yes_no = QString::number(QMessageBox::Yes | QMessageBox::No);
  const QString no_icon = QString::number(QMessageBox::NoIcon);
  QCOMPARE(seen,
           (QStringList{"Tessolin", "Enter string: ", "", "", "plain",
                        "<b>File not found</b>", ok, no_icon, "plain",
                        "Are you sure you wish to overwrite /tmp/<i>a&b</i> ?",
                        yes_no, no_icon, "plain", "Sure?", yes_no, no_icon,
                        "plain"}));
}

void QtDialogsTest::loadAndSaveThroughTheRealFileDialogs() {
  QTemporaryDir dir;
  for (const char* name : {"a.txt", "b.txt"}) {
    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(name, 1) + "\r\n");
  }
  const auto dialogs = karvello::MakeQtDialogs();
  karvello::Form1 form(*dialogs);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  ModalAnswers answers;
  QStringList seen;  // what each dialog showed
  answers.Then<QFileDialog>([&](QFileDialog* dialog) {
    seen << dialog->windowTitle() << dialog->nameFilters()
         << QString::number(dialog->fileMode());
    dialog->setDirectory(dir.path());
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    if (!edit) {
      dialog->reject();
      return;
    }
    edit->setText("\"a.txt\" \"b.txt\"");
    static_cast<QDialog*>(dialog)->accept();
  });
  // Save proposes the first file of the load; accepting it brings the
  // program's own question, never the dialog's.
  answers.Then<QFileDialog>([&](QFileDialog* dialog) {
    seen << dialog->selectedFiles() << dialog->nameFilters();
    if (!dialog->testOption(QFileDialog::DontConfirmOverwrite)) {
      seen << "the dialog asks too";
    }
    static_cast<QDialog*>(dialog)->accept();
  });
  answers.Then<QMessageBox>([&](QMessageBox* box) {
    seen << box->text();
    box->button(QMessageBox::Yes)->click();
  });
  QTest::mouseClick(form.findChild<QPushButton*>("Check3"), Qt::LeftButton);
  QCOMPARE(form.List1().Items().ListCount(), 2);
  QCOMPARE(form.List1().Items().List(1), "b");
  QTest::mouseClick(form.findChild<QPushButton*>("Check20"), Qt::LeftButton);
  QVERIFY(answers.AllUsed());
  const QString a = dir.filePath("a.txt");
  QCOMPARE(seen,
           (QStringList{
               "Load List(s) - Hold Ctrl to select multiple list files",
               "All Files (*)", QString::number(QFileDialog::ExistingFiles), a,
               "All Files (*)", "Text Files (*.txt)", "List Files (*.lst)",
               "Are you sure you wish to overwrite " +
                   QDir::toNativeSeparators(a) + " ?"}));
  QFile saved(a);
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.readAll(), QByteArray("a\r\nb\r\n"));
}

void QtDialogsTest::fileDialogsNeverReadTheFilesTheyList() {
  // A file whose name says nothing of its type: Qt's own dialog reads the
  // start of such a file to find one, and such a read never returns on a
  // special file that never ends (/proc/kmsg, for root).
  QTemporaryDir dir;
  const QString data = dir.filePath("data");
  {
    QFile file(data);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("%PDF-1.4\n");
  }
  OpenWatch watch(data.toStdString());
  if (!watch.Leased()) QSKIP("this file system gives no file leases");

  const auto dialogs = karvello::MakeQtDialogs();
  for (const auto kind : {karvello::FileDialogRequest::Kind::kOpen,
                          karvello::FileDialogRequest::Kind::kSave}) {
    ModalAnswers answers;
    QStringList shown;
    answers.Then([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      auto* model = w->findChild<QFileSystemModel*>();
      if (dialog == nullptr || model == nullptr) {
        w->close();
        return;
      }
      dialog->setDirectory(dir.path());
      const QModelIndex root = model->index(dir.path());
      if (!QTest::qWaitFor([&] { return model->rowCount(root) == 1; }, 5000)) {
        dialog->reject();
        return;
      }
      // What the list shows of the file, its icon and type included.
      for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex name = model->index(row, 0, root);
        model->data(name, Qt::DecorationRole);
        shown << model->fileName(name) + ": " + model->type(name);
      }
      QTest::qWait(100);
      dialog->reject();
    });
    karvello::FileDialogRequest request;
    request.kind = kind;
    request.title = "List";
    request.filter = "All Files (*.*)|*.*|";
    QCOMPARE(dialogs->ShowFileDialog(nullptr, request), std::string());
    QVERIFY(answers.AllUsed());
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].startsWith("data: "), qPrintable(shown[0]));
    QVERIFY2(!watch.OpenSeen(), qPrintable(shown[0]));
  }
}

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  QtDialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "QtDialogsTest.moc"
