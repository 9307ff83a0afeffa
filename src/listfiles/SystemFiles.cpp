#include "listfiles/SystemFiles.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace karvello {

int OpenToRead(const std::string& path) noexcept {
  return ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

bool CanReadTime(const std::string& path) noexcept {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::size_t RegularFileSize(int fd) noexcept {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
             ? static_cast<std::size_t>(info.st_size)
             : 0;
}

int DescriptorNamed(std::string_view path) noexcept {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  if (path.starts_with("/dev/fd/")) {
    path.remove_prefix(8);
  } else if (path.starts_with("/proc/self/fd/")) {
    path.remove_prefix(14);
  } else {
    return -1;
  }
  if (path.empty() || path.size() > 9) return -1;
  int fd = 0;
  for (const char c : path) {
    if (c < '0' || c > '9') return -1;
    fd = fd * 10 + (c - '0');
  }
  return fd;
}

}  // namespace karvello
