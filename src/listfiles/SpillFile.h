// Spill files: scratch storage on disk for lists that do not fit in memory.
//
// A spill file has no name: it is opened with O_TMPFILE where the file system
// allows, or created and unlinked at once, so it disappears with its
// descriptor. Nothing is left behind when the run ends, fails or is killed.
//
// Records are an item's position (8 bytes), its length (4 bytes) and its
// bytes, so an item comes back exactly as it went in.

#ifndef KARVELLO_LISTFILES_SPILLFILE_H_
#define KARVELLO_LISTFILES_SPILLFILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace karvello {

// A failed read or write of a spill file. what() names the temporary folder
// and the reason, such as "cannot write to the temporary folder /tmp: No
// space left on device"; error() is the errno value.
class SpillError : public std::runtime_error {
 public:
  SpillError(const std::string& what, int error)
      : std::runtime_error(what), error_(error) {}
  int error() const noexcept { return error_; }

 private:
  int error_;
};

class SpillFile {
 public:
  // Opens a new, empty spill file in `folder` that buffers `buffer_bytes`
  // of appended records. Throws SpillError.
  SpillFile(const std::string& folder, std::size_t buffer_bytes);
  SpillFile(SpillFile&& other) noexcept;
  SpillFile& operator=(SpillFile&& other) noexcept;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  ~SpillFile();

  // Appends one record. Throws SpillError.
  void Append(std::uint64_t position, std::string_view text);

  // Writes out what is buffered and frees the buffer; call before reading.
  // Throws SpillError.
  void Flush();

  // Bytes appended so far, buffered ones included.
  std::uint64_t size() const noexcept { return written_ + used_; }
  std::uint64_t records() const noexcept { return records_; }

  // Reads up to `n` bytes at `offset` into `buffer`; returns how many were
  // read, 0 at the end. Throws SpillError.
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
  // the next call. Throws SpillError.
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

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_SPILLFILE_H_
