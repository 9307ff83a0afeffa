// The pipeline's system calls, one per need, so that what differs between
// Linux (System.cpp) and Windows (SystemWindows.cpp) stays in one place: the
// rest of the pipeline calls the system only through these. Descriptors are
// C runtime descriptors on both; errors are errno values.

#ifndef KARVELLO_PIPELINE_SYSTEM_H_
#define KARVELLO_PIPELINE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvello {

// Which file a name or descriptor stands for: device and inode on Linux,
// volume serial number and file index on Windows (where the C runtime's
// inode is always 0). A device of 0 stands for any: wine gives no volume
// serial number for the standard handles it makes from its own descriptors.
struct FileId {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const FileId& other) const {
    return inode == other.inode &&
           (device == other.device || device == 0 || other.device == 0);
  }
};

// What a descriptor is open on.
struct OpenFile {
  bool folder = false;
  bool regular = false;
  std::uint64_t size = 0;  // of a regular file
  FileId id{};
};
[[nodiscard]] int Describe(int fd, OpenFile& file);

// The regular file named `path`, if it is one.
std::optional<FileId> RegularFileNamed(const std::string& path);

// True when the result, going to `output` (standard output when empty:
// the descriptor it names, else the file or device it names), would reach
// the same open file or terminal as standard error: /dev/stdout in a
// terminal, -o /dev/pts/N, or 2>&1 into a file.
bool SharesStandardError(const std::string& output);

// 0 when `fd` is open and may be read (or written, when `writing`); else
// EBADF or the errno of the check.
[[nodiscard]] int UsableAs(int fd, bool writing);

// True when a read of `fd` would have to wait.
bool WouldWait(int fd);
// Waits until `fd`, left in non-blocking mode by another program, can be
// read.
void WaitToRead(int fd);
// Waits up to `milliseconds` until a read of `fd` would not have to wait;
// false when it still would.
bool WaitToReadFor(int fd, int milliseconds);

// Opens the input `path` to read, as the window opens a list file
// (OpenToRead in listfiles/SystemFiles.h). Returns the descriptor or -1
// with errno set.
[[nodiscard]] int OpenInput(const std::string& path);
// N when `path` is a name by which the process reaches its own open
// descriptor N, such as /dev/stdin or /dev/fd/3; else -1, and always on
// Windows (DescriptorNamed in listfiles/SystemFiles.h).
[[nodiscard]] int OwnDescriptorNamed(std::string_view path);
// Reads up to `n` bytes of `fd` into `buffer`: the count, 0 at the end, or
// -1 with errno set (EINTR included).
[[nodiscard]] long ReadFd(int fd, char* buffer, std::size_t n);
void CloseFd(int fd);
// True when `fd` is a terminal (a console on Windows, where the C
// runtime's isatty also holds for NUL and the printer ports).
bool IsTerminal(int fd);

// Writes `text`, UTF-8 for a person to read, to `fd`. A Windows console
// takes it as characters (UTF-16), so that every name shows whatever the
// console's code page, and a byte that is no UTF-8 as U+FFFD; anything
// else, a file, a pipe or a Linux terminal, takes its bytes as they are.
// Returns 0 or an errno value.
//
//   WriteText(2, "cannot read \xCE\x9B.txt\n")  // "Λ.txt" on a console
[[nodiscard]] int WriteText(int fd, std::string_view text);

// Asks the terminal on `fd` to take "\033[K", erase to the end of the line,
// and returns whether it will. A Windows console takes it once its virtual
// terminal processing is on, which consoles before Windows 10 refuse;
// anything else is assumed to. RestoreTerminal(fd) sets back what
// this changed.
bool TakeEraseSequence(int fd);
void RestoreTerminal(int fd);

// Opens a new spill file in `folder` that no other process can open and that
// is gone when its descriptor closes or the process ends, however it ends.
// With `named`, takes the way of file systems that cannot make a file
// without a name. Returns the descriptor or -1 with errno set.
[[nodiscard]] int OpenSpill(const std::string& folder, bool named);

// Reads up to `n` bytes at `offset` of `fd` into `buffer`, setting `done`.
// Returns 0 or an errno value.
[[nodiscard]] int ReadAt(int fd, char* buffer, std::size_t n,
                         std::uint64_t offset, std::size_t& done);

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_SYSTEM_H_
