// Spill files: scratch storage on disk for lists that do not fit in memory.
//
// A spill file has no name: it is opened with O_TMPFILE where the file system
// allows, or created under a random name and unlinked at once, with SIGINT,
// SIGTERM and SIGHUP held back in between, so it disappears with its
// descriptor. Nothing is left behind when the run ends, fails or is killed.
// On Windows the file has a name while it is open, but nobody else can open
// it and the system deletes it when its handle closes (pipeline/System.h).
//
// Records are an item's position (8 bytes), its length (4 bytes) and its
// bytes, so an item comes back exactly as it went in.

#ifndef KARVELLO_PIPELINE_SPILLFILE_H_
#define KARVELLO_PIPELINE_SPILLFILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "status/Status.h"

namespace karvello {

class SpillFile {
 public:
  // Opens a new, empty spill file in `folder` that buffers `buffer_bytes`
  // of appended records. Like every member below, throws StatusError when
  // the file cannot be made, written or read, such as "cannot write to the
  // temporary folder /tmp: No space left on device".
  SpillFile(const std::string& folder, std::size_t buffer_bytes);
  SpillFile(SpillFile&& other) noexcept;
  SpillFile& operator=(SpillFile&& other) noexcept;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  ~SpillFile();

  // Appends one record.
  void Append(std::uint64_t position, std::string_view text);

  // Writes out what is buffered and frees the buffer; call before reading.
  //
  void Flush();

  // Bytes appended so far, buffered ones included.
  std::uint64_t size() const noexcept { return written_ + used_; }
  std::uint64_t records() const noexcept { return records_; }

  // Reads up to `n` bytes at `offset` into `buffer`; returns how many were
  // read, 0 at the end.
  std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t n) const;

 private:
  void WriteOut(const char* data, std::size_t n);
  [[noreturn]] void Fail(const char* doing, int error) const;

  int fd_ = -1;
  std::string folder_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t records_ = 0;
};

// Reads the records of a span of a spill file in order.
//
//   SpillReader reader(file, 0, file.size(), 1 << 16);
//   std::uint64_t position;
//   std::string_view text;
//   while (reader.Next(position, text)) Use(position, text);
class SpillReader {
 public:
  SpillReader(const SpillFile& file, std::uint64_t begin, std::uint64_t end,
              std::size_t buffer_bytes);

  // The next record; false at the end of the span. `text` stays valid until
  // the next call.
  bool Next(std::uint64_t& position, std::string_view& text);

 private:
  // Makes at least `n` bytes available from begin_; false when the span
  // holds fewer.
  bool Fill(std::size_t n);

  const SpillFile* file_;
  std::uint64_t offset_;  // of the next byte to read from the file
  std::uint64_t end_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;
  std::size_t held_ = 0;
};

// Calls visit(position, text) for every record of `file`, in order, read
// through a buffer of `buffer_bytes`.
template <typename Visit>
void ForEachRecord(const SpillFile& file, std::size_t buffer_bytes,
                   Visit visit) {
  SpillReader reader(file, 0, file.size(), buffer_bytes);
  std::uint64_t position;
  std::string_view text;
  while (reader.Next(position, text)) visit(position, text);
}

// A test hook: makes every later spill file take the way that file systems
// without O_TMPFILE need, a named file unlinked at once.
void UseNamedSpillFilesForTesting();

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_SPILLFILE_H_
