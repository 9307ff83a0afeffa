// Centring a top-level window on its screen.

#ifndef KARVELLO_APP_CENTERFORMMODULE_H_
#define KARVELLO_APP_CENTERFORMMODULE_H_

class QWidget;

namespace karvello {

// Moves the top-level window `w` so that its outer frame is centred on the
// whole of its screen, task bars and other reserved areas included. A window
// larger than the screen overhangs both edges by the same amount, so its
// position may be negative.
void CenterForm(QWidget& w);

}  // namespace karvello

#endif  // KARVELLO_APP_CENTERFORMMODULE_H_
