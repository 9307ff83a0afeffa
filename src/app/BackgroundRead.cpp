#include "app/BackgroundRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <poll.h>
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

#include "listfiles/ListFileReader.h"
#include "listfiles/ListFiles.h"
#include "listfiles/SystemFiles.h"
#include "lists/Threads.h"

namespace karvello {
namespace {

// Bytes held in memory go to the reader in slices of this size, so that a
// cancel is seen between two of them and the progress moves.
constexpr std::size_t kSlice = std::size_t{1} << 20;

// The part of the progress bar that reading the bytes fills; measuring
// what was read fills the rest.
constexpr double kReadShare = 0.5;

// The size of the regular file at `path`; nullopt for anything else (a
// pipe, a device) or when it cannot be told.
std::optional<std::uint64_t> RegularSize(const std::string& path) {
#ifdef _WIN32
  // Windows opens pipes and devices without waiting; an empty regular file
  // counts as one of unknown size, which only leaves the bar busy.
  const int fd = OpenToRead(path);
  if (fd < 0) return std::nullopt;
  const std::size_t size = RegularFileSize(fd);
  ::close(fd);
  if (size == 0) return std::nullopt;
  return size;
#else
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
#endif
}

}  // namespace

std::shared_ptr<BackgroundRead> BackgroundRead::Start(
    std::vector<Source> sources, Measure measure) {
  std::shared_ptr<BackgroundRead> read(
      new BackgroundRead(std::move(sources), std::move(measure)));
  // The thread keeps the read alive: after a cancel the caller lets go of
  // it, and the thread may still be inside a read(2) of a slow drive.
  StartThread([read] { read->Run(); }).detach();
  return read;
}

BackgroundRead::BackgroundRead(std::vector<Source> sources, Measure measure)
    : sources_(std::move(sources)), measure_(std::move(measure)) {
#ifndef _WIN32
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
#endif
  std::uint64_t total = 0;
  for (const Source& source : sources_) {
    if (!source.is_file)
      total += static_cast<std::uint64_t>(source.bytes.size());
  }
  bytes_total_ = total;
}

BackgroundRead::~BackgroundRead() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void BackgroundRead::Run() {
  // The files' sizes make the whole; one without a size (a pipe) leaves the
  // progress unknown.
  std::uint64_t total = bytes_total_;
  for (const Source& source : sources_) {
    if (!source.is_file) continue;
    if (const auto size = RegularSize(source.path)) {
      total += *size;
    } else {
      total = 0;
      break;
    }
  }
  bytes_total_ = total;

  std::vector<Result> results(sources_.size());
  for (std::size_t k = 0; k < sources_.size() && !cancelled_; ++k) {
    Result& result = results[k];
    const Source& source = sources_[k];
    // Why a source failed: a file by its path, bytes by the reason alone.
    auto failed = [&](std::string_view reason, int error) {
      result.outcome = Result::Outcome::kFailed;
      result.status = source.is_file ? Status::Read(source.path, reason, error)
                                     : Status({}, {}, reason, 1, error);
    };
    try {
      if (source.is_file) {
        ReadFile(source.path, result);
      } else {
        ReadBytes(source.bytes, result);
      }
      // Here, not on the window's thread: ten million items take a while.
      if (measure_ && !cancelled_) result.extent = measure_(result.items);
    } catch (const std::bad_alloc&) {
      failed("not enough memory", ENOMEM);
    } catch (const std::exception& e) {
      failed(e.what(), 0);
    }
  }
  std::lock_guard lock(mutex_);
  if (!cancelled_) results_ = std::move(results);
  done_ = true;
  finished_.notify_all();
}

void BackgroundRead::ReadFile(const std::string& path, Result& result) {
  if (!FileExists(path)) {
    result.outcome = Result::Outcome::kNotFound;
    return;
  }
#ifdef _WIN32
  const int fd = OpenToRead(path);
#else
  // Not blocking, so that opening a pipe does not wait for a writer here:
  // ReadSome waits instead, where a cancel can end the wait.
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    const std::size_t size_hint = RegularFileSize(fd);
    try {
      error = ReadListStream(
          [this, fd](char* buffer, std::size_t size) {
            return ReadSome(fd, buffer, size);
          },
          result.items, size_hint);
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
  }
  if (error != 0) {
    result.outcome = Result::Outcome::kFailed;
    result.status = Status::Read(path, error);
  }
}

void BackgroundRead::ReadBytes(const QByteArray& bytes, Result& result) {
  ListFileReader reader(result.items);
  const std::string_view all(bytes.constData(),
                             static_cast<std::size_t>(bytes.size()));
  for (std::size_t at = 0; at < all.size() && !cancelled_; at += kSlice) {
    const std::string_view slice = all.substr(at, kSlice);
    reader.Feed(slice);
    bytes_done_ += slice.size();
  }
  reader.Finish();
}

long BackgroundRead::ReadSome(int fd, char* buffer, std::size_t size) {
#ifdef _WIN32
  // No poll(2) for files here: a cancel is seen between two reads, and a
  // read that waits ends the thread, on its own, once it returns.
  if (cancelled_) {
    errno = ECANCELED;
    return -1;
  }
  const int n =
      ::read(fd, buffer, static_cast<unsigned>(std::min(size, kSlice)));
  if (n > 0) bytes_done_ += static_cast<std::uint64_t>(n);
  return n;
#else
  for (;;) {
    if (cancelled_) {
      errno = ECANCELED;
      return -1;
    }
    pollfd watch[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(watch, 2, -1) < 0 && errno != EINTR) return -1;
    if (cancelled_) continue;
    if (watch[0].revents == 0) continue;
    const ssize_t n = ::read(fd, buffer, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n > 0) bytes_done_ += static_cast<std::uint64_t>(n);
    return static_cast<long>(n);
  }
#endif
}

bool BackgroundRead::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, timeout, [this] { return done_; });
}

Progress BackgroundRead::Poll() const {
  {
    std::lock_guard lock(mutex_);
    if (done_) return {true, 1.0};
  }
  const std::uint64_t total = bytes_total_;
  if (total == 0) return {false, -1.0};
  // Reading is part of the work: the items are measured after it, which
  // with millions of items takes about as long again. The bar stops short
  // of its end until the read is done.
  return {false, kReadShare * std::min(1.0, static_cast<double>(bytes_done_) /
                                                static_cast<double>(total))};
}

void BackgroundRead::Cancel() {
  cancelled_ = true;
  const std::uint64_t one = 1;
  // Wakes a ReadSome that waits in poll(2); the flag alone covers the rest.
  if (wake_fd_ >= 0) {
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
  }
  std::lock_guard lock(mutex_);
  results_.clear();
}

void AppendItems(ItemList& list, ItemList&& items) {
  if (list.ListCount() == 0 && list.RawStorage().arena_size == 0) {
    list = std::move(items);
    return;
  }
  list.Reserve(items.ListCount(), items.TextBytes());
  for (ItemList::Index i = 0; i < items.ListCount(); ++i) {
    list.AddItem(items.UncheckedItem(i));
  }
}

}  // namespace karvello
