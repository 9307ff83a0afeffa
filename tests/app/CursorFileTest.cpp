// Reading HAND-M.CUR-style cursor files.

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "ScriptedDialogs.h"
#include "app/CursorFile.h"
#include "app/Form1.h"

namespace {

// A cursor file: Qt writes an icon file, and a cursor file differs only in
// its type word and in the two words of the directory entry that hold the
// hot spot.
QByteArray CursorBytes(int hot_x, int hot_y) {
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  image.setPixel(hot_x, hot_y, qRgba(0, 0, 0, 255));
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "ico");
  if (!writer.write(image)) return {};
  QByteArray bytes = buffer.data();
  bytes[2] = 2;
  bytes[10] = static_cast<char>(hot_x);
  bytes[11] = 0;
  bytes[12] = static_cast<char>(hot_y);
  bytes[13] = 0;
  return bytes;
}

QString Write(const QTemporaryDir& dir, const char* name,
              const QByteArray& bytes) {
  const QString path = dir.filePath(name);
  QFile file(path);
  file.open(QIODevice::WriteOnly);
  file.write(bytes);
  return path;
}

}  // namespace

class CursorFileTest : public QObject {
  Q_OBJECT

 private slots:
  void rejectsWhatIsNoCursorSilently() {
    QTemporaryDir dir;
    QByteArray icon = CursorBytes(1, 1);
    icon[2] = 1;  // an icon, not a cursor
    QByteArray truncated = CursorBytes(1, 1).left(30);
    QVERIFY(!karvello::LoadCursorFile(Write(dir, "a", "not a cursor")));
    QVERIFY(!karvello::LoadCursorFile(Write(dir, "b", icon)));
    QVERIFY(!karvello::LoadCursorFile(Write(dir, "c", truncated)));
    QVERIFY(!karvello::LoadCursorFile(Write(dir, "d", {})));
    QVERIFY(!karvello::LoadCursorFile(dir.path()));
    QVERIFY(!karvello::LoadCursorFile(dir.filePath("missing")));
  }

  // Start-up reads HAND-M.CUR beside the program; one that is no cursor is
  // ignored without a word (the scripted dialogs fail on any message).
  void theWindowTakesItsHandFromTheProgramFolder() {
    const QString path = QCoreApplication::applicationDirPath() + "/HAND-M.CUR";
    QVERIFY(!QFile::exists(path));
    const auto remove = qScopeGuard([&] { QFile::remove(path); });
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(CursorBytes(3, 4));
    file.close();
    karvello::ScriptedDialogs dialogs;
    {
      karvello::Form1 form(dialogs);
      form.SetMousePointer(99);
      QCOMPARE(form.cursor().hotSpot(), QPoint(3, 4));
      QCOMPARE(form.cursor().pixmap().size(), QSize(32, 32));
      form.SetMousePointer(1);
      QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    }
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("broken");
    file.close();
    karvello::Form1 form(dialogs);
    form.SetMousePointer(99);
    QCOMPARE(form.cursor().shape(), Qt::PointingHandCursor);
    QVERIFY2(dialogs.Done(), dialogs.Report().c_str());
  }
};

QTEST_MAIN(CursorFileTest)
#include "CursorFileTest.moc"
