#include "pipeline/SpillFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "listfiles/ListFileWriter.h"
#include "pipeline/System.h"

namespace karvello {

namespace {

constexpr std::size_t kHeader = sizeof(std::uint64_t) + sizeof(std::uint32_t);

bool g_named_for_testing = false;

}  // namespace

void UseNamedSpillFilesForTesting() { g_named_for_testing = true; }

SpillFile::SpillFile(const std::string& folder, std::size_t buffer_bytes)
    : folder_(folder), capacity_(std::max(buffer_bytes, kHeader)) {
  fd_ = OpenSpill(folder, g_named_for_testing);
  if (fd_ < 0) Fail("create a file in", errno);
}

SpillFile::SpillFile(SpillFile&& other) noexcept { *this = std::move(other); }

SpillFile& SpillFile::operator=(SpillFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) CloseFd(fd_);
    fd_ = std::exchange(other.fd_, -1);
    folder_ = std::move(other.folder_);
    buffer_ = std::move(other.buffer_);
    capacity_ = std::exchange(other.capacity_, 0);
    used_ = std::exchange(other.used_, 0);
    written_ = std::exchange(other.written_, 0);
    records_ = std::exchange(other.records_, 0);
  }
  return *this;
}

SpillFile::~SpillFile() {
  if (fd_ >= 0) CloseFd(fd_);
}

void SpillFile::Fail(const char* doing, int error) const {
  throw StatusError{
      Status(std::string("cannot ") + doing + " the temporary folder", folder_,
             std::strerror(error))};
}

void SpillFile::WriteOut(const char* data, std::size_t n) {
  if (const int error = WriteAllFd(fd_, data, n)) Fail("write to", error);
  written_ += n;
}

void SpillFile::Append(std::uint64_t position, std::string_view text) {
  if (text.size() > UINT32_MAX) Fail("write to", EFBIG);
  const auto length = static_cast<std::uint32_t>(text.size());
  const std::size_t need = kHeader + text.size();
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  if (capacity_ - used_ < need) {
    WriteOut(buffer_.get(), used_);
    used_ = 0;
  }
  if (need > capacity_) {
    char header[kHeader];
    std::memcpy(header, &position, sizeof position);
    std::memcpy(header + sizeof position, &length, sizeof length);
    WriteOut(header, kHeader);
    WriteOut(text.data(), text.size());
  } else {
    char* at = buffer_.get() + used_;
    std::memcpy(at, &position, sizeof position);
    std::memcpy(at + sizeof position, &length, sizeof length);
    if (!text.empty()) std::memcpy(at + kHeader, text.data(), text.size());
    used_ += need;
  }
  ++records_;
}

void SpillFile::Flush() {
  if (used_ != 0) WriteOut(buffer_.get(), used_);
  used_ = 0;
  buffer_.reset();
}

std::size_t SpillFile::ReadAt(std::uint64_t offset, char* buffer,
                              std::size_t n) const {
  std::size_t done = 0;
  if (const int error = karvello::ReadAt(fd_, buffer, n, offset, done)) {
    Fail("read from", error);
  }
  return done;
}

SpillReader::SpillReader(const SpillFile& file, std::uint64_t begin,
                         std::uint64_t end, std::size_t buffer_bytes)
    : file_(&file),
      offset_(begin),
      end_(end),
      capacity_(std::max(buffer_bytes, std::size_t{4096})) {
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

bool SpillReader::Fill(std::size_t n) {
  if (held_ - begin_ >= n) return true;
  std::memmove(buffer_.get(), buffer_.get() + begin_, held_ - begin_);
  held_ -= begin_;
  begin_ = 0;
  if (n > capacity_) {
    // A record longer than the buffer: the buffer grows to hold it whole.
    auto bigger = std::make_unique_for_overwrite<char[]>(n);
    std::memcpy(bigger.get(), buffer_.get(), held_);
    buffer_ = std::move(bigger);
    capacity_ = n;
  }
  while (held_ < n && offset_ < end_) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(capacity_ - held_, end_ - offset_));
    const std::size_t got = file_->ReadAt(offset_, buffer_.get() + held_, want);
    if (got == 0) break;
    held_ += got;
    offset_ += got;
  }
  return held_ >= n;
}

bool SpillReader::Next(std::uint64_t& position, std::string_view& text) {
  if (!Fill(kHeader)) return false;
  std::uint32_t length;
  std::memcpy(&position, buffer_.get() + begin_, sizeof position);
  std::memcpy(&length, buffer_.get() + begin_ + sizeof position, sizeof length);
  if (!Fill(kHeader + length)) {
    // Only a file cut short by someone else can end inside a record.
    throw StatusError{Status({}, {}, "a temporary file ended early")};
  }
  text = std::string_view(buffer_.get() + begin_ + kHeader, length);
  begin_ += kHeader + length;
  return true;
}

}  // namespace karvello
