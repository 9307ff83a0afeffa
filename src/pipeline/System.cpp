#include "pipeline/System.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"
#include "pipeline/Inputs.h"
#include "pipeline/Pipeline.h"
#include "pipeline/internal/Budget.h"

namespace karvello {

namespace {

// A name in `folder` that nobody can guess, so that nobody can take it
// first: 64 random bits.
std::string RandomName(const std::string& folder) {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != sizeof bits) {
    static std::atomic<std::uint64_t> counter{0};
    bits = std::hash<std::string>()(folder) ^
           static_cast<std::uint64_t>(::getpid()) << 40 ^
           static_cast<std::uint64_t>(
               std::chrono::steady_clock::now().time_since_epoch().count()) ^
           counter.fetch_add(0x9e3779b97f4a7c15ULL);
  }
  char name[40];
  std::snprintf(name, sizeof name, "/.karvello-spill-%016llx",
                static_cast<unsigned long long>(bits));
  return folder + name;
}

// Which of the standard descriptors HoldClosedStandardDescriptors found
// closed.
bool g_held_for_closed[3] = {};

}  // namespace

void HoldClosedStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one.
    const int held =
        ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) ::close(held);
    g_held_for_closed[fd] = held == fd;
  }
}

bool HeldForClosed(int fd) {
  return fd >= 0 && fd <= STDERR_FILENO && g_held_for_closed[fd];
}

int Describe(int fd, OpenFile& file) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  file.folder = S_ISDIR(info.st_mode);
  file.regular = S_ISREG(info.st_mode);
  file.size = file.regular ? static_cast<std::uint64_t>(info.st_size) : 0;
  file.id = {info.st_dev, info.st_ino};
  return 0;
}

std::optional<FileId> RegularFileNamed(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return FileId{info.st_dev, info.st_ino};
}

namespace {

// The device of the process's controlling terminal, which /dev/tty stands
// for: field 7 of /proc/self/stat, after the command's name in parentheses.
std::optional<dev_t> ControllingTerminal() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t end = line.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(end + 1));
  std::string field;
  for (int i = 3; i <= 7 && fields >> field; ++i) {
    unsigned long long device = 0;
    if (i == 7 &&
        std::from_chars(field.data(), field.data() + field.size(), device).ec ==
            std::errc()) {
      return static_cast<dev_t>(device);
    }
  }
  return std::nullopt;
}

// Whether `a` and `b` lead to the same place: a terminal or other device by
// its device number (/dev/tty as the controlling terminal), anything else
// by its file.
bool SamePlace(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) {
    const dev_t tty = makedev(5, 0);
    if ((a.st_rdev == tty) != (b.st_rdev == tty)) {
      const std::optional<dev_t> controlling = ControllingTerminal();
      return controlling && *controlling != 0 &&
             *controlling == (a.st_rdev == tty ? b.st_rdev : a.st_rdev);
    }
    return a.st_rdev == b.st_rdev;
  }
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool SharesStandardError(const std::string& output) {
  struct stat error {};
  struct stat result {};
  if (::fstat(STDERR_FILENO, &error) != 0) return false;
  const int fd = output.empty() ? STDOUT_FILENO : DescriptorNamed(output);
  if (fd >= 0 ? ::fstat(fd, &result) != 0
              : ::stat(output.c_str(), &result) != 0) {
    return false;
  }
  return SamePlace(result, error);
}

int WriteText(int fd, std::string_view text) {
  return WriteAllFd(fd, text.data(), text.size());
}

bool TakeEraseSequence(int) { return true; }

void RestoreTerminal(int) {}

int UsableAs(int fd, bool writing) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1) return errno;
  return (flags & O_ACCMODE) == (writing ? O_RDONLY : O_WRONLY) ? EBADF : 0;
}

bool WouldWait(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) == 0;
}

void WaitToRead(int fd) {
  pollfd ready{fd, POLLIN, 0};
  ::poll(&ready, 1, -1);
}

bool WaitToReadFor(int fd, int milliseconds) {
  pollfd ready{fd, POLLIN, 0};
  const int result = ::poll(&ready, 1, milliseconds);
  // A poll that fails otherwise leaves the answer to the read.
  return result > 0 || (result < 0 && errno != EINTR);
}

int OpenInput(const std::string& path) { return OpenToRead(path); }

int OwnDescriptorNamed(std::string_view path) { return DescriptorNamed(path); }

long ReadFd(int fd, char* buffer, std::size_t n) {
  return static_cast<long>(::read(fd, buffer, n));
}

void CloseFd(int fd) { ::close(fd); }

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

int OpenSpill(const std::string& folder, bool named) {
#if defined(O_TMPFILE)
  if (!named) {
    const int fd =
        ::open(folder.c_str(), O_RDWR | O_TMPFILE | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // File systems without O_TMPFILE say so with EOPNOTSUPP or EISDIR; any
    // other failure (a missing folder, no permission) is the real answer.
    if (errno != EOPNOTSUPP && errno != EISDIR) return -1;
  }
#endif
  // A signal that ends the run between the open and the unlink would leave
  // the file behind, so the signals wait until it is gone.
  sigset_t signals;
  sigset_t saved;
  sigemptyset(&signals);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&signals, signal_number);
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string path = RandomName(folder);
    pthread_sigmask(SIG_BLOCK, &signals, &saved);
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) ::unlink(path.c_str());
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (fd >= 0) return fd;
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

int ReadAt(int fd, char* buffer, std::size_t n, std::uint64_t offset,
           std::size_t& done) {
  while (true) {
    const ssize_t got = ::pread(fd, buffer, n, static_cast<off_t>(offset));
    if (got >= 0) {
      done = static_cast<std::size_t>(got);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

std::size_t DefaultMemoryBudget() {
  std::uint64_t budget = std::uint64_t{1} << 30;
  std::ifstream meminfo_file("/proc/meminfo");
  const std::string meminfo((std::istreambuf_iterator<char>(meminfo_file)),
                            std::istreambuf_iterator<char>());
  if (const auto available = internal::MemAvailableBytes(meminfo)) {
    budget = *available / 2;
  }
  // In a container MemAvailable is the host's; the container's limit is
  // its cgroup's, past which the kernel ends the run.
  const internal::CgroupFiles& cgroups = internal::CgroupFilesInUse();
  std::ifstream cgroup_file(cgroups.proc_cgroup);
  const std::string cgroup((std::istreambuf_iterator<char>(cgroup_file)),
                           std::istreambuf_iterator<char>());
  if (const auto left = internal::CgroupMemoryLeft(cgroup, cgroups.root)) {
    budget = std::min(budget, *left / 2);
  }
  // An address-space limit counts the program, its libraries, thread
  // stacks and mappings that are only reserved, not just the lists. The
  // libraries alone can take tens of megabytes, so the quarter is of what
  // is left after them.
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t in_use = 0;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages;
    if (statm >> pages) {
      in_use = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    const std::uint64_t room =
        limit.rlim_cur > in_use ? (limit.rlim_cur - in_use) / 4 : 0;
    budget = std::min(budget, room);
  }
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(budget, kSmallestBudget));
}

std::string DefaultTempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

}  // namespace karvello
