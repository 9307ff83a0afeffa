#include "app/extent/ItemDisplayText.h"

#include "lists/Utf8.h"

namespace karvello {

namespace {

// What Windows-1252 makes of the bytes 80 to 9F; it agrees with Latin-1
// elsewhere. The five bytes it leaves undefined stay the C1 controls of the
// same number.
constexpr char16_t kWindows1252From80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char16_t Windows1252Char(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252From80[byte - 0x80]
                                     : char16_t{byte};
}

QString ItemText(std::string_view item) {
  if (IsWellFormedUtf8(item)) {
    return QString::fromUtf8(item.data(), static_cast<qsizetype>(item.size()));
  }
  QString text(static_cast<qsizetype>(item.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char byte : item) {
    *out++ = QChar(Windows1252Char(static_cast<unsigned char>(byte)));
  }
  return text;
}

QString ItemDisplayText(std::string_view item) {
  QString text = ItemText(item);
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20) {
      c = QChar(static_cast<char16_t>(0x2400 + u));
    } else if (u == 0x7F) {
      c = QChar(char16_t{0x2421});
    } else if (u >= 0x80 && u < 0xA0) {
      c = QChar(char16_t{0xFFFD});
    }
  }
  return text;
}

qreal ItemTextWidth(const QFontMetricsF& metrics, std::string_view item) {
  return metrics.horizontalAdvance(ItemDisplayText(item));
}

}  // namespace karvello
