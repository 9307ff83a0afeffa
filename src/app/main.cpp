// Placeholder; the window replaces this.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget w;
  w.setWindowTitle("Karvello");
  w.show();
  return app.exec();
}
