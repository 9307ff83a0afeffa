// The platform's dialogs, through Qt: a few lines per call.

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QStringList>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "app/FilePaths.h"

#ifdef _WIN32
#include <windows.h>
#elif defined(KARVELLO_HAVE_XCB)
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#endif

namespace karvello {
namespace {

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }

// "All Files (*.*)|*.*|Text Files (*.txt)|*.txt|" becomes Qt's
// "All Files (*)", "Text Files (*.txt)". Qt takes the patterns from the
// parentheses of the name itself, so the parentheses are rewritten with the
// entry's patterns, and "*.*" becomes "*": it means every file, also those
// whose name has no dot.
QStringList NameFilters(const std::string& filter) {
  const QStringList fields = Text(filter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
    QString name = fields[i].trimmed();
    QStringList patterns = fields[i + 1].split(u';', Qt::SkipEmptyParts);
    for (QString& p : patterns) {
      p = p.trimmed();
      if (p == u"*.*") p = QStringLiteral("*");
    }
    if (name.endsWith(u')') && name.contains(u'(')) {
      name.truncate(name.lastIndexOf(u'('));
      name = name.trimmed();
    }
    filters << QStringLiteral("%1 (%2)").arg(name, patterns.join(u' '));
  }
  return filters;
}

// Icons and type names for the file dialog, decided by the name alone.
// Qt's own provider reads the start of every file whose name says nothing of
// its type, and such a read never returns on a pipe or on a special file
// that never ends (as root, /proc/kmsg): the dialog would wait for it for
// good. Folders and special files only ever get a generic icon.
class NameOnlyIconProvider final : public QFileIconProvider {
 public:
  using QFileIconProvider::icon;

  QIcon icon(const QFileInfo& info) const override {
    if (info.isRoot()) return icon(Drive);
    if (info.isDir()) return icon(Folder);
    const QMimeType mime = TypeByName(info);
    return QIcon::fromTheme(
        mime.iconName(), QIcon::fromTheme(mime.genericIconName(), icon(File)));
  }

  QString type(const QFileInfo& info) const override {
    if (info.isRoot()) return QStringLiteral("Drive");
    if (info.isDir()) return QStringLiteral("Folder");
    const QMimeType mime = TypeByName(info);
    return mime.comment().isEmpty() ? mime.name() : mime.comment();
  }

 private:
  QMimeType TypeByName(const QFileInfo& info) const {
    return mime_types_.mimeTypeForFile(info.fileName(),
                                       QMimeDatabase::MatchExtension);
  }

  QMimeDatabase mime_types_;
};

// While a modal window shows, Qt drops the close request of the window it
// blocks (its close button). This filter takes that request for `window`
// and runs `asked` instead.
class CloseRequestWatch final : public QAbstractNativeEventFilter {
 public:
  CloseRequestWatch(QWidget* window, std::function<void()> asked)
      : window_(window), asked_(std::move(asked)) {
#ifdef KARVELLO_HAVE_XCB
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (window != nullptr && x11 != nullptr && x11->connection() != nullptr) {
      protocols_ = Atom(x11->connection(), "WM_PROTOCOLS");
      delete_window_ = Atom(x11->connection(), "WM_DELETE_WINDOW");
    }
#endif
    qGuiApp->installNativeEventFilter(this);
  }
  ~CloseRequestWatch() override { qGuiApp->removeNativeEventFilter(this); }

  bool nativeEventFilter(const QByteArray& type, void* message,
                         qintptr* result) override {
    if (window_ == nullptr || !IsCloseRequest(type, message)) return false;
    if (result != nullptr) *result = 0;
    asked_();
    return true;
  }

 private:
  bool IsCloseRequest(const QByteArray& type, void* message) const {
    const auto id = window_->winId();
#ifdef _WIN32
    if (type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    return msg->hwnd == reinterpret_cast<HWND>(id) &&
           (msg->message == WM_CLOSE || (msg->message == WM_SYSCOMMAND &&
                                         (msg->wParam & 0xFFF0) == SC_CLOSE));
#elif defined(KARVELLO_HAVE_XCB)
    if (type != "xcb_generic_event_t" || protocols_ == XCB_ATOM_NONE) {
      return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE) return false;
    const auto* client =
        reinterpret_cast<const xcb_client_message_event_t*>(event);
    return client->window == id && client->type == protocols_ &&
           client->format == 32 && client->data.data32[0] == delete_window_;
#else
    (void)type;
    (void)message;
    (void)id;
    return false;
#endif
  }

#ifdef KARVELLO_HAVE_XCB
  static xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(
        connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
  }
  xcb_atom_t protocols_ = XCB_ATOM_NONE;
  xcb_atom_t delete_window_ = XCB_ATOM_NONE;
#endif
  QPointer<QWidget> window_;
  std::function<void()> asked_;
};

// Qt can lose track of its active window when a dialog closes while a popup
// of its own is open (the file dialog's list of completions): the window
// has the input focus, yet QApplication has no active window, sends the
// window no activation, and tells assistive technology of none.
void RepairActivation(QWidget* window) {
  if (window != nullptr && window->isVisible() &&
      QGuiApplication::focusWindow() == window->windowHandle() &&
      QApplication::activeWindow() == nullptr) {
    QApplication::setActiveWindow(window);
  }
}

// Gives the window of `parent` the activation back once a modal dialog has
// closed, so that a screen reader finds an active window and its focus.
class GiveBackActivation {
 public:
  explicit GiveBackActivation(QWidget* parent) : parent_(parent) {}
  ~GiveBackActivation() {
    if (parent_ == nullptr || !parent_->window()->isVisible()) return;
    QWidget* window = parent_->window();
    window->activateWindow();
    QTimer::singleShot(0, window, [window] { RepairActivation(window); });
    // The window system may give the focus back only a little later.
    auto* context = new QObject(window);
    QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, context,
                     [window, context] {
                       RepairActivation(window);
                       context->deleteLater();
                     });
  }
  GiveBackActivation(const GiveBackActivation&) = delete;
  GiveBackActivation& operator=(const GiveBackActivation&) = delete;

 private:
  QPointer<QWidget> parent_;
};

class QtDialogs final : public Dialogs {
 public:
  std::string InputBox(QWidget* parent, const std::string& prompt,
                       const std::string& title) override {
    const GiveBackActivation give_back(parent);
    QInputDialog dialog(parent);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(Text(title));
    dialog.setLabelText(Text(prompt));
    // A label guesses whether its text is markup; the prompt is never
    // markup.
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
      label->setTextFormat(Qt::PlainText);
    }
    dialog.setTextValue(QString());
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.textValue().toStdString();
  }

  void MsgBox(QWidget* parent, const std::string& text,
              const std::string& title) override {
    const GiveBackActivation give_back(parent);
    QMessageBox box(QMessageBox::NoIcon, Text(title), Text(text),
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }

  bool MsgBoxYesNo(QWidget* parent, const std::string& text,
                   const std::string& title) override {
    const GiveBackActivation give_back(parent);
    QMessageBox box(QMessageBox::NoIcon, Text(title), Text(text),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
  }

  std::vector<std::string> ShowFileDialog(
      QWidget* parent, const FileDialogRequest& request) override {
    const GiveBackActivation give_back(parent);
    // Outlives the dialog, which only borrows it.
    NameOnlyIconProvider icons;
    QFileDialog dialog(parent, Text(request.title));
    dialog.setIconProvider(&icons);
    dialog.setNameFilters(NameFilters(request.filter));
    dialog.setOption(QFileDialog::DontConfirmOverwrite,
                     (request.flags & kOfnOverwritePrompt) == 0);
    if (request.kind == FileDialogRequest::Kind::kSave) {
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setFileMode(QFileDialog::AnyFile);
    } else {
      dialog.setAcceptMode(QFileDialog::AcceptOpen);
      dialog.setFileMode((request.flags & kOfnAllowMultiSelect) != 0
                             ? QFileDialog::ExistingFiles
                             : QFileDialog::ExistingFile);
    }
    if (!request.file_name.empty()) {
      dialog.selectFile(PathText(request.file_name));
    }
    if (dialog.exec() != QDialog::Accepted) return {};
    std::vector<std::string> paths;
    for (const QString& file : dialog.selectedFiles()) {
      paths.push_back(PathBytes(file));
    }
    return paths;
  }

  bool ShowProgress(QWidget* parent, const std::string& text,
                    const std::function<Progress()>& poll) override {
    const GiveBackActivation give_back(parent);
    constexpr int kSteps = 1000;
    QProgressDialog dialog(Text(text), QStringLiteral("Cancel"), 0, kSteps,
                           parent);
    dialog.setWindowTitle(Text(kAppTitle));
    // A screen reader names the window by what it is doing, and reads the
    // bar's value when asked.
    dialog.setAccessibleName(Text(text));
    dialog.setAccessibleDescription(
        Text(text) + QStringLiteral(". Cancel leaves the list as it was."));
    if (auto* bar = dialog.findChild<QProgressBar*>()) {
      bar->setAccessibleName(QStringLiteral("Progress"));
    }
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setAutoReset(false);
    dialog.setAutoClose(false);
    dialog.setMinimumDuration(0);
    QTimer timer;
    auto update = [&] {
      const Progress progress = poll();
      if (progress.done) {
        dialog.done(QDialog::Accepted);
      } else if (progress.fraction < 0) {
        dialog.setMaximum(0);  // a bar that only says "busy"
      } else {
        dialog.setMaximum(kSteps);
        dialog.setValue(static_cast<int>(progress.fraction * kSteps));
      }
    };
    QObject::connect(&timer, &QTimer::timeout, update);
    timer.start(50);
    update();
    // The close button of the window behind cancels as Cancel does, and
    // then closes that window.
    QPointer<QWidget> window = parent != nullptr ? parent->window() : nullptr;
    bool close_asked = false;
    const CloseRequestWatch watch(window, [&] {
      close_asked = true;
      dialog.reject();
    });
    // Cancel, Escape and closing the window all end it unaccepted.
    const bool done = dialog.result() == QDialog::Accepted ||
                      dialog.exec() == QDialog::Accepted;
    if (close_asked && window != nullptr) {
      QTimer::singleShot(0, window, [window] { window->close(); });
    }
    return done && !close_asked;
  }
};

}  // namespace

std::unique_ptr<Dialogs> MakeQtDialogs() {
  return std::make_unique<QtDialogs>();
}

}  // namespace karvello
