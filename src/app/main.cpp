#include <QApplication>
#include <memory>

#include "app/Dialogs.h"
#include "app/Form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::unique_ptr<karvello::Dialogs> dialogs = karvello::MakeQtDialogs();
  karvello::Form1 form(*dialogs);
  form.show();
  return app.exec();
}
