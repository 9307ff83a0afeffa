// The system calls that the list-file writer makes, gathered in one table so
// that a test can make any one of them fail. The writer calls nothing else
// that touches the disk (it only asks which files its own standard output
// and error are). Production code never changes the table.

#ifndef KARVELLO_LISTFILES_INTERNAL_WRITERCALLS_H_
#define KARVELLO_LISTFILES_INTERNAL_WRITERCALLS_H_

#include <sys/stat.h>
#include <sys/types.h>

namespace karvello::internal {

struct WriterCalls {
  int (*openat)(int dirfd, const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fchown)(int fd, uid_t uid, gid_t gid);
  int (*fchmod)(int fd, mode_t mode);
  int (*fsync)(int fd);
  int (*renameat)(int from_dirfd, const char* from, int to_dirfd,
                  const char* to);
  int (*close)(int fd);
  int (*unlinkat)(int dirfd, const char* path, int flags);
  int (*fstatat)(int dirfd, const char* path, struct stat* info, int flags);
  ssize_t (*readlinkat)(int dirfd, const char* path, char* buffer, size_t size);
  ssize_t (*flistxattr)(int fd, char* names, size_t size);
  ssize_t (*fgetxattr)(int fd, const char* name, void* value, size_t size);
  int (*fsetxattr)(int fd, const char* name, const void* value, size_t size,
                   int flags);
};

// The calls in use: the real ones unless a test has swapped some. Tests
// restore what they change before they end.
WriterCalls& Calls();

// The real calls, for a test that wraps one and forwards to it.
const WriterCalls& RealCalls();

}  // namespace karvello::internal

#endif  // KARVELLO_LISTFILES_INTERNAL_WRITERCALLS_H_
