// Why a load, a save or a run stopped, as the user is told it: what was
// being done, to which file, and why, with the system's error code kept
// beside the text so that a caller can tell causes apart without parsing
// words. A Status cannot be dropped unread ([[nodiscard]]); the
// command-line tool prints it in one place, each line after its own name.
//
//   Status status = Status::Read("typo.txt", ENOENT);
//   status.Message() == "cannot read typo.txt: No such file or directory"
//   status.error() == ENOENT
//   status.exit_status() == 1
//
// Needs nothing but the standard library, so that every layer can say why.

#ifndef KARVELLO_STATUS_STATUS_H_
#define KARVELLO_STATUS_STATUS_H_

#include <string>
#include <string_view>

namespace karvello {

// The name of standard input among a command's files.
inline constexpr std::string_view kStdin = "-";

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  // "`verb` `path`: `reason`", or `reason` alone when `verb` is empty.
  // `error` is the errno value (or, on Windows, the system's error) behind
  // `reason`, 0 when there is none.
  Status(std::string_view verb, std::string_view path, std::string_view reason,
         int exit_status = 1, int error = 0);

  // An input that cannot be read; "-" is standard input. `error` is an
  // errno value, whose text is the reason unless one is given.
  static Status Read(std::string_view path, int error);
  static Status Read(std::string_view path, std::string_view reason,
                     int error = 0);
  // The file `path` that cannot be saved: "cannot save out.txt: Permission
  // denied".
  static Status Save(std::string_view path, int error);
  static Status Save(std::string_view path, std::string_view reason, int error);
  // Standard output when `path` is empty, else Save(path, error).
  static Status Write(std::string_view path, int error);
  // A file that is not there to load: "file not found", with ": " and the
  // path when `path` is not empty; error() is ENOENT.
  static Status NotFound(std::string_view path);
  // A command line that means nothing: exit status 2.
  static Status Usage(std::string_view reason);

  bool ok() const noexcept { return exit_status_ == 0; }
  // 0 for success, 1 for a failure, 2 for bad usage.
  int exit_status() const noexcept { return exit_status_; }
  // The error code of the first problem that had one; 0 when none did.
  int error() const noexcept { return error_; }
  // One line per problem, without a line end after the last.
  const std::string& Message() const noexcept { return message_; }
  // Message() as the window says it, each line a sentence that begins with
  // a capital: "Cannot read /tmp/a: Is a directory".
  std::string Sentence() const;

  // Adds the problems of `other`, so that one check reports every input
  // that is wrong.
  void Also(const Status& other);

 private:
  std::string message_;
  int exit_status_ = 0;
  int error_ = 0;
};

// Thrown where a failure ends a run from deep within a loop; the runner
// turns it back into the Status it carries.
struct StatusError {
  Status status;
};

}  // namespace karvello

#endif  // KARVELLO_STATUS_STATUS_H_
