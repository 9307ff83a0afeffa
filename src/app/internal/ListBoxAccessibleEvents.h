// A seam for tests of what the list box tells assistive technology.

#ifndef KARVELLO_APP_INTERNAL_LISTBOXACCESSIBLEEVENTS_H_
#define KARVELLO_APP_INTERNAL_LISTBOXACCESSIBLEEVENTS_H_

class QAccessibleEvent;

namespace karvello::internal {

// While set, every accessibility event of a list box, and every focus event
// that NotifyFocusAgain sends, goes to `sink` instead
// of to Qt, also when no assistive technology listens (Qt drops events
// then, and platforms without an accessibility bridge never listen). The
// event lives only for the call. nullptr restores the normal path.
using AccessibleEventSink = void (*)(QAccessibleEvent* event);
void SetAccessibleEventSink(AccessibleEventSink sink);

}  // namespace karvello::internal

#endif  // KARVELLO_APP_INTERNAL_LISTBOXACCESSIBLEEVENTS_H_
