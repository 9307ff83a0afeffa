// Saves a picture of the real window with two sample lists loaded through
// its Load buttons. Usage: karvello_screenshot OUTPUT.png LIST1 LIST2
// Run it on a real display (scripts/screenshot uses Xvfb); the window is
// captured from the screen, title bar excluded.

#include <QApplication>
#include <QFile>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <cstdio>

#include "ScriptedDialogs.h"
#include "app/Form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUTPUT.png LIST1 LIST2\n", argv[0]);
    return 2;
  }
  karvello::ScriptedDialogs dialogs;
  dialogs.ExpectOpen({QFile::encodeName(argv[2]).toStdString()});
  dialogs.ExpectOpen({QFile::encodeName(argv[3]).toStdString()});
  karvello::Form1 form(dialogs);
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) return 1;
  QTest::mouseClick(form.findChild<QPushButton*>("Check3"), Qt::LeftButton);
  QTest::mouseClick(form.findChild<QPushButton*>("Check14"), Qt::LeftButton);
  // Point at an item so that the picture shows the hand and the selection.
  QTest::mouseClick(form.List1().viewport(), Qt::LeftButton, {},
                    form.List1().ItemRect(2).center());
  QTest::qWait(300);
  if (!dialogs.Done()) {
    std::fprintf(stderr, "%s", dialogs.Report().c_str());
    return 1;
  }
  const QPixmap picture = form.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]))) return 1;
  return 0;
}
