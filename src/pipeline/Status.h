// Why a run stopped, as the user is told it: what was being done, to which
// file, and why. A Status cannot be dropped unread ([[nodiscard]]); the
// command-line tool prints it in one place, each line after its own name.
//
//   Status status = Status::Read("typo.txt", ENOENT);
//   status.Message() == "cannot read typo.txt: No such file or directory"
//   status.exit_status() == 1

#ifndef KARVELLO_PIPELINE_STATUS_H_
#define KARVELLO_PIPELINE_STATUS_H_

#include <string>
#include <string_view>

namespace karvello {

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  // "`verb` `path`: `reason`", or `reason` alone when `verb` is empty.
  Status(std::string_view verb, std::string_view path, std::string_view reason,
         int exit_status = 1);

  // An input that cannot be read; "-" is standard input. `error` is an
  // errno value.
  static Status Read(std::string_view path, int error);
  static Status Read(std::string_view path, std::string_view reason);
  // Standard output, or OUT when `path` is not empty, that cannot be
  // written.
  static Status Write(std::string_view path, int error);
  // A command line that means nothing: exit status 2.
  static Status Usage(std::string_view reason);

  bool ok() const noexcept { return exit_status_ == 0; }
  // 0 for success, 1 for a failure, 2 for bad usage.
  int exit_status() const noexcept { return exit_status_; }
  // One line per problem, without a line end after the last.
  const std::string& Message() const noexcept { return message_; }

  // Adds the problems of `other`, so that one check reports every input
  // that is wrong.
  void Also(const Status& other);

 private:
  std::string message_;
  int exit_status_ = 0;
};

// Thrown inside the pipeline where a failure ends the run from deep within
// a loop; the runner turns it back into the Status it carries.
struct StatusError {
  Status status;
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_STATUS_H_
