// Runs a list operation over a list too large for memory, part by part.
//
// The items are split by a hash of their bytes into parts, each written with
// its items' positions to a spill file (see SpillFile.h). Equal items always
// land in the same part, so an operation that decides about an item only
// from the items equal to it leaves, part by part, exactly the items it
// leaves on the whole list: RemoveDupesExceptFirst, RemoveAllDupes, and, with
// the other list split by the same hash, SubtractList and KeepOnlyMatches.
// Each part is loaded into an ItemList, the operation marks the items it
// removes, and the surviving items of all parts are merged back into their
// original order. A part that is still larger than the memory allows is
// split again, by a hash salted anew at every depth; one that no split makes
// smaller, being copies of a few keys, is worked on by its distinct keys,
// which requires of the operation that it decide about an item from its key
// and its place among its key's items alone (the first, the last, or one
// between, all of which it treats alike). Every operation of the table
// does, also when it compares keys (see ItemKey.h) and the items are split
// by their keys (Settings::keys): items with equal keys then share a part.
// Memory stays near Settings::part_bytes whatever the input: the survivors
// are merged back a bounded number of parts at a time.
//
//   PartitionedRun run({.temp_dir = "/tmp", .part_bytes = 256 << 20});
//   for (std::string_view item : items) run.Add(item);
//   run.Finish([](const ItemList& part, const ItemList&,
//                 std::span<std::uint8_t> marks) {
//                MarkDupesExceptFirst(part, marks);
//              },
//              [&](std::string_view item, std::uint64_t) { Write(item); });
//
// Every spill file is unnamed, so none is left behind however the run ends.
// A spill file that cannot be created, written or read throws StatusError.

#ifndef KARVELLO_PIPELINE_PARTITIONEDRUN_H_
#define KARVELLO_PIPELINE_PARTITIONEDRUN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"
#include "pipeline/SpillFile.h"

namespace karvello {

class PartitionedRun {
 public:
  struct Settings {
    // The folder for the spill files.
    std::string temp_dir;
    // The largest part, in spill-file bytes (each item's bytes plus 12),
    // that is worked on in memory.
    std::size_t part_bytes = std::size_t{256} << 20;
    // The size of the whole input when known, 0 when not: it sets how many
    // parts the first split makes.
    std::uint64_t expected_bytes = 0;
    // Items split by the hash of their keys under these rules, so that
    // items with equal keys share a part, for an operation that compares
    // keys: by their bytes, as when exact. The items of the other list are
    // keys themselves: split by their keys under keys.ForKeys().
    KeyRules keys = {};
    // Counts the copies of each key: a survivor that is the first item of
    // its key (the last with keep_last) reaches Emit with the number of
    // items of the whole list that share that key, itself included; any
    // other survivor with 0. For an operation that keeps one item of each
    // key, which then writes each text with its count.
    bool count_copies = false;
    bool keep_last = false;
  };

  // Sets marks[i] to 1 for each item i of `part` that the operation removes
  // and to 0 for the others, deciding about an item from its key and its
  // place among its key's items alone; `other` is the matching part of the
  // other list (empty when there is none). Both are only read.
  using PartOperation =
      std::function<void(const ItemList& part, const ItemList& other,
                         std::span<std::uint8_t> marks)>;
  // Receives each surviving item, in the order the items were added, with
  // its copies when Settings::count_copies is set (0 when not).
  using Emit = std::function<void(std::string_view item, std::uint64_t copies)>;

  explicit PartitionedRun(const Settings& settings);
  ~PartitionedRun();
  PartitionedRun(const PartitionedRun&) = delete;
  PartitionedRun& operator=(const PartitionedRun&) = delete;

  // Appends `item` to the list that the operation edits.
  void Add(std::string_view item);
  // Appends `item` to the other list, which the operation only reads.
  void AddOther(std::string_view item);

  // Runs `operation` on every part and passes the survivors to `emit` in
  // their original order. Call once, after the last Add.
  void Finish(const PartOperation& operation, const Emit& emit);

  // A test hook: how many parts no split made small enough, which were
  // worked on by their distinct keys.
  std::size_t PartsByKeysForTesting() const noexcept { return parts_by_keys_; }

 private:
  class Split;
  struct Run {
    std::uint64_t begin, end;  // of its survivors in results_
  };

  void Process(SpillFile list, SpillFile* other, int depth,
               const PartOperation& operation);
  void Work(SpillFile& list, SpillFile* other, const PartOperation& operation);
  void WorkOnCopies(SpillFile& list, SpillFile* other,
                    const PartOperation& operation);
  // Records a survivor of a part for the merge.
  void Keep(std::uint64_t position, std::string_view text,
            std::uint64_t copies);
  void Merge(const Emit& emit);
  std::size_t BufferBytes(std::size_t files) const;

  Settings settings_;
  std::unique_ptr<Split> first_;
  SpillFile results_;
  std::string record_;  // a survivor with its copies in front, for results_
  std::vector<Run> runs_;
  std::uint64_t next_position_ = 0;
  std::size_t parts_by_keys_ = 0;
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_PARTITIONEDRUN_H_
