// The pipeline's system calls on Windows. Spill files are created without
// sharing and with FILE_FLAG_DELETE_ON_CLOSE: the system removes them when
// their handle closes, also when the process is ended by Ctrl+C, by closing
// its console or by another program. A console is written in UTF-16: what
// it is given as bytes it reads in its code page (437 in much of the
// world), and a UTF-8 name comes out as "╬¢╬╡".

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"
#include "pipeline/Inputs.h"
#include "pipeline/Pipeline.h"
#include "pipeline/System.h"
#include "pipeline/SystemWindows.h"

namespace karvello {

namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::optional<FileId> IdOf(HANDLE file) {
  FileId id;
  if (!FileIdentity(file, id.device, id.inode)) return std::nullopt;
  return id;
}

// A UTF-8 path from the UTF-16 one the system gives.
std::string Utf8(const wchar_t* wide, int size) {
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(n, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// The console whose mode TakeEraseSequence changed, and that mode.
struct {
  HANDLE handle = nullptr;
  DWORD mode = 0;
} changed_console;

}  // namespace

std::wstring ConsoleText(std::string_view text) {
  std::wstring wide;
  // Pieces that end on a character, so that no UTF-8 sequence is cut.
  constexpr std::size_t kPiece = 1 << 20;
  while (!text.empty()) {
    std::size_t size = std::min(text.size(), kPiece);
    for (int back = 0; back < 3 && size < text.size() &&
                       (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80;
         ++back) {
      --size;
    }
    const int n = static_cast<int>(size);
    const int wide_n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
    const std::size_t at = wide.size();
    wide.resize(at + static_cast<std::size_t>(std::max(wide_n, 0)));
    MultiByteToWideChar(CP_UTF8, 0, text.data(), n, wide.data() + at, wide_n);
    text.remove_prefix(size);
  }
  return wide;
}

bool IsTerminal(int fd) { return IsConsole(HandleOf(fd)); }

int WriteText(int fd, std::string_view text) {
  const HANDLE handle = HandleOf(fd);
  if (!IsConsole(handle)) return WriteAllFd(fd, text.data(), text.size());
  const std::wstring wide = ConsoleText(text);
  // Older consoles refuse a write past 64 KiB; a pair of surrogates goes in
  // one write.
  constexpr std::size_t kWrite = 8192;
  for (std::size_t done = 0; done < wide.size();) {
    std::size_t n = std::min(wide.size() - done, kWrite);
    if (done + n < wide.size() && IS_HIGH_SURROGATE(wide[done + n - 1])) --n;
    // A console takes all of a write or fails; wine gives back no count.
    DWORD written = 0;
    if (!WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(n),
                       &written, nullptr)) {
      return ErrnoOfWin32(GetLastError());
    }
    done += n;
  }
  return 0;
}

bool TakeEraseSequence(int fd) {
  const HANDLE handle = HandleOf(fd);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode) ||
      (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
    return true;
  }
  if (!SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return false;
  }
  changed_console = {handle, mode};
  return true;
}

void RestoreTerminal(int fd) {
  if (changed_console.handle == nullptr ||
      changed_console.handle != HandleOf(fd)) {
    return;
  }
  SetConsoleMode(changed_console.handle, changed_console.mode);
  changed_console = {};
}

namespace {
bool g_held_for_closed[3] = {};
}  // namespace

void HoldClosedStandardDescriptors() {
  for (const int fd : {0, 1, 2}) {
    if (_get_osfhandle(fd) != -1) continue;
    // The lowest free number is this one.
    const int held = _wopen(L"NUL", fd == 0 ? _O_WRONLY : _O_RDONLY);
    if (held >= 0 && held != fd) _close(held);
    g_held_for_closed[fd] = held == fd;
  }
}

bool HeldForClosed(int fd) {
  return fd >= 0 && fd <= 2 && g_held_for_closed[fd];
}

// A console has no name that OUT could give; a file shared with standard
// error is the one case.
bool SharesStandardError(const std::string& output) {
  OpenFile error;
  if (Describe(2, error) != 0 || !error.regular) return false;
  if (output.empty()) {
    OpenFile result;
    return Describe(1, result) == 0 && result.regular && result.id == error.id;
  }
  return RegularFileNamed(output) == error.id;
}

int Describe(int fd, OpenFile& file) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  file = OpenFile();
  if (GetFileType(handle) != FILE_TYPE_DISK) return 0;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                    sizeof standard)) {
    return ErrnoOfWin32(GetLastError());
  }
  file.folder = standard.Directory != 0;
  file.regular = !file.folder;
  file.size = file.regular
                  ? static_cast<std::uint64_t>(standard.EndOfFile.QuadPart)
                  : 0;
  // A file whose identity cannot be told is treated as no regular file,
  // so that it is never taken for another.
  if (const std::optional<FileId> id = IdOf(handle)) {
    file.id = *id;
  } else {
    file.regular = false;
  }
  return 0;
}

std::optional<FileId> RegularFileNamed(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return std::nullopt;
  // No access asked: only the file's identity is read, and no sharing mode
  // of another program's handle can refuse that.
  const HANDLE file = CreateFileW(
      wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileId> id;
  if (GetFileType(file) == FILE_TYPE_DISK) id = IdOf(file);
  CloseHandle(file);
  return id;
}

int UsableAs(int fd, bool) {
  // The C runtime keeps no access mode that can be asked for; a descriptor
  // open the wrong way fails at its first read or write.
  return HandleOf(fd) == INVALID_HANDLE_VALUE ? EBADF : 0;
}

bool WouldWait(int fd) {
  const HANDLE handle = HandleOf(fd);
  DWORD available = 0;
  // Only a pipe can be asked; a console or a file is read as it comes.
  return GetFileType(handle) == FILE_TYPE_PIPE &&
         PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) &&
         available == 0;
}

void WaitToRead(int) {
  // Windows has no non-blocking descriptors: reads wait by themselves.
}

bool WaitToReadFor(int fd, int milliseconds) {
  const ULONGLONG until =
      GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  while (WouldWait(fd)) {
    if (GetTickCount64() >= until) return false;
    Sleep(1);
  }
  return true;
}

int OpenInput(const std::string& path) { return OpenToRead(path); }

int OwnDescriptorNamed(std::string_view path) { return DescriptorNamed(path); }

long ReadFd(int fd, char* buffer, std::size_t n) {
  // The C runtime's read takes an unsigned int count.
  return ::_read(fd, buffer,
                 static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30)));
}

void CloseFd(int fd) { ::_close(fd); }

int OpenSpill(const std::string& folder, bool) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint64_t bits = 0;
    static std::atomic<std::uint64_t> counter{0};
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&bits),
                            sizeof bits, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      bits = GetTickCount64() ^ counter.fetch_add(0x9e3779b97f4a7c15ULL) ^
             std::uint64_t{GetCurrentProcessId()} << 40;
    }
    char name[40];
    std::snprintf(name, sizeof name, "\\.karvello-spill-%016llx",
                  static_cast<unsigned long long>(bits));
    const std::wstring path = WidePath(folder + name);
    if (path.empty()) {
      errno = ENOENT;
      return -1;
    }
    const HANDLE file = CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS) continue;
      errno = ErrnoOfWin32(error);
      return -1;
    }
    // Appending: reads at an offset (ReadAt) move the file pointer that
    // writes would otherwise start from.
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                   _O_RDWR | _O_APPEND | _O_BINARY);
    if (fd < 0) {
      CloseHandle(file);
      errno = EMFILE;
    }
    return fd;
  }
  errno = EEXIST;
  return -1;
}

int ReadAt(int fd, char* buffer, std::size_t n, std::uint64_t offset,
           std::size_t& done) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const auto want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  if (!ReadFile(HandleOf(fd), buffer, want, &got, &at)) {
    const DWORD error = GetLastError();
    if (error != ERROR_HANDLE_EOF) return ErrnoOfWin32(error);
  }
  done = got;
  return 0;
}

std::size_t DefaultMemoryBudget() {
  // Half of what is free now, as on Linux; 1 GiB when it cannot be told.
  std::uint64_t budget = std::uint64_t{1} << 30;
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) {
    budget = std::min(status.ullAvailPhys, status.ullAvailVirtual) / 2;
  }
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(budget, kSmallestBudget));
}

std::string DefaultTempDir() {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return ".";
  // Without its closing backslash, as a user would type the folder, unless
  // it is a drive's root ("C:" alone is the drive's current folder).
  const bool root = n == 3 && path[1] == L':';
  const int size =
      static_cast<int>(n) - (path[n - 1] == L'\\' && !root ? 1 : 0);
  return Utf8(path, size);
}

}  // namespace karvello
