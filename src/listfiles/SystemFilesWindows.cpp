#include "listfiles/SystemFiles.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace karvello {

bool FileIdentity(void* handle, std::uint64_t& volume,
                  std::uint64_t& file) noexcept {
  // FileIdInfo first: wine answers it for the standard handles it makes
  // from its own descriptors, where GetFileInformationByHandle fails.
  FILE_ID_INFO id;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low, high;
    static_assert(sizeof id.FileId.Identifier == sizeof low + sizeof high);
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    volume = id.VolumeSerialNumber;
    // NTFS ids fit in the low half; ReFS uses the high one too.
    file = low ^ high * 0x9E3779B97F4A7C15u;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  file = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

namespace {

// The longest full path that every call takes without the \\?\ prefix:
// CreateDirectoryW stops 12 short of MAX_PATH, the others at MAX_PATH.
constexpr std::size_t kShortPathLimit = MAX_PATH - 12;

}  // namespace

int ErrnoOfWin32(unsigned long error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

namespace {

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(path.size() + MAX_PATH, L'\0');
  while (true) {
    const DWORD n = GetFullPathNameW(
        path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);  // n counts the terminating NUL when the buffer is short
  }
}

}  // namespace

std::wstring WidePath(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return {};
  const int size = static_cast<int>(path.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                    size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size,
                      wide.data(), n);
  // \\?\ and \\.\ paths go to the system as they are.
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) return wide;
  const std::wstring full = FullPath(wide);
  // A short path stays as given, so the system resolves it as it always
  // does; only a long one needs the prefix, which turns off that
  // resolution and so must come with the full form.
  if (full.size() <= kShortPathLimit) return wide;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

int OpenToRead(const std::string& path) noexcept {
  try {
    const std::wstring wide = WidePath(path);
    if (wide.empty()) {
      errno = ENOENT;
      return -1;
    }
    // FILE_SHARE_DELETE: others may rename or remove the file while it is
    // read, as on Linux; a save that replaces a list being read must not
    // fail for it.
    const HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      const DWORD attributes = GetFileAttributesW(wide.c_str());
      errno = error == ERROR_ACCESS_DENIED &&
                      attributes != INVALID_FILE_ATTRIBUTES &&
                      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                  ? EISDIR
                  : ErrnoOfWin32(error);
      return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                   _O_RDONLY | _O_BINARY);
    if (fd < 0) {
      CloseHandle(file);
      errno = EMFILE;
    }
    return fd;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

bool CanReadTime(const std::string& path) noexcept {
  try {
    const std::wstring wide = WidePath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    return !wide.empty() &&
           GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::size_t RegularFileSize(int fd) noexcept {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileSizeEx(file, &size)) {
    return 0;
  }
  return static_cast<std::size_t>(size.QuadPart);
}

int DescriptorNamed(std::string_view) noexcept { return -1; }

}  // namespace karvello
