// The one pipeline behind karvello-cli: a job, described as plain data, runs
// from its inputs to its output in whichever way its operation and its size
// allow, and every way writes the same bytes as the run in memory.
//
//   - Streamed: cat and the filters (Stream::kCopy, kPerItem) hold one block
//     of items at a time (Inputs.h) and write each block as it goes.
//   - Streamed past a set: dedupe remembers the key of each first copy,
//     subtract and keep-matches the keys of OTHER, in a TextSet, and each
//     writes items as they come. With a second CPU (UsableCpus), the
//     blocks are read, keyed and hashed on a thread of their own, a block
//     ahead of the set, which also faults in the set's fresh pages
//     (ReadAhead.h).
//   - In memory: remove-all-dupes, keep-dupes, dedupe --count and dedupe
//     --keep-last need the whole list; it is read into memory while it fits
//     the budget.
//   - Reordered: sort and reverse (Stream::kMergedRuns, kRunsBackwards)
//     hold the list in memory while it fits the budget; past it, in runs
//     of that size, each spilled in its order and then merged by key, or
//     read back last first (SortedRuns.h).
//   - In parts: past the budget, the items are split by hash into spill
//     files on disk, each part is worked on in memory and the survivors are
//     merged back into their order (PartitionedRun.h, SpillFile.h). A set
//     that outgrows the budget hands over to this mode mid-stream.
//
// Every input is checked, by opening it, before anything is written; inputs
// are then read one at a time (Inputs.h). The result goes to standard output
// or, through the window's safe replace (ListFileWriter.h), to OUT, which is
// replaced only by a complete result. Every failure comes back as a Status
// (Status.h).
//
//   Job job{.operation = FindOperation("dedupe"), .inputs = {"a.txt"}};
//   Counts counts;
//   Status status = Run(job, counts);

#ifndef KARVELLO_PIPELINE_PIPELINE_H_
#define KARVELLO_PIPELINE_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "listfiles/ItemWriter.h"
#include "listfiles/ListFileReader.h"
#include "lists/ItemKey.h"
#include "lists/Operations.h"
#include "status/Status.h"

namespace karvello {

// Whether a run shows its progress line (Progress.h).
enum class ShowProgress : std::uint8_t {
  kOnTerminal,  // when standard error is a terminal and the result goes
                // elsewhere
  kAlways,
  kNever,
};

struct Job {
  const Operation* operation = &OperationOf(Op::kCat);
  std::string search;  // STRING, for an operation that takes one
  std::string other;   // OTHER's path, for an operation that takes one
  std::vector<std::string> inputs;  // kStdin is standard input; none too
  std::string output;               // empty for standard output
  KeyRules keys;
  // STRING is a regular expression (RegexPattern.h).
  bool regex = false;
  // The last item of each key stays instead of the first (an operation of
  // Stream::kFirstCopies only). Not streamed.
  bool keep_last = false;
  FieldSplit split = FieldSplit::kCommasAndLines;
  std::string_view line_end = kCrLf;
  // Each item that stays followed by a tab and the number of items with its
  // key (an operation that keeps one copy of each key only). Not streamed:
  // the counts are known only at the end.
  bool count_copies = false;
  // For an operation that takes them (see Choices): the greatest key
  // first, and keys compared by their runs of digits.
  bool descending = false;
  bool natural = false;
  ShowProgress progress = ShowProgress::kOnTerminal;
  // The memory the lists may take, in bytes; 0 for DefaultMemoryBudget().
  // Less than kSmallestBudget counts as kSmallestBudget.
  std::size_t budget = 0;
  std::string temp_dir;  // for spill files; empty for DefaultTempDir()
};

struct Counts {
  std::uint64_t read = 0;     // items of the inputs, not of OTHER
  std::uint64_t written = 0;  // items written
};

// Runs `job`. Nothing is written when an input cannot be read or the output
// cannot be used; after a read that fails part-way through a streamed input
// the items before it may have reached standard output, never OUT.
Status Run(const Job& job, Counts& counts);

// The least budget the pipeline keeps to: below it the blocks, buffers and
// spill files that any run needs would not fit.
inline constexpr std::size_t kSmallestBudget = std::size_t{1} << 20;

// Reads a size such as 1048576, 64K, 512M or 2G (K, M, G and T are powers of
// 1024, either case). False for anything else, zero included.
[[nodiscard]] bool ParseMemorySize(std::string_view text, std::size_t& bytes);

// Half the memory available now (MemAvailable in /proc/meminfo, and what
// the process's memory cgroups have left, whichever is less), and at most
// a quarter of what an address-space limit leaves past the program's own
// mappings; 1 GiB when none is known; never under kSmallestBudget.
std::size_t DefaultMemoryBudget();

// $TMPDIR when it is set and not empty, else /tmp.
std::string DefaultTempDir();

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_PIPELINE_H_
