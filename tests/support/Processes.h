// Helpers for tests that need a process of their own: one that changes its
// standard streams or its user, or one that may be killed by a signal.

#ifndef KARVELLO_TESTS_SUPPORT_PROCESSES_H_
#define KARVELLO_TESTS_SUPPORT_PROCESSES_H_

#include <dirent.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace karvello::testing {

// The unprivileged user and group that permission tests switch to.
inline constexpr uid_t kNobody = 65534;

// How many descriptors this process has open, to catch one left open.
inline int OpenDescriptorCount() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count;
}

// True when this process may switch to another user (it runs as root).
inline bool CanSwitchUsers() { return geteuid() == 0; }

struct ChildOutcome {
  int status = -1;      // the raw wait status
  std::string written;  // what `action` returned
};

// Runs `action` in a forked child, as the user nobody when `as_nobody`, and
// returns what it returned together with how the child ended. The child ends
// with status 0 after `action`, 3 when it could not switch users.
inline ChildOutcome RunInChild(const std::function<std::string()>& action,
                               bool as_nobody = false) {
  ChildOutcome outcome;
  int ends[2];
  if (pipe(ends) != 0) return outcome;
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    if (as_nobody && (setgroups(0, nullptr) != 0 ||
                      setresgid(kNobody, kNobody, kNobody) != 0 ||
                      setresuid(kNobody, kNobody, kNobody) != 0)) {
      _exit(3);
    }
    const std::string result = action();
    for (std::size_t done = 0; done < result.size();) {
      const ssize_t n =
          write(ends[1], result.data() + done, result.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(ends[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) {
    outcome.written.append(buffer, static_cast<std::size_t>(n));
  }
  close(ends[0]);
  if (child > 0) waitpid(child, &outcome.status, 0);
  return outcome;
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_PROCESSES_H_
