// Runs an operation that reorders (Kind::kReorders: sort, reverse) over a
// list too large for memory, in runs.
//
// The items come in as runs, each a stretch of the list in its order that
// fits in memory. Each run is put in its order by the operation (Order in
// Operations.h) and written to a spill file. Finish then merges the sorted
// runs, a bounded number at a time through buffers of bounded size, taking
// on equal keys the item of the earlier run first, so that the merge is as
// stable as the sort of each run; for reverse, the runs are read back last
// first, each reversed in memory. Either way the result is byte for byte
// what the operation writes when the whole list fits in memory.
//
//   SortedRuns runs(OperationOf(Op::kSort), {}, {.temp_dir = "/tmp"});
//   for (ItemList& run : runs_of_the_input) runs.AddRun(run);
//   runs.Finish([&](std::string_view item) { Write(item); });
//
// The spill file is unnamed, so none is left behind however the run ends.
// A spill file that cannot be created, written or read throws StatusError.

#ifndef KARVELLO_PIPELINE_SORTEDRUNS_H_
#define KARVELLO_PIPELINE_SORTEDRUNS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lists/ItemList.h"
#include "lists/Operations.h"
#include "pipeline/SpillFile.h"

namespace karvello {

class SortedRuns {
 public:
  struct Settings {
    // The folder for the spill file.
    std::string temp_dir;
    // The memory the merge's buffers may take together.
    std::size_t merge_bytes = std::size_t{64} << 20;
  };
  using Emit = std::function<void(std::string_view item)>;

  // `op` must reorder; `choices` are those of the run.
  SortedRuns(const Operation& op, const Choices& choices,
             const Settings& settings);
  ~SortedRuns();
  SortedRuns(const SortedRuns&) = delete;
  SortedRuns& operator=(const SortedRuns&) = delete;

  // Puts `run`, the next stretch of the list, in its order and spills it;
  // `run` is left empty.
  void AddRun(ItemList& run);

  // Passes every item to `emit` in the operation's order. Call once, after
  // the last run.
  void Finish(const Emit& emit);

  // A test hook: how many merge passes the last Finish made.
  int MergePassesForTesting() const noexcept { return passes_; }

 private:
  // A run's records in a spill file.
  struct Span {
    std::uint64_t begin, end;
  };
  // Merges `spans` of `from` and passes the records, in order, to `put`.
  void Merge(const SpillFile& from, const std::vector<Span>& spans,
             const std::function<void(std::uint64_t key_size,
                                      std::string_view record)>& put) const;
  void FinishReversed(const Emit& emit);
  std::size_t FanIn() const;

  const Operation& op_;
  Choices choices_;
  Settings settings_;
  bool keyed_;
  SpillFile runs_;
  std::vector<Span> spans_;
  int passes_ = 0;
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_SORTEDRUNS_H_
