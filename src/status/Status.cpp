#include "status/Status.h"

#include <algorithm>
#include <cerrno>
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
  return Read(path, std::strerror(error), error);
}

Status Status::Read(std::string_view path, std::string_view reason, int error) {
  if (path == kStdin) {
    return Status("cannot read", "standard input", reason, 1, error);
  }
  return Status("cannot read", path, reason, 1, error);
}

Status Status::Save(std::string_view path, int error) {
  return Save(path, std::strerror(error), error);
}

Status Status::Save(std::string_view path, std::string_view reason, int error) {
  return Status("cannot save", path, reason, 1, error);
}

Status Status::Write(std::string_view path, int error) {
  if (path.empty()) {
    return Status("cannot write to", "standard output", std::strerror(error), 1,
                  error);
  }
  return Save(path, error);
}

Status Status::NotFound(std::string_view path) {
  Status status({}, {}, "file not found", 1, ENOENT);
  if (!path.empty()) status.message_.append(": ").append(path);
  return status;
}

std::string Status::Sentence() const {
  std::string sentence = message_;
  for (std::size_t at = 0; at < sentence.size();) {
    if (sentence[at] >= 'a' && sentence[at] <= 'z') sentence[at] -= 'a' - 'A';
    at = sentence.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  return sentence;
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
