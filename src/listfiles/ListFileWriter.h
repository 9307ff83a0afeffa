// The list-file writer: every item of a list, in order, each followed by a
// line end. No header, no quoting, no escaping: an empty item gives an empty
// line and an empty list gives an empty file.
//
// Errors come back as errno values (0 for success) so that each front can
// word them for its user.

#ifndef KARVELLO_LISTFILES_LISTFILEWRITER_H_
#define KARVELLO_LISTFILES_LISTFILEWRITER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "listfiles/ItemWriter.h"
#include "lists/ItemList.h"

namespace karvello {

// Writes all `size` bytes at `data` to the open descriptor `fd`, going on
// after short writes and EINTR, and waiting while a descriptor in
// non-blocking mode cannot take more. Returns 0 or the errno of the failed
// write (ENOSPC for a write that takes nothing); after a failure an unknown
// part has been written.
[[nodiscard]] int WriteAllFd(int fd, const char* data, std::size_t size);

// Writes the items of `list` to `path`, each followed by `line_end`, without
// asking, and writes only what a shell redirection to `path` could write:
// `path` is first opened as the redirection opens it (for writing, created
// where missing, but not emptied), so the kernel decides, by its own rules,
// which file that is and whether this process may write it: permissions,
// links, and its protections for other users' links, files and FIFOs in
// sticky folders such as /tmp. What it refuses fails with its errno
// (EACCES, ELOOP, EISDIR, ...) and nothing changes. Then:
//
//   - A regular file is replaced whole: the items go to a new file beside
//     it, which only this user may open until the items are complete, then
//     gets the old file's owner and group, POSIX access ACL, user.*
//     extended attributes and mode (less the set-user-ID bit, and the
//     set-group-ID bit where the group may execute, as a write without
//     CAP_FSETID clears them), is flushed to the disk and
//     is renamed over the name the file was opened by, once that name is
//     checked to still lead to it (EAGAIN when another process moved it).
//     On any failure, and when SIGINT, SIGTERM or SIGHUP ends the process
//     during the write, the new file is removed and the old one stays byte
//     for byte as it was. When its owner or group cannot be kept (another
//     user's file), the save fails with EPERM rather than give the file
//     away, and when its ACL or an attribute cannot be copied, with that
//     errno; a file whose folder takes no new file (/proc) fails with
//     EACCES. Another hard link to the old file keeps the old text.
//   - A missing file is created as the redirection would create it (empty,
//     with the usual mode), then replaced as above; a failed save removes
//     it again.
//   - A symbolic link is followed, also one that names no file yet, whose
//     target is then created; the link itself stays a link.
//   - This process's own standard output or error (/dev/stdout, /dev/fd/1,
//     /proc/self/fd/2, a link to one of them, or any name of the same file)
//     and any other /dev/fd/N that is open are written through the open
//     descriptor as it stands: never truncated, appended to when it was
//     opened for appending. (A link to them fails with ENXIO, as a
//     redirection does, when they are a socket, which has no name to open.)
//   - A device or a FIFO is written to in place.
//
// One save runs at a time in a process. Returns 0 or the errno of the step
// that failed.
[[nodiscard]] int ReplaceWithList(const ItemList& list, const std::string& path,
                                  std::string_view line_end);

// ReplaceWithList for output that is produced as it is written: `write`
// gets the descriptor to write everything to and returns 0 or an errno
// value, which makes the replace fail as a failed write would.
using WriteToFd = std::function<int(int fd)>;
[[nodiscard]] int ReplaceWithOutput(const std::string& path,
                                    const WriteToFd& write);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_LISTFILEWRITER_H_
