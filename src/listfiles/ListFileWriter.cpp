#include "listfiles/ListFileWriter.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include "listfiles/SystemFiles.h"
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
      ::fstatat,
      ::readlinkat,
      ::flistxattr,
      ::fgetxattr,
      ::fsetxattr,
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

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// 1 or 2 when `info` describes this process's standard output or error,
// -1 otherwise. Catches the names that DescriptorNamed cannot see, such as
// the terminal's own device or the file a shell redirected to.
int StandardStreamOf(const struct stat& info) {
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat open {};
    if (::fstat(fd, &open) == 0 && SameFile(open, info)) return fd;
  }
  return -1;
}

// Writes through a descriptor this process already holds, from where it
// stands: the shell decided truncation and appending when it opened it.
int WriteThrough(int fd, const WriteToFd& write) {
  if (::fcntl(fd, F_GETFL) == -1) return EBADF;
  return write(fd);
}

// What a signal that ends the process during a save removes, by name in the
// folder of the file being replaced: the temporary file, and the file that
// the save created where there was none. Changed only while the signals are
// held, and read by the handler, which may only use what is already built.
struct Leftovers {
  int folder = -1;
  char temporary[32] = "";
  char created[NAME_MAX + 1] = "";
};
Leftovers g_leftovers;
volatile std::sig_atomic_t g_leftovers_armed = 0;

extern "C" void RemoveLeftoversThenDie(int signal_number) {
  if (g_leftovers_armed) {
    if (g_leftovers.temporary[0] != '\0') {
      ::unlinkat(g_leftovers.folder, g_leftovers.temporary, 0);
    }
    if (g_leftovers.created[0] != '\0') {
      ::unlinkat(g_leftovers.folder, g_leftovers.created, 0);
    }
  }
  ::signal(signal_number, SIG_DFL);
  // Still blocked while this handler runs; delivered, with its default
  // action, as soon as the handler returns.
  ::raise(signal_number);
}

// While a save runs, SIGINT, SIGTERM and SIGHUP remove what the save has
// made before they end the process. A signal that the process ignores or
// handles itself keeps its disposition. The signals are held back while a
// file is created and while it is renamed or removed, so the handler never
// sees a half-made step.
class TemporaryGuard {
 public:
  TemporaryGuard() {
    sigemptyset(&signals_);
    for (const int signal_number : kSignals)
      sigaddset(&signals_, signal_number);
    struct sigaction cleanup {};
    cleanup.sa_handler = RemoveLeftoversThenDie;
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
    Disarm();
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }

  void Hold() { pthread_sigmask(SIG_BLOCK, &signals_, &saved_mask_); }
  void Release() { pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr); }
  // These only while held. `name` fits: it is a name in `folder`.
  void ArmTemporary(int folder, const char* name) {
    Arm(folder, g_leftovers.temporary, name);
  }
  void ArmCreated(int folder, const char* name) {
    Arm(folder, g_leftovers.created, name);
  }
  void DisarmTemporary() { g_leftovers.temporary[0] = '\0'; }
  void Disarm() {
    g_leftovers_armed = 0;
    g_leftovers = Leftovers();
  }

 private:
  template <std::size_t kSize>
  static void Arm(int folder, char (&slot)[kSize], const char* name) {
    std::snprintf(slot, kSize, "%s", name);
    g_leftovers.folder = folder;
    g_leftovers_armed = 1;
  }

  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  sigset_t signals_{};
  sigset_t saved_mask_{};
  std::array<struct sigaction, 3> previous_{};
  std::array<bool, 3> installed_{};
};

// The file that a redirection to the path would write, as this save opened
// it, and the name in its folder that the new file will replace.
struct Opened {
  int fd = -1;
  struct stat info {};
  bool created = false;  // by this save, which removes it again on failure
  int folder = -1;
  std::string name;
};

// Opens `path` as a shell redirection does: for writing, creating the file
// where the redirection would create it, but without emptying it. The kernel
// thereby applies its own rules: permissions, links that lead to no file
// yet, and the protections for links, files and FIFOs of other users in
// shared sticky folders. Call with the signals held; they pass while an open
// may wait for the reader of a FIFO.
int OpenLikeRedirection(const std::string& path, TemporaryGuard& guard,
                        Opened& opened) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
  opened.fd = Calls().openat(AT_FDCWD, path.c_str(), kFlags | O_EXCL, 0666);
  opened.created = opened.fd >= 0;
  if (opened.fd < 0 && errno == EEXIST) {
    // Only a link that leads to no file makes this open create one.
    struct stat info {};
    opened.created = Calls().fstatat(AT_FDCWD, path.c_str(), &info, 0) != 0 &&
                     errno == ENOENT;
    if (!opened.created) guard.Release();
    opened.fd = Calls().openat(AT_FDCWD, path.c_str(), kFlags, 0666);
    const int error = errno;
    if (!opened.created) guard.Hold();
    errno = error;
  }
  if (opened.fd < 0) {
    opened.created = false;
    return errno;
  }
  return ::fstat(opened.fd, &opened.info) == 0 ? 0 : errno;
}

// 0 when `name` in `folder` is the file `info` describes itself, not a link
// to it. EAGAIN when it is not, as when another process renamed or removed
// it during the save, or the errno of a failed look.
int CheckNamed(int folder, const std::string& name, const struct stat& info) {
  struct stat now {};
  if (Calls().fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? EAGAIN : errno;
  }
  return SameFile(now, info) ? 0 : EAGAIN;
}

// Opens the folder `parts.folder` for the new file: for reading where this
// process may, so that the rename can be flushed to the disk, else only as a
// place, which a folder that may be written and searched but not read
// allows.
int OpenFolder(const PathParts& parts, Opened& opened) {
  opened.name = parts.name;
  opened.folder = Calls().openat(AT_FDCWD, parts.folder.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (opened.folder < 0 && errno == EACCES) {
    opened.folder = Calls().openat(AT_FDCWD, parts.folder.c_str(),
                                   O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  }
  return opened.folder < 0 ? errno : 0;
}

// Finds the name that the opened regular file has in its folder: the path's
// own last part, unless that is a link, else the name the kernel's walk
// ended at, which /proc/self/fd shows.
int Locate(const std::string& path, Opened& opened) {
  if (int error = OpenFolder(SplitPath(path), opened)) return error;
  struct stat at_name {};
  if (Calls().fstatat(opened.folder, opened.name.c_str(), &at_name,
                      AT_SYMLINK_NOFOLLOW) != 0) {
    return errno;
  }
  if (SameFile(at_name, opened.info)) return 0;
  if (!S_ISLNK(at_name.st_mode)) return EAGAIN;
  Calls().close(opened.folder);
  opened.folder = -1;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", opened.fd);
  std::array<char, PATH_MAX> buffer;
  const ssize_t n =
      Calls().readlinkat(AT_FDCWD, link, buffer.data(), buffer.size());
  if (n < 0) return errno;
  if (static_cast<std::size_t>(n) == buffer.size()) return ENAMETOOLONG;
  const std::string where(buffer.data(), static_cast<std::size_t>(n));
  if (!where.starts_with('/')) return EAGAIN;
  if (int error = OpenFolder(SplitPath(where), opened)) return error;
  return CheckNamed(opened.folder, opened.name, opened.info);
}

// Creates a new, empty file in `folder` that no other file can be, that only
// this user may open, and with a name short enough that any valid name in
// the folder leaves room for it. Returns its descriptor, or -1 with errno
// set.
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
    // The final owner and mode come only once the text is complete, so
    // nobody else can open the file before then.
    const int fd = Calls().openat(
        folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) guard.ArmTemporary(folder, name);
    guard.Release();
    if (fd >= 0) return fd;
    if (error != EEXIST) {
      // A folder that holds the file but takes no new name, like /proc,
      // says ENOENT, which would claim the file does not exist.
      errno = error == ENOENT ? EACCES : error;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

// True when this process may keep the set-user-ID and set-group-ID bits
// of a file it writes: it has CAP_FSETID, as root usually has.
bool MayKeepSetIdBits() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_FSETID / 32].effective & (1u << (CAP_FSETID % 32))) != 0;
}

// The mode `mode` that a write to the file leaves, as the kernel clears it
// on a write: without CAP_FSETID, no set-user-ID bit, and no set-group-ID
// bit where the group may execute (without that it only marks locking).
mode_t ModeAfterWrite(mode_t mode) {
  if ((mode & (S_ISUID | S_ISGID)) == 0 || MayKeepSetIdBits()) return mode;
  mode &= ~S_ISUID;
  if ((mode & S_IXGRP) != 0) mode &= ~S_ISGID;
  return mode;
}

// Copies the POSIX access ACL and the user.* extended attributes of the
// file open as `from` to the one open as `to`, which a redirection would
// have kept with the file. A file system without extended attributes has
// none to copy; any other failure is the save's.
int KeepAttributes(int from, int to) {
  // The kernel's limits for a list of names and for one value.
  std::string names(64 << 10, '\0');
  std::string value(64 << 10, '\0');
  const ssize_t listed = Calls().flistxattr(from, names.data(), names.size());
  if (listed < 0) return errno == ENOTSUP ? 0 : errno;
  names.resize(static_cast<std::size_t>(listed));
  for (std::size_t at = 0; at < names.size();) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (name != "system.posix_acl_access" && !name.starts_with("user.")) {
      continue;
    }
    const ssize_t size =
        Calls().fgetxattr(from, name.c_str(), value.data(), value.size());
    if (size < 0) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return errno;
    }
    if (Calls().fsetxattr(to, name.c_str(), value.data(),
                          static_cast<std::size_t>(size), 0) != 0) {
      return errno;
    }
  }
  return 0;
}

// Gives the new file the owner, ACL, extended attributes and mode of the
// opened one. An owner that cannot be kept fails the save: the file would
// otherwise pass to this user. The mode comes last, since an ACL sets the
// group's bits.
int KeepOwnerAndMode(int fd, const Opened& opened) {
  const struct stat& old_info = opened.info;
  struct stat new_info {};
  if (::fstat(fd, &new_info) != 0) return errno;
  if ((new_info.st_uid != old_info.st_uid ||
       new_info.st_gid != old_info.st_gid) &&
      Calls().fchown(fd, old_info.st_uid, old_info.st_gid) != 0) {
    return errno;
  }
  if (int error = KeepAttributes(opened.fd, fd)) return error;
  if (Calls().fchmod(fd, ModeAfterWrite(old_info.st_mode & 07777)) != 0) {
    return errno;
  }
  return 0;
}

// Writes a temporary file beside the opened one and renames it over the
// opened file's name, provided that the name still leads to that file.
int ReplaceOpened(const Opened& opened, const WriteToFd& write,
                  TemporaryGuard& guard) {
  char temporary[32];
  const int fd = CreateTemporary(opened.folder, temporary, guard);
  if (fd < 0) return errno;
  int error = write(fd);
  if (error == 0) error = KeepOwnerAndMode(fd, opened);
  if (error == 0 && Calls().fsync(fd) != 0) error = errno;
  if (Calls().close(fd) != 0 && error == 0) error = errno;
  guard.Hold();
  if (error == 0) error = CheckNamed(opened.folder, opened.name, opened.info);
  if (error == 0 && Calls().renameat(opened.folder, temporary, opened.folder,
                                     opened.name.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    Calls().unlinkat(opened.folder, temporary, 0);
    guard.DisarmTemporary();
  } else {
    // The name now holds the new file, which no signal may remove.
    guard.Disarm();
  }
  guard.Release();
  return error;
}

// Removes the file this save created, if a name still leads to it; looks
// for that name again when the first look failed.
void RemoveCreated(const std::string& path, Opened& opened,
                   TemporaryGuard& guard) {
  guard.Hold();
  if (opened.folder < 0 ||
      CheckNamed(opened.folder, opened.name, opened.info) != 0) {
    if (opened.folder >= 0) Calls().close(opened.folder);
    opened.folder = -1;
    if (Locate(path, opened) != 0) opened.name.clear();
  }
  if (!opened.name.empty()) {
    Calls().unlinkat(opened.folder, opened.name.c_str(), 0);
  }
  guard.Disarm();
  guard.Release();
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

// A regular file is replaced; this process's own standard output or error
// is written through its descriptor; a device or a pipe is written to in
// place, since renaming over it would put a plain file in its place.
int ReplaceWithOutput(const std::string& path, const WriteToFd& write) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;
  if (const int fd = DescriptorNamed(path); fd >= 0) {
    return WriteThrough(fd, write);
  }

  TemporaryGuard guard;
  Opened opened;
  guard.Hold();
  int error = OpenLikeRedirection(path, guard, opened);
  const int stream =
      error == 0 && !opened.created ? StandardStreamOf(opened.info) : -1;
  const bool replacing =
      error == 0 && stream < 0 && S_ISREG(opened.info.st_mode);
  if (replacing) error = Locate(path, opened);
  if (replacing && error == 0 && opened.created) {
    guard.ArmCreated(opened.folder, opened.name.c_str());
  }
  guard.Release();

  if (error == 0) {
    if (replacing) {
      error = ReplaceOpened(opened, write, guard);
    } else {
      error = stream >= 0 ? WriteThrough(stream, write) : write(opened.fd);
    }
  }
  if (error != 0 && opened.created) RemoveCreated(path, opened, guard);
  if (opened.folder >= 0) {
    // Makes the rename itself durable; a folder open only as a place cannot
    // be flushed. A failure here changes nothing about the file, which is
    // complete either way, so it is not reported.
    if (error == 0) Calls().fsync(opened.folder);
    Calls().close(opened.folder);
  }
  // Only a descriptor written in place can lose bytes when it is closed.
  if (opened.fd >= 0 && Calls().close(opened.fd) != 0 && error == 0 &&
      !replacing && stream < 0) {
    error = errno;
  }
  return error;
}

}  // namespace karvello
