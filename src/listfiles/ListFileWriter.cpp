#include "listfiles/ListFileWriter.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace karvello {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;

int WriteAll(int fd, const char* data, std::size_t size) {
  while (size != 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that takes nothing would loop for ever; treat it as a full
    // disk, which is what it means for a regular file.
    if (n == 0) return ENOSPC;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// The folder part of `path` ("." for a bare name) and the name part.
void SplitPath(const std::string& path, std::string& folder,
               std::string& name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Creates a new, empty file beside `target` that no other file can be: the
// name carries the process id, a counter and the clock, and O_EXCL refuses a
// name that is taken.
int CreateTemporary(const std::string& folder, const std::string& name,
                    mode_t mode, std::string& temp_path, int& fd) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%lx.tmp",
                  static_cast<long>(getpid()), counter.fetch_add(1),
                  static_cast<unsigned long>(now.tv_nsec));
    temp_path = folder + "/." + name + suffix;
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                mode);
    if (fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

void SyncFolder(const std::string& folder) {
  // Makes the rename itself durable. A failure here changes nothing about
  // the file, which is complete either way, so it is not reported.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

int WriteListFd(const ItemList& list, int fd, std::string_view line_end) {
  auto buffer = std::make_unique_for_overwrite<char[]>(kBlockSize);
  std::size_t used = 0;
  const ItemList::Index count = list.ListCount();
  for (ItemList::Index i = 0; i < count; ++i) {
    const std::string_view item = list.UncheckedItem(i);
    const std::size_t need = item.size() + line_end.size();
    if (kBlockSize - used < need) {
      if (int error = WriteAll(fd, buffer.get(), used)) return error;
      used = 0;
    }
    if (need > kBlockSize) {
      // An item larger than the block goes straight out.
      if (int error = WriteAll(fd, item.data(), item.size())) return error;
      if (int error = WriteAll(fd, line_end.data(), line_end.size())) {
        return error;
      }
      continue;
    }
    std::memcpy(buffer.get() + used, item.data(), item.size());
    std::memcpy(buffer.get() + used + item.size(), line_end.data(),
                line_end.size());
    used += need;
  }
  return WriteAll(fd, buffer.get(), used);
}

int ReplaceWithList(const ItemList& list, const std::string& path,
                    std::string_view line_end) {
  return ReplaceWithOutput(
      path, [&](int fd) { return WriteListFd(list, fd, line_end); });
}

int ReplaceWithOutput(const std::string& path, const WriteToFd& write) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;

  std::string target = path;
  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode)) {
    // Renaming over a link would replace the link, not the list it names.
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }

  struct stat old_info {};
  const bool replacing = ::stat(target.c_str(), &old_info) == 0;
  if (replacing && S_ISDIR(old_info.st_mode)) return EISDIR;
  if (replacing && !S_ISREG(old_info.st_mode)) {
    // A device or a pipe (/dev/null, /dev/stdout) is written to, never
    // replaced: renaming over it would put a plain file in its place.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = write(fd);
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
  }

  std::string folder, name;
  SplitPath(target, folder, name);
  std::string temp_path;
  int fd = -1;
  // A new file gets the usual 0666 less the umask, as any created file does.
  if (int error = CreateTemporary(folder, name, 0666, temp_path, fd)) {
    return error;
  }

  int error = 0;
  if (replacing) {
    // Best effort: an ordinary user may not give the file away, and the
    // content matters more than its owner.
    [[maybe_unused]] const int owned =
        ::fchown(fd, old_info.st_uid, old_info.st_gid);
    if (::fchmod(fd, old_info.st_mode & 07777) != 0) error = errno;
  }
  if (error == 0) error = write(fd);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp_path.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temp_path.c_str());
    return error;
  }
  SyncFolder(folder);
  return 0;
}

}  // namespace karvello
