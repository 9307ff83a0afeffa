#include "status/Status.h"

#include <algorithm>
#include <cstring>

namespace karvello {

namespace {

// A path as the messages show it: an empty one would vanish from the line.
std::string Shown(std::string_view path) {
  return path.empty() ? "''" : std::string(path);
}

}  // namespace

Status::Status(std::string_view verb, std::string_view path,
               std::string_view reason, int exit_status, int error)
    : exit_status_(exit_status), error_(error) {
  if (!verb.empty()) {
    message_.append(verb).append(" ").append(Shown(path)).append(": ");
  }
  message_.append(reason);
}

Status Status::Read(std::string_view path, int error) {
  Status status = Read(path, std::strerror(error));
  status.error_ = error;
  return status;
}

Status Status::Read(std::string_view path, std::string_view reason) {
  if (path == kStdin) return Status("cannot read", "standard input", reason);
  return Status("cannot read", path, reason);
}

Status Status::Write(std::string_view path, int error) {
  if (path.empty()) {
    return Status("cannot write to", "standard output", std::strerror(error), 1,
                  error);
  }
  return Status("cannot save", path, std::strerror(error), 1, error);
}

Status Status::Usage(std::string_view reason) {
  return Status({}, {}, reason, 2);
}

void Status::Also(const Status& other) {
  if (other.ok()) return;
  if (!message_.empty()) message_ += '\n';
  message_ += other.message_;
  exit_status_ = std::max(exit_status_, other.exit_status_);
  if (error_ == 0) error_ = other.error_;
}

}  // namespace karvello
