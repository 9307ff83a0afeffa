#include "listfiles/ListFileWriter.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "listfiles/internal/WriterCalls.h"

namespace karvello {

namespace internal {

const WriterCalls& RealCalls() {
  static constexpr WriterCalls kReal = {
      [](int dirfd, const char* path, int flags, mode_t mode) {
        return ::openat(dirfd, path, flags, mode);
      },
      ::write,
      ::fchown,
      ::fchmod,
      ::fsync,
      ::renameat,
      ::close,
      ::unlinkat,
  };
  return kReal;
}

WriterCalls& Calls() {
  static WriterCalls calls = RealCalls();
  return calls;
}

}  // namespace internal

namespace {

using internal::Calls;

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinkHops = 40;

struct PathParts {
  std::string folder;  // "." for a bare name
  std::string name;
};

PathParts SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? std::string("/") : path.substr(0, slash),
          path.substr(slash + 1)};
}

// N when `path` is one of the names by which a process reaches its own
// descriptor N, -1 otherwise. A shell redirection to these names duplicates
// the descriptor rather than opening the file again.
int DescriptorNamed(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  std::string_view digits = path;
  if (digits.starts_with("/dev/fd/")) {
    digits.remove_prefix(8);
  } else if (digits.starts_with("/proc/self/fd/")) {
    digits.remove_prefix(14);
  } else {
    return -1;
  }
  if (digits.empty() || digits.size() > 9) return -1;
  int fd = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    fd = fd * 10 + (c - '0');
  }
  return fd;
}

// 1 or 2 when `path` names the same file as this process's standard output
// or error, -1 otherwise. Catches the names that DescriptorNamed cannot see,
// such as the terminal's own device or the file a shell redirected to.
int StandardStreamAt(const std::string& path) {
  struct stat at_path {};
  if (::stat(path.c_str(), &at_path) != 0) return -1;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat open {};
    if (::fstat(fd, &open) == 0 && open.st_dev == at_path.st_dev &&
        open.st_ino == at_path.st_ino) {
      return fd;
    }
  }
  return -1;
}

// Follows the symbolic links from `path` to the name that is finally written:
// a file, a name that does not exist yet, or (in `fd`) a descriptor of this
// process. A relative link target counts from the link's own folder.
int Resolve(const std::string& path, std::string& target, int& fd) {
  target = path;
  fd = -1;
  for (int hops = 0;; ++hops) {
    fd = DescriptorNamed(target);
    if (fd >= 0) return 0;
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISLNK(info.st_mode)) return 0;
    if (hops == kMaxLinkHops) return ELOOP;
    std::array<char, PATH_MAX> buffer;
    const ssize_t n = ::readlink(target.c_str(), buffer.data(), buffer.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) == buffer.size()) return ENAMETOOLONG;
    const std::string_view destination(buffer.data(),
                                       static_cast<std::size_t>(n));
    if (destination.starts_with('/')) {
      target = destination;
    } else {
      target = SplitPath(target).folder + "/" + std::string(destination);
    }
  }
}

// Writes through a descriptor this process already holds, from where it
// stands: the shell decided truncation and appending when it opened it.
int WriteThrough(int fd, const WriteToFd& write) {
  if (::fcntl(fd, F_GETFL) == -1) return EBADF;
  return write(fd);
}

// A device or a pipe is written to, never replaced: renaming over it would
// put a plain file in its place.
int WriteInPlace(const std::string& path, const WriteToFd& write) {
  const int fd = Calls().openat(AT_FDCWD, path.c_str(),
                                O_WRONLY | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  int error = write(fd);
  if (Calls().close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The temporary file of the save in progress, for the signal handler, which
// may only read what is already built.
char g_temporary_name[32];
int g_temporary_folder = -1;
volatile std::sig_atomic_t g_temporary_armed = 0;

extern "C" void RemoveTemporaryThenDie(int signal_number) {
  if (g_temporary_armed) ::unlinkat(g_temporary_folder, g_temporary_name, 0);
  ::signal(signal_number, SIG_DFL);
  // Still blocked while this handler runs; delivered, with its default
  // action, as soon as the handler returns.
  ::raise(signal_number);
}

// While a save runs, SIGINT, SIGTERM and SIGHUP remove the temporary file
// before they end the process. A signal that the process ignores or handles
// itself keeps its disposition. The signals are held back while the
// temporary file is created and while it is renamed or removed, so the
// handler never sees a half-made step.
class TemporaryGuard {
 public:
  TemporaryGuard() {
    sigemptyset(&signals_);
    for (const int signal_number : kSignals)
      sigaddset(&signals_, signal_number);
    struct sigaction cleanup {};
    cleanup.sa_handler = RemoveTemporaryThenDie;
    cleanup.sa_mask = signals_;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      struct sigaction current {};
      if (::sigaction(kSignals[i], nullptr, &current) != 0 ||
          (current.sa_flags & SA_SIGINFO) != 0 ||
          current.sa_handler != SIG_DFL) {
        continue;
      }
      installed_[i] = ::sigaction(kSignals[i], &cleanup, &previous_[i]) == 0;
    }
  }
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;
  ~TemporaryGuard() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }

  void Hold() { pthread_sigmask(SIG_BLOCK, &signals_, &saved_mask_); }
  void Release() { pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr); }
  // Call while held.
  void Arm(int folder, const char* name) {
    std::snprintf(g_temporary_name, sizeof g_temporary_name, "%s", name);
    g_temporary_folder = folder;
    g_temporary_armed = 1;
  }
  void Disarm() { g_temporary_armed = 0; }

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  sigset_t signals_{};
  sigset_t saved_mask_{};
  std::array<struct sigaction, 3> previous_{};
  std::array<bool, 3> installed_{};
};

// Creates a new, empty file in `folder` that no other file can be, with a
// name short enough that any valid name in the folder leaves room for it.
// Returns its descriptor, or -1 with errno set.
int CreateTemporary(int folder, char (&name)[32], TemporaryGuard& guard) {
  static unsigned counter = 0;
  constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t mix = (static_cast<std::uint64_t>(getpid()) << 32) ^
                        static_cast<std::uint64_t>(now.tv_nsec) ^
                        (std::uint64_t{++counter} * 0x9E3779B97F4A7C15u);
    char suffix[9];
    for (int i = 0; i < 8; ++i, mix /= 36) suffix[i] = kDigits[mix % 36];
    suffix[8] = '\0';
    std::snprintf(name, sizeof name, ".karvello-%s", suffix);
    guard.Hold();
    // A new file gets the usual 0666 less the umask, as any created file
    // does.
    const int fd = Calls().openat(
        folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const int error = errno;
    if (fd >= 0) guard.Arm(folder, name);
    guard.Release();
    if (fd >= 0) return fd;
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

// Gives the new file the old one's owner and mode. An owner that cannot be
// kept fails the save: the file would otherwise pass to this user.
int KeepOwnerAndMode(int fd, const struct stat& old_info) {
  struct stat new_info {};
  if (::fstat(fd, &new_info) != 0) return errno;
  if ((new_info.st_uid != old_info.st_uid ||
       new_info.st_gid != old_info.st_gid) &&
      Calls().fchown(fd, old_info.st_uid, old_info.st_gid) != 0) {
    return errno;
  }
  if (Calls().fchmod(fd, old_info.st_mode & 07777) != 0) return errno;
  return 0;
}

// Reads the mode and owner of the file `name` in `folder`, opening it for
// writing as a shell redirection would, so that a file this process may not
// write is refused before anything is created. Sets `exists` to false when
// the name is free.
int InspectOld(int folder, const std::string& name, struct stat& info,
               bool& exists) {
  exists = false;
  const int fd = Calls().openat(
      folder, name.c_str(),
      O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  const int error = ::fstat(fd, &info) == 0 ? 0 : errno;
  // Only the permission mattered; a failed close of an unwritten descriptor
  // loses nothing.
  Calls().close(fd);
  exists = error == 0;
  return error;
}

int ReplaceIn(int folder, const std::string& name, const WriteToFd& write) {
  if (name.empty()) return EISDIR;
  struct stat old_info {};
  bool replacing = false;
  if (int error = InspectOld(folder, name, old_info, replacing)) return error;

  TemporaryGuard guard;
  char temporary[32];
  const int fd = CreateTemporary(folder, temporary, guard);
  if (fd < 0) return errno;
  int error = replacing ? KeepOwnerAndMode(fd, old_info) : 0;
  if (error == 0) error = write(fd);
  if (error == 0 && Calls().fsync(fd) != 0) error = errno;
  if (Calls().close(fd) != 0 && error == 0) error = errno;
  guard.Hold();
  if (error == 0 &&
      Calls().renameat(folder, temporary, folder, name.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) Calls().unlinkat(folder, temporary, 0);
  guard.Disarm();
  guard.Release();
  return error;
}

int ReplaceFile(const std::string& path, const WriteToFd& write) {
  const PathParts parts = SplitPath(path);
  const int folder = Calls().openat(AT_FDCWD, parts.folder.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (folder < 0) return errno;
  const int error = ReplaceIn(folder, parts.name, write);
  // Makes the rename itself durable. A failure here changes nothing about
  // the file, which is complete either way, so it is not reported.
  if (error == 0) Calls().fsync(folder);
  Calls().close(folder);
  return error;
}

}  // namespace

int WriteAllFd(int fd, const char* data, std::size_t size) {
  while (size != 0) {
    const ssize_t n = Calls().write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Standard output left in non-blocking mode by another program.
        pollfd ready{fd, POLLOUT, 0};
        ::poll(&ready, 1, -1);
        continue;
      }
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

int ReplaceWithList(const ItemList& list, const std::string& path,
                    std::string_view line_end) {
  return ReplaceWithOutput(
      path, [&](int fd) { return WriteListFd(list, fd, line_end); });
}

int ReplaceWithOutput(const std::string& path, const WriteToFd& write) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;

  std::string target;
  int fd = -1;
  if (int error = Resolve(path, target, fd)) return error;
  if (fd < 0) fd = StandardStreamAt(target);
  if (fd >= 0) return WriteThrough(fd, write);

  struct stat info {};
  if (::stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISREG(info.st_mode)) return WriteInPlace(target, write);
  }
  return ReplaceFile(target, write);
}

}  // namespace karvello
