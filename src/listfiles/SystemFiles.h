// The file-system calls of the list-file routines, one per need, so that
// what differs between systems stays in one place:
//   - Paths are UTF-8 bytes everywhere. On Windows they go through the wide
//     (UTF-16) calls, never the ANSI code page, which holds only some of
//     the characters a name can have; a path too long for the old limit of
//     260 characters is made absolute and given the \\?\ prefix.
//   - Files open in binary mode: no line-end translation and no end of file
//     at a ^Z byte.
//   - A file open for reading can still be renamed or removed by others,
//     as on Linux.
// Errors are errno values.

#ifndef KARVELLO_LISTFILES_SYSTEMFILES_H_
#define KARVELLO_LISTFILES_SYSTEMFILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace karvello {

// Opens the file at `path` for reading. Returns a descriptor, which the
// caller closes with close(), or -1 with errno set: ENOENT when no file has
// that name (a name that cannot be converted to UTF-16 included), EISDIR for
// a folder on Windows (Linux opens a folder and fails on its first read).
[[nodiscard]] int OpenToRead(const std::string& path) noexcept;

// True when the file system can report the last-modification time of
// `path`, a file or a folder.
[[nodiscard]] bool CanReadTime(const std::string& path) noexcept;

// The size of the regular file open at `fd`; 0 for anything else (a pipe,
// a device) or when it cannot be told.
[[nodiscard]] std::size_t RegularFileSize(int fd) noexcept;

// N when `path` is one of the names by which a process reaches its own open
// descriptor N (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N), which a shell redirection duplicates rather than opens
// again; -1 for any other path, and always on Windows, which has no such
// names.
//   DescriptorNamed("/dev/fd/3") == 3, DescriptorNamed("/dev/fd/x") == -1
[[nodiscard]] int DescriptorNamed(std::string_view path) noexcept;

#ifdef _WIN32
// `path` for the wide calls: UTF-16, and when its full form is too long for
// the old limit, that full form with the \\?\ prefix (\\?\UNC\ for a
// network path). Empty when `path` is empty, holds a NUL or is not UTF-8.
//   WidePath("C:/lists/a.txt") == L"C:/lists/a.txt"
[[nodiscard]] std::wstring WidePath(std::string_view path);

// The errno value for a Win32 error code (GetLastError): ENOENT, EACCES
// (access denied), EBUSY (another program holds the file open without
// sharing it, or has locked it), ENAMETOOLONG, EMFILE, ENOMEM, ENOSPC, else
// EIO.
[[nodiscard]] int ErrnoOfWin32(unsigned long error) noexcept;

// The identity of the file open as `handle` (a HANDLE): the same for every
// name and handle of one file. False when the system cannot tell; a volume
// of 0 when it cannot tell the volume (wine, for the standard handles).
[[nodiscard]] bool FileIdentity(void* handle, std::uint64_t& volume,
                                std::uint64_t& file) noexcept;
#endif

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_SYSTEMFILES_H_
