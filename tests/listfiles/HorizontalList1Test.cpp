#include "listfiles/HorizontalList1.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

// Fonts need a QGuiApplication; tests never need a real display.
int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
