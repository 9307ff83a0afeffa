// The inputs of one list: files and standard input, checked all at once
// before anything is written and then read in order, one open at a time,
// in blocks of bounded size.
//
//   Inputs inputs({"a.txt", "-", "b.txt"}, FieldSplit::kCommasAndLines);
//   if (Status status = inputs.Check(std::nullopt); !status.ok()) ...
//   ItemList block;
//   while (inputs.ReadBlock(block)) { Use(block); block.Clear(); }

#ifndef KARVELLO_PIPELINE_INPUTS_H_
#define KARVELLO_PIPELINE_INPUTS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listfiles/ListFileReader.h"
#include "lists/ItemList.h"
#include "pipeline/System.h"
#include "status/Status.h"

namespace karvello {

// Puts /dev/null, opened the wrong way round, in place of each of the
// standard descriptors 0, 1 and 2 that is closed, so that no file opened
// later takes its number: a run would otherwise read its own spill file as
// standard input, or write its result into one. Reading standard input or
// writing standard output then fails with EBADF, as on the closed one. Call
// before anything else opens a file.
void HoldClosedStandardDescriptors();

// True when `fd` is one that HoldClosedStandardDescriptors found closed.
// Its names (/dev/stdin, /dev/fd/0) are then read as it would be: EBADF.
bool HeldForClosed(int fd);

// The file open as `fd` when it is a regular file.
std::optional<FileId> RegularFileOf(int fd);

class Inputs {
 public:
  // `paths` in order; none means standard input.
  Inputs(std::vector<std::string> paths, FieldSplit split);
  ~Inputs();
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;

  // Opens every input, and closes it again unless it is a pipe or a device,
  // which cannot be opened twice alike. Reports, in one Status, every input
  // that cannot be read and every one that is the regular file `output`,
  // where the result is to be written through a descriptor as it is read.
  Status Check(const std::optional<FileId>& output);

  // The size of all inputs when each is a regular file.
  std::optional<std::uint64_t> known_bytes() const;

  // Appends to `list` the items of about one block of input (kBlockBytes of
  // text or kBlockItems items, more only for one long item or one read of
  // items). False
  // when no input is left. Stops early, with `waiting()` true, when a pipe
  // or terminal has nothing more to give yet, so that what was read can be
  // passed on first. Throws StatusError when a read fails.
  bool ReadBlock(ItemList& list);
  bool waiting() const noexcept { return waiting_; }
  // After a ReadBlock that stopped with `waiting()`: waits up to
  // `milliseconds` for the input to have more to give, or to end; false
  // when it still has nothing. True at once after any other ReadBlock.
  bool WaitForMore(int milliseconds) const;

  // The bytes read so far; any thread may ask.
  std::uint64_t bytes_read() const noexcept {
    return bytes_read_.load(std::memory_order_relaxed);
  }

  // From now on hands runs of whole lines that writing their items back
  // with `line_end` would leave unchanged to `run` (see
  // ListFileReader::PassRunsTo).
  void PassRunsTo(std::string_view line_end, ListFileReader::RunFunction run);

  static constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
  static constexpr ItemList::Index kBlockItems = 16384;

 private:
  struct Input {
    std::string path;
    int fd = -1;  // held from Check to the read: a pipe or a device
    bool regular = false;
    std::uint64_t size = 0;
  };
  void Open(Input& input);
  // One read into the reader; false at the end of the input.
  bool ReadSome(Input& input);
  void Close(Input& input);

  std::vector<Input> inputs_;
  FieldSplit split_;
  std::size_t current_ = 0;
  std::unique_ptr<ListFileReader> reader_;
  ItemList* list_ = nullptr;  // the list reader_ appends to
  std::string_view pass_line_end_;
  ListFileReader::RunFunction pass_run_;
  std::size_t passed_ = 0;  // bytes handed on as runs in this block
  bool waiting_ = false;
  std::atomic<std::uint64_t> bytes_read_{0};
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_INPUTS_H_
