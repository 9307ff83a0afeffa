#include "app/CursorFile.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <algorithm>

namespace karvello {
namespace {

int Word(const QByteArray& bytes, int at) {
  return static_cast<unsigned char>(bytes[at]) |
         static_cast<unsigned char>(bytes[at + 1]) << 8;
}

}  // namespace

std::optional<QCursor> LoadCursorFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  // A cursor file is small; anything large is not one.
  if (file.size() > (16 << 20)) return std::nullopt;
  const QByteArray bytes = file.readAll();
  // The directory: reserved 0, type 2 (cursor), image count, then one
  // 16-byte entry per image whose planes and bit-count words hold the hot
  // spot's x and y.
  constexpr int kEntryEnd = 6 + 16;
  if (bytes.size() < kEntryEnd || Word(bytes, 0) != 0 || Word(bytes, 2) != 2 ||
      Word(bytes, 4) < 1) {
    return std::nullopt;
  }
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "cur");
  const QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  const int x = std::clamp(Word(bytes, 10), 0, image.width() - 1);
  const int y = std::clamp(Word(bytes, 12), 0, image.height() - 1);
  return QCursor(QPixmap::fromImage(image), x, y);
}

}  // namespace karvello
