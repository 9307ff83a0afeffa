// The list-file writer: every item of a list, in order, each followed by a
// line end. No header, no quoting, no escaping: an empty item gives an empty
// line and an empty list gives an empty file.
//
// Errors come back as errno values (0 for success) so that each front can
// word them for its user.

#ifndef KARVELLO_LISTFILES_LISTFILEWRITER_H_
#define KARVELLO_LISTFILES_LISTFILEWRITER_H_

#include <functional>
#include <string>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

inline constexpr std::string_view kCrLf = "\r\n";

// Writes the items of `list` to the open descriptor `fd`, each followed by
// `line_end`, in large blocks. Returns 0 or the errno of the failed write;
// after a failure an unknown part of the list has been written.
int WriteListFd(const ItemList& list, int fd, std::string_view line_end);

// Replaces the file at `path` by the items of `list`, each followed by
// `line_end`, without asking. The items go to a new file in the same folder,
// which is flushed to the disk and then renamed over `path`; on any failure
// the new file is removed and whatever was at `path` stays byte for byte as
// it was. A replaced file keeps its permissions (and its owner, where the
// process may set it); a symbolic link is followed, so the file it points to
// is replaced. A device or a pipe at `path` is written to in place.
// Returns 0 or the errno of the step that failed.
int ReplaceWithList(const ItemList& list, const std::string& path,
                    std::string_view line_end);

// ReplaceWithList for output that is produced as it is written: `write`
// gets the descriptor to write everything to and returns 0 or an errno
// value, which makes the replace fail as a failed write would.
using WriteToFd = std::function<int(int fd)>;
[[nodiscard]] int ReplaceWithOutput(const std::string& path,
                                    const WriteToFd& write);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_LISTFILEWRITER_H_
