// Placeholder; the list box widget replaces this.
#ifndef KARVELLO_APP_LISTBOX_H_
#define KARVELLO_APP_LISTBOX_H_
#endif  // KARVELLO_APP_LISTBOX_H_
