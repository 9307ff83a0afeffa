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

}  // namespace karvello
