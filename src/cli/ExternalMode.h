// karvello-cli's streaming and external modes: lists larger than the memory
// allows, and commands that need not hold a whole list.
//
// The filters (and cat) always stream, keeping one block of items in memory.
// When the inputs fit in a memory budget, dedupe remembers only the first
// copy of each text and subtract and keep-matches only the texts of OTHER,
// and each writes items as they come. Past the budget, the operations that
// compare items with each other split the items by hash
// into spill files in a temporary folder, work on each part in memory and
// merge the survivors back into their original order. The output is byte for
// byte what the in-memory run writes. Input of unknown size (a pipe) is read
// into memory until it reaches the budget and switches to the external mode
// only then.

#ifndef KARVELLO_CLI_EXTERNALMODE_H_
#define KARVELLO_CLI_EXTERNALMODE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listfiles/ListFileReader.h"
#include "lists/ItemKey.h"
#include "lists/ItemList.h"

namespace karvello {

// Reads a size such as 1048576, 64K, 512M or 2G (K, M, G and T are powers of
// 1024, either case). False for anything else, zero included.
[[nodiscard]] bool ParseMemorySize(std::string_view text, std::size_t& bytes);

// Half the memory available now (MemAvailable in /proc/meminfo), and at most
// a quarter of what an address-space limit leaves past the program's own
// mappings (but not under 1 MiB); 1 GiB when neither is known.
std::size_t DefaultMemoryBudget();

// The message for output that could not be written: to OUT, or to standard
// output when `out` is empty. `error` is the errno value.
//   "Cannot write to standard output: No space left on device"
std::string OutputErrorText(const std::string& out, int error);

// $TMPDIR when it is set and not empty, else /tmp.
std::string DefaultTempDir();

// True when every input's size is known (regular files; standard input when
// it is one) and the in-memory run of all of them fits in `budget` bytes. A
// missing input counts as empty: the in-memory run reports it.
bool InputsFitInMemory(const std::vector<std::string>& paths,
                       std::size_t budget);

struct ItemCounts {
  std::uint64_t read = 0;
  std::uint64_t written = 0;
};

struct ExternalJob {
  std::vector<std::string> files;    // "-" is standard input; none means it
  std::optional<std::string> other;  // the list only read, for two-list work
  // How the command streams its input rather than holding it whole.
  enum class Stream {
    kNo,           // it needs the whole list (or, past the budget, parts)
    kPerItem,      // each item stays or goes on its own text alone
    kFirstCopies,  // the first copy of each text stays
    kNotInOther,   // the items whose text is not in the other list stay
    kInOther,      // the items whose text is in the other list stay
  };
  Stream stream = Stream::kNo;
  // The operation keeps every item as it is (a copy), so runs of lines that
  // already end in `line_end` go to the output unparsed.
  bool keeps_every_item = false;
  std::size_t budget = 0;
  std::string temp_dir;
  std::string out;  // empty for standard output
  // The message for an input that cannot be read: its path ("-" for
  // standard input) and the errno value.
  std::function<std::string(const std::string& path, int error)>
      load_error_text;
  std::string line_end;
  FieldSplit split = FieldSplit::kCommasAndLines;
  // What items are compared by; `operation` and `in_memory` compare the
  // same way.
  KeyRules keys;
  // dedupe --count: each first copy is written with the number of items
  // that share its key (see CountedItem). Never streamed: the counts are
  // only known at the end.
  bool count_copies = false;
  // The operation on one part, or on one block when `per_item`.
  std::function<void(ItemList& list, const ItemList& other)> operation;
  // Runs the operation on lists that turned out to fit in memory and writes
  // the result as the in-memory run does; returns the exit status.
  std::function<int(ItemList& list, const ItemList& other)> in_memory;
};

// Runs `job` with its inputs read in blocks: streaming where the command
// allows, in memory while the inputs fit the budget, externally once they do
// not. Every input is opened before anything is written, and any that is
// missing or unreadable is reported and stops the run with nothing written;
// only a read that fails part-way through a streaming run to standard
// output leaves part of a result there. Reports
// problems on standard error as the in-memory run does, plus a full or unusable
// temporary folder; OUT is replaced only by a complete result. Returns the exit
// status, and sets `counts` to the items read from the inputs (not from the
// other list) and written.
int RunExternal(const ExternalJob& job, ItemCounts& counts);

}  // namespace karvello

#endif  // KARVELLO_CLI_EXTERNALMODE_H_
