#include "app/ListClipboard.h"

#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>
#include <optional>
#include <string_view>
#include <utility>

#include "app/extent/ItemDisplayText.h"

#ifdef KARVELLO_HAVE_XCB
#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#endif

namespace karvello {
namespace {

// Copies between Karvello windows go through the window's own format
// unchanged, whatever the platform makes of text/plain.
constexpr char kListFormat[] = "application/x-karvello-list";
constexpr char kPlainText[] = "text/plain";
constexpr char kUtf8Text[] = "text/plain;charset=utf-8";

// The program whose request Qt is answering asked for text where Qt serves
// text/plain: then text/plain gives the text, not the bytes.
bool text_asked = false;

#ifdef KARVELLO_HAVE_XCB
// Qt serves the X11 targets UTF8_STRING, STRING and TEXT from text/plain.
// This filter sees each request for the selection just before Qt answers
// it, on the same thread, and notes whether it is for one of them. Any
// other event ends the note, so that the window's own reads of text/plain
// get the bytes.
class TextTargetWatch final : public QAbstractNativeEventFilter {
 public:
  explicit TextTargetWatch(xcb_connection_t* connection) {
    text_targets_.push_back(XCB_ATOM_STRING);
    for (const char* name : {"UTF8_STRING", "TEXT"}) {
      const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(
          connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
      if (xcb_intern_atom_reply_t* reply =
              xcb_intern_atom_reply(connection, cookie, nullptr)) {
        text_targets_.push_back(reply->atom);
        std::free(reply);
      }
    }
  }

  bool nativeEventFilter(const QByteArray& type, void* message,
                         qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    text_asked = false;
    if ((event->response_type & 0x7F) == XCB_SELECTION_REQUEST) {
      const xcb_atom_t target =
          reinterpret_cast<const xcb_selection_request_event_t*>(event)->target;
      text_asked = std::find(text_targets_.begin(), text_targets_.end(),
                             target) != text_targets_.end();
    }
    return false;
  }

 private:
  std::vector<xcb_atom_t> text_targets_;
};
#endif

void WatchTextTargets() {
#ifdef KARVELLO_HAVE_XCB
  static bool watching = false;
  if (watching || qGuiApp == nullptr) return;
  watching = true;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->connection() == nullptr) return;
  // Lives as long as the program: the clipboard may be asked after the last
  // window has gone.
  static TextTargetWatch watch(x11->connection());
  qGuiApp->installNativeEventFilter(&watch);
#endif
}

// `bytes` read line by line as the list reads its items.
QString ReadText(const QByteArray& bytes) {
  const std::string_view all(bytes.constData(),
                             static_cast<std::size_t>(bytes.size()));
  QString text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = all.find('\n', at);
    text += ItemText(all.substr(at, end - at));
    if (end == std::string_view::npos) break;
    text += u'\n';
    at = end + 1;
  }
  return text;
}

class ListMimeData final : public QMimeData {
 public:
  explicit ListMimeData(QByteArray bytes) : bytes_(std::move(bytes)) {}

  QStringList formats() const override {
    return {QString::fromLatin1(kListFormat), QString::fromLatin1(kPlainText),
            QString::fromLatin1(kUtf8Text)};
  }
  bool hasFormat(const QString& format) const override {
    return formats().contains(format);
  }

 protected:
  QVariant retrieveData(const QString& format, QMetaType type) const override {
    if (format == QLatin1String(kUtf8Text) ||
        (format == QLatin1String(kPlainText) && text_asked)) {
      if (type.id() == QMetaType::QString) return Text();
      return Text().toUtf8();
    }
    if (format == QLatin1String(kListFormat) ||
        format == QLatin1String(kPlainText)) {
      return bytes_;
    }
    return {};
  }

 private:
  const QString& Text() const {
    if (!text_) text_ = ReadText(bytes_);
    return *text_;
  }

  const QByteArray bytes_;
  mutable std::optional<QString> text_;
};

}  // namespace

QMimeData* NewListMimeData(QByteArray bytes) {
  WatchTextTargets();
  return new ListMimeData(std::move(bytes));
}

QByteArray TextBytes(const QMimeData& mime) {
  for (const char* format : {kListFormat, kPlainText}) {
    if (mime.hasFormat(QString::fromLatin1(format))) {
      return mime.data(QString::fromLatin1(format));
    }
  }
  return mime.text().toUtf8();
}

bool HasText(const QMimeData& mime) {
  return mime.hasFormat(QString::fromLatin1(kListFormat)) ||
         mime.hasFormat(QString::fromLatin1(kPlainText)) || mime.hasText();
}

}  // namespace karvello
