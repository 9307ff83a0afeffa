// What the window gives the clipboard and drops, and what it takes from
// them.
//
// Items are bytes and need not be UTF-8. A copy carries them unchanged in
// the window's own format (application/x-karvello-list) and in plain
// text/plain, so that Karvello and the programs that take bytes get them as
// they were. Every format that promises UTF-8 text gets the text as the
// list reads it instead, each line read as UTF-8 or else as Windows-1252
// (ItemText): text/plain;charset=utf-8, which is also what Windows programs
// get as CF_UNICODETEXT (Qt makes it from QMimeData::text()), and on X11
// the UTF8_STRING target (and STRING and TEXT, which Qt turns into
// Latin-1), which Qt would otherwise serve from text/plain's bytes. That
// text is made only when a program asks for it.
//
//   clipboard->setMimeData(NewListMimeData("caf\xE9\nna\xC3\xAFve\n"));
//   // text/plain:               "caf\xE9\nna\xC3\xAFve\n"
//   // text/plain;charset=utf-8: "café\nnaïve\n", in UTF-8
//
// Pasted and dropped text is read back as bytes: the window's own format
// first, then text/plain, and the decoded text only when nothing else is
// offered.

#ifndef KARVELLO_APP_LISTCLIPBOARD_H_
#define KARVELLO_APP_LISTCLIPBOARD_H_

#include <QByteArray>

class QMimeData;

namespace karvello {

// The data of a copy of `bytes`, items ending in (or separated by) line
// feeds; the caller (or the clipboard it is given to) owns it.
QMimeData* NewListMimeData(QByteArray bytes);

// The bytes of pasted or dropped text, and whether there are any.
QByteArray TextBytes(const QMimeData& mime);
bool HasText(const QMimeData& mime);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTCLIPBOARD_H_
