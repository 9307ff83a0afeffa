#include "pipeline/Inputs.h"

#include <unistd.h>  // STDIN_FILENO and its kin; the calls go through System.h

#include <algorithm>
#include <cerrno>
#include <utility>

namespace karvello {

namespace {

// At most this much is read at a time, so that even a block of empty items
// (one per byte) stays small.
constexpr std::size_t kReadBytes = std::size_t{64} << 10;
// What an item costs in a list besides its text: its offset and length.
constexpr std::size_t kItemIndexBytes = 12;

}  // namespace

std::optional<FileId> RegularFileOf(int fd) {
  OpenFile file;
  if (Describe(fd, file) != 0 || !file.regular) return std::nullopt;
  return file.id;
}

Inputs::Inputs(std::vector<std::string> paths, FieldSplit split)
    : split_(split) {
  if (paths.empty()) paths.emplace_back(kStdin);
  inputs_.reserve(paths.size());
  for (std::string& path : paths) inputs_.push_back({std::move(path)});
}

Inputs::~Inputs() {
  for (Input& input : inputs_) Close(input);
}

void Inputs::Close(Input& input) {
  if (input.fd > STDERR_FILENO) CloseFd(input.fd);
  input.fd = -1;
}

Status Inputs::Check(const std::optional<FileId>& output) {
  Status status;
  for (Input& input : inputs_) {
    int error = 0;
    if (input.path == kStdin) {
      error = UsableAs(STDIN_FILENO, false);
      input.fd = STDIN_FILENO;
    } else if (input.path.find('\0') != std::string::npos) {
      error = ENOENT;
    } else if (const int fd = OwnDescriptorNamed(input.path);
               fd >= 0 && HeldForClosed(fd)) {
      // Its name would open the /dev/null that stands in for it.
      error = EBADF;
    } else {
      input.fd = OpenInput(input.path);
      if (input.fd < 0) error = errno;
    }
    OpenFile info;
    if (error == 0) error = Describe(input.fd, info);
    if (error == 0 && info.folder) error = EISDIR;
    if (error != 0) {
      status.Also(Status::Read(input.path, error));
      if (input.fd != STDIN_FILENO) Close(input);
      continue;
    }
    input.regular = info.regular;
    input.size = info.size;
    if (input.regular && output == info.id) {
      status.Also(Status::Read(input.path, "it is also the output"));
    }
    // A regular file is opened again when its turn comes, so that any
    // number of them can be read; standard input stays as it is.
    if (input.regular && input.fd != STDIN_FILENO) Close(input);
  }
  return status;
}

std::optional<std::uint64_t> Inputs::known_bytes() const {
  std::uint64_t bytes = 0;
  for (const Input& input : inputs_) {
    if (!input.regular) return std::nullopt;
    bytes += input.size;
  }
  return bytes;
}

void Inputs::PassRunsTo(std::string_view line_end,
                        ListFileReader::RunFunction run) {
  pass_line_end_ = line_end;
  pass_run_ = std::move(run);
}

void Inputs::Open(Input& input) {
  if (input.fd < 0) {
    input.fd = OpenInput(input.path);
    if (input.fd < 0) throw StatusError{Status::Read(input.path, errno)};
  }
  reader_ = std::make_unique<ListFileReader>(*list_, split_);
  if (pass_run_) {
    reader_->PassRunsTo(pass_line_end_,
                        [this](std::string_view bytes, std::size_t items) {
                          passed_ += bytes.size();
                          pass_run_(bytes, items);
                        });
  }
}

bool Inputs::ReadSome(Input& input) {
  const std::span<char> space = reader_->Space();
  const std::size_t want = std::min(space.size(), kReadBytes);
  while (true) {
    const long n = ReadFd(input.fd, space.data(), want);
    if (n > 0) {
      bytes_read_.fetch_add(static_cast<std::uint64_t>(n),
                            std::memory_order_relaxed);
      reader_->Commit(static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw StatusError{Status::Read(input.path, errno)};
    }
    // Standard input left in non-blocking mode by another program.
    WaitToRead(input.fd);
  }
}

bool Inputs::WaitForMore(int milliseconds) const {
  return !waiting_ || WaitToReadFor(inputs_[current_].fd, milliseconds);
}

bool Inputs::ReadBlock(ItemList& list) {
  list_ = &list;
  const bool waited = std::exchange(waiting_, false);
  const std::size_t start =
      list.TextBytes() +
      kItemIndexBytes * static_cast<std::size_t>(list.ListCount());
  passed_ = 0;
  auto block = [&] {
    return list.TextBytes() +
           kItemIndexBytes * static_cast<std::size_t>(list.ListCount()) +
           passed_ - start;
  };
  bool any = false;
  while (current_ < inputs_.size() && block() < kBlockBytes) {
    Input& input = inputs_[current_];
    if (!reader_) Open(input);
    // A pipe that has nothing yet: what was read goes on first, and the
    // next call waits.
    if (!input.regular && (any || !waited) && WouldWait(input.fd)) {
      waiting_ = true;
      return true;
    }
    any = true;
    if (ReadSome(input)) continue;
    reader_->Finish();
    reader_.reset();
    Close(input);
    ++current_;
  }
  return any;
}

}  // namespace karvello
