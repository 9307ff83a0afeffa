// Reading a Windows cursor (.cur) file.

#ifndef KARVELLO_APP_CURSORFILE_H_
#define KARVELLO_APP_CURSORFILE_H_

#include <QCursor>
#include <QString>
#include <optional>

namespace karvello {

// The first image of the cursor file at `path`, with the hot spot that the
// file gives for it (clamped into the image). Returns nullopt, silently, for
// a file that cannot be read or is not a cursor file.
std::optional<QCursor> LoadCursorFile(const QString& path);

}  // namespace karvello

#endif  // KARVELLO_APP_CURSORFILE_H_
