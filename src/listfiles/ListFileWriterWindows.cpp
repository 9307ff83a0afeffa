// The list-file writer on Windows: the promises of ListFileWriter.h in
// Windows terms.
//
//   - The items go to a temporary file beside the target that is opened
//     without sharing (no other program can open it while it is written)
//     and marked for deletion at once, so that it disappears with its handle
//     if the process ends for any reason before the save completes. Once it
//     is complete and flushed to the disk, the mark is lifted and the file
//     takes the target's place: ReplaceFileW over an existing file, which
//     keeps that file's attributes, owner and permissions (ACL), or
//     MoveFileExW with write-through for a new one.
//   - Ctrl+C, Ctrl+Break and closing the console wait for the step between
//     lifting the mark and the rename, and remove the temporary file if that
//     step did not complete.
//   - A file with the read-only attribute, or one this process may not
//     write, is refused with EACCES, as a redirection would refuse it; a
//     file that another program holds open without sharing fails with EBUSY.
//     Either way the old file stays as it was.
//   - A device (NUL, CON, a serial port) or a pipe is written to in place;
//     this process's own standard output or error, under any name, is
//     written through its handle as it stands.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"

namespace karvello {

namespace {

// _write takes an unsigned count; larger writes go in parts.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

// The temporary file of the save in progress, for the console control
// handler, which runs on a thread of its own.
SRWLOCK g_lock = SRWLOCK_INIT;
std::wstring* g_temporary = nullptr;

BOOL WINAPI RemoveTemporaryThenEnd(DWORD) {
  // Waits for a rename in progress; the save is then complete or undone.
  AcquireSRWLockExclusive(&g_lock);
  if (g_temporary != nullptr) DeleteFileW(g_temporary->c_str());
  g_temporary = nullptr;
  ReleaseSRWLockExclusive(&g_lock);
  return FALSE;  // the next handler, by default the one that ends the process
}

class TemporaryGuard {
 public:
  TemporaryGuard() {
    static const bool installed =
        SetConsoleCtrlHandler(RemoveTemporaryThenEnd, TRUE) != 0;
    (void)installed;
  }
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;

  void Hold() { AcquireSRWLockExclusive(&g_lock); }
  void Release() { ReleaseSRWLockExclusive(&g_lock); }
  // Call while held.
  void Arm(std::wstring* name) { g_temporary = name; }
  void Disarm() { g_temporary = nullptr; }
};

bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// The path of a new temporary file beside `path`: same folder, short name.
std::string TemporaryBeside(const std::string& path, unsigned attempt) {
  const std::size_t cut = path.find_last_of("/\\:");
  const std::string folder =
      cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  static std::atomic<unsigned> counter{0};
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::uint64_t mix =
      (std::uint64_t{GetCurrentProcessId()} << 32) ^
      static_cast<std::uint64_t>(now.QuadPart) ^
      (std::uint64_t{++counter + attempt} * 0x9E3779B97F4A7C15u);
  constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = folder + ".karvello-";
  for (int i = 0; i < 8; ++i, mix /= 36) name += kDigits[mix % 36];
  return name;
}

// Creates the temporary file, marked for deletion, and arms the guard with
// its name. Returns the handle or INVALID_HANDLE_VALUE with `error` set.
HANDLE CreateTemporary(const std::string& path, std::wstring& name,
                       TemporaryGuard& guard, int& error) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = WidePath(TemporaryBeside(path, attempt));
    if (name.empty()) {
      error = ENOENT;
      return INVALID_HANDLE_VALUE;
    }
    guard.Hold();
    // Share mode 0: nobody else can open the file until it is renamed.
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD created = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      if (MarkForDeletion(file, true)) {
        guard.Arm(&name);
        guard.Release();
        return file;
      }
      error = ErrnoOfWin32(GetLastError());
      CloseHandle(file);
      DeleteFileW(name.c_str());
      guard.Release();
      return INVALID_HANDLE_VALUE;
    }
    guard.Release();
    if (created != ERROR_FILE_EXISTS && created != ERROR_ALREADY_EXISTS) {
      error = ErrnoOfWin32(created);
      return INVALID_HANDLE_VALUE;
    }
  }
  error = EEXIST;
  return INVALID_HANDLE_VALUE;
}

// Writes through `file`, which this function closes.
int WriteAndClose(HANDLE file, const WriteToFd& write) {
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                 _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return EMFILE;
  }
  int error = write(fd);
  if (_close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The standard output or error handle that is the same file as `file`, or
// nullptr.
HANDLE SameAsStandardStream(HANDLE file) {
  std::uint64_t volume, index;
  if (!FileIdentity(file, volume, index)) return nullptr;
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE stream = GetStdHandle(which);
    std::uint64_t open_volume, open_index;
    if (stream != nullptr && stream != INVALID_HANDLE_VALUE &&
        GetFileType(stream) == FILE_TYPE_DISK &&
        FileIdentity(stream, open_volume, open_index) && open_index == index &&
        // wine gives no volume serial number for the standard handles it
        // makes from its own descriptors
        (open_volume == volume || open_volume == 0 || volume == 0)) {
      return stream;
    }
  }
  return nullptr;
}

// `path` made absolute. ReplaceFileW wants that: wine's fails on a bare
// name with ERROR_DIRECTORY.
std::wstring FullPath(const std::wstring& path) {
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  const DWORD m = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return path;
  full.resize(m);
  return full;
}

// Gives the new file the old one's attributes (hidden, system, archive...)
// itself: ReplaceFileW keeps them on Windows, but not every implementation
// of it does (wine's does not).
bool KeepAttributes(HANDLE file, DWORD old) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes =
      (old & kKept) != 0 ? old & kKept : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic,
                                    sizeof basic) != 0;
}

// Writes a new file beside `target` and renames it over `target`, which
// exists with `attributes` when `replacing`.
int Replace(const std::string& path, const std::wstring& target, bool replacing,
            DWORD attributes, const WriteToFd& write) {
  TemporaryGuard guard;
  std::wstring temporary;
  int error = 0;
  const HANDLE file = CreateTemporary(path, temporary, guard, error);
  if (file == INVALID_HANDLE_VALUE) return error;
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                 _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    guard.Hold();
    CloseHandle(file);  // marked: the file goes with it
    guard.Disarm();
    guard.Release();
    return EMFILE;
  }
  if (replacing && !KeepAttributes(file, attributes)) {
    error = ErrnoOfWin32(GetLastError());
  }
  if (error == 0) error = write(fd);
  if (error == 0 && !FlushFileBuffers(file)) {
    error = ErrnoOfWin32(GetLastError());
  }
  guard.Hold();
  // A file still marked for deletion goes when its handle closes.
  if (error == 0 && !MarkForDeletion(file, false)) {
    error = ErrnoOfWin32(GetLastError());
  }
  if (_close(fd) != 0 && error == 0) error = errno;
  if (error == 0) {
    const BOOL moved =
        replacing
            ? ReplaceFileW(FullPath(target).c_str(),
                           FullPath(temporary).c_str(), nullptr, 0, nullptr,
                           nullptr)
            : MoveFileExW(temporary.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!moved) {
      error = ErrnoOfWin32(GetLastError());
      DeleteFileW(temporary.c_str());
    }
  }
  guard.Disarm();
  guard.Release();
  return error;
}

int ReplaceOutput(const std::string& path, const WriteToFd& write) {
  const std::wstring target = WidePath(path);
  if (target.empty()) return ENOENT;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return EACCES;
  }
  // Opened for writing as a redirection would open it, so that a file this
  // process may not write is refused before anything is created; never
  // truncated.
  const HANDLE old =
      CreateFileW(target.c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (old == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return ErrnoOfWin32(error);
    return Replace(path, target, false, 0, write);
  }
  if (GetFileType(old) != FILE_TYPE_DISK) return WriteAndClose(old, write);
  const HANDLE stream = SameAsStandardStream(old);
  CloseHandle(old);
  if (stream != nullptr) {
    const int fd = stream == GetStdHandle(STD_OUTPUT_HANDLE) ? 1 : 2;
    return write(fd);
  }
  return Replace(path, target, true, attributes, write);
}

}  // namespace

int WriteAllFd(int fd, const char* data, std::size_t size) {
  while (size != 0) {
    const int n =
        _write(fd, data, static_cast<unsigned>(std::min(size, kLargestWrite)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int ReplaceWithOutput(const std::string& path, const WriteToFd& write) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;
  try {
    return ReplaceOutput(path, write);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace karvello
