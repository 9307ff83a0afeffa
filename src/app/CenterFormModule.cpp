#include "app/CenterFormModule.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace karvello {

void CenterForm(QWidget& w) {
  QScreen* screen = w.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // The whole screen, not availableGeometry(): a task bar does not shift the
  // window.
  const QRect area = screen->geometry();
  const QSize outer = w.frameGeometry().size();
  const float left = (area.width() - outer.width()) / 2.0f;
  const float top = (area.height() - outer.height()) / 2.0f;
  // move() places a window's outer frame, which is what is being centred.
  w.move(area.x() + qRound(left), area.y() + qRound(top));
}

}  // namespace karvello
