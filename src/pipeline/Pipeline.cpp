#include "pipeline/Pipeline.h"

#include <unistd.h>  // STDIN_FILENO and its kin; the calls go through System.h

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "listfiles/ListFileWriter.h"
#include "lists/TextSet.h"
#include "lists/Threads.h"
#include "pipeline/Inputs.h"
#include "pipeline/PartitionedRun.h"
#include "pipeline/Progress.h"
#include "pipeline/ReadAhead.h"
#include "pipeline/RegexPattern.h"
#include "pipeline/SortedRuns.h"
#include "pipeline/System.h"

namespace karvello {

namespace {

// What a text costs in a TextSet besides its bytes: its length, and its
// share of a table kept at most 70% full.
constexpr std::uint64_t kSetEntryBytes = 28;

// What the run in memory of `list` needs at most: the list, its keys, and
// the tables and marks of the operation, which for copies of one text come
// to 74 bytes an item (measured with remove-all-dupes on empty items); to
// keep the last copies, the keys once more, read backwards.
std::uint64_t InMemoryNeed(const ItemList& list, const Choices& choices) {
  const auto items = static_cast<std::uint64_t>(list.ListCount());
  const std::uint64_t text = list.TextBytes();
  const std::uint64_t need =
      choices.keys.Exact() ? 2 * text + 80 * items : 3 * text + 96 * items;
  return choices.keep_last ? need + text + 16 * items : need;
}

// Thrown out of a body of Produce once the output has failed, so that
// nothing more is read for it.
struct OutputFailed {};

// What dedupe --count writes for `item`, the first of `copies` items with
// its key: "Anna", 2 --> "Anna<TAB>2".
void CountedLine(std::string_view item, std::uint64_t copies,
                 std::string& line) {
  line.assign(item).append("\t").append(std::to_string(copies));
}

// `op` with --count in memory: each item that stays with its count.
void WithCounts(const Operation& op, const Choices& choices, ItemList& list) {
  const std::vector<std::uint64_t> counts = CopiesOfKept(choices, list);
  std::vector<std::uint8_t> marks(counts.size());
  Mark(op, choices, list, {}, ItemList(), marks);
  ItemList counted;
  std::string line;
  for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
    if (marks[static_cast<std::size_t>(i)] != 0) continue;
    CountedLine(list.UncheckedItem(i), counts[static_cast<std::size_t>(i)],
                line);
    counted.AddItem(line);
  }
  list = std::move(counted);
}

// The descriptor the result goes through as it is produced: standard
// output, the descriptor that OUT names (/dev/fd/3), or standard output or
// error when OUT is their file (the writer writes through all of these
// rather than replace). The regular file there, if any, must not be an
// input.
std::optional<FileId> WrittenThrough(const std::string& output) {
  if (output.empty()) return RegularFileOf(STDOUT_FILENO);
  if (const int fd = OwnDescriptorNamed(output); fd >= 0)
    return RegularFileOf(fd);
  const std::optional<FileId> named = RegularFileNamed(output);
  if (!named) return std::nullopt;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (RegularFileOf(fd) == named) return named;
  }
  return std::nullopt;
}

class Runner {
 public:
  Runner(const Job& job, Counts& counts)
      : job_(job),
        op_(*job.operation),
        choices_{.keys = job.keys,
                 .keep_last = job.keep_last,
                 .descending = job.descending,
                 .natural = job.natural},
        counts_(counts),
        budget_(std::max(job.budget != 0 ? job.budget : DefaultMemoryBudget(),
                         kSmallestBudget)),
        inputs_(job.inputs, job.split) {
    if (op_.argument == Argument::kOther) {
      other_.emplace(std::vector<std::string>{job.other}, job.split);
    }
  }

  Status Run() {
    if (job_.regex && op_.argument == Argument::kString) {
      Status status = RegexPattern::Compile(job_.search, job_.keys, pattern_);
      if (!status.ok()) return status;
      choices_.pattern = pattern_.get();
    }
    if (Status status = Check(); !status.ok()) return status;
    StartProgress();
    switch (op_.stream) {
      case Stream::kCopy:
      case Stream::kPerItem:
        return Produce([this](ItemWriter& out) { StreamBlocks(out); });
      case Stream::kFirstCopies:
        if (job_.count_copies || job_.keep_last) return Whole();
        return StreamPastSet();
      case Stream::kNotInOther:
      case Stream::kInOther:
        return StreamPastSet();
      case Stream::kWhole:
        break;
      case Stream::kMergedRuns:
      case Stream::kRunsBackwards:
        return Reordered();
    }
    return Whole();
  }

 private:
  // Every input, and standard output when the result goes there, before
  // anything is read.
  Status Check() {
    Status status;
    // A descriptor that is not open now must not become one of the run's
    // own files (a spill file) by the time the result is written.
    if (job_.output.empty()) {
      const int error = UsableAs(STDOUT_FILENO, true);
      if (error != 0) status.Also(Status::Write({}, error));
    } else if (const int fd = OwnDescriptorNamed(job_.output); fd >= 0) {
      const int error = UsableAs(fd, true);
      if (error != 0) status.Also(Status::Write(job_.output, error));
    }
    const std::optional<FileId> output = WrittenThrough(job_.output);
    if (other_) status.Also(other_->Check(output));
    status.Also(inputs_.Check(output));
    return status;
  }

  void StartProgress() {
    const bool terminal = IsTerminal(STDERR_FILENO) &&
                          (!job_.output.empty() || !IsTerminal(STDOUT_FILENO));
    // Not even when asked for: the line would fall among the result.
    if (job_.progress == ShowProgress::kNever ||
        (job_.progress == ShowProgress::kOnTerminal && !terminal) ||
        SharesStandardError(job_.output)) {
      return;
    }
    std::uint64_t total = inputs_.known_bytes().value_or(0);
    if (other_ && total != 0) total += other_->known_bytes().value_or(0);
    if (other_ && !other_->known_bytes()) total = 0;
    progress_ = std::make_unique<Progress>(STDERR_FILENO, total, [this] {
      return inputs_.bytes_read() + (other_ ? other_->bytes_read() : 0);
    });
  }

  // Produces the result through `body` to standard output or, by a safe
  // replace, to OUT. A failure of `body` other than the output's own is
  // thrown on once OUT's temporary file is gone.
  Status Produce(const std::function<void(ItemWriter&)>& body) {
    std::exception_ptr failure;
    auto write = [&](int fd) -> int {
      ItemWriter out(fd, job_.line_end);
      try {
        body(out);
      } catch (const OutputFailed&) {
      } catch (...) {
        failure = std::current_exception();
        return EIO;
      }
      const int error = out.Flush();
      counts_.written = out.items();
      return error;
    };
    const int error = job_.output.empty()
                          ? write(STDOUT_FILENO)
                          : ReplaceWithOutput(job_.output, write);
    if (failure) std::rethrow_exception(failure);
    if (error != 0) return Status::Write(job_.output, error);
    return Status();
  }

  // After each block: what is written reaches a reader that waits for it
  // while the input waits too, and a failed output stops the reading.
  static void Passed(ItemWriter& out, bool waiting) {
    if (waiting) static_cast<void>(out.Flush());
    if (out.error() != 0) throw OutputFailed{};
  }

  static void StartBlock(ItemList& block) {
    block.Clear();
    // Room for a whole block at once keeps the list's storage in the
    // allocator's reuse from block to block.
    block.Reserve(Inputs::kBlockBytes / 16, Inputs::kBlockBytes + (64 << 10));
  }

  void StreamBlocks(ItemWriter& out) {
    ItemList block;
    const ItemList none;
    auto write_block = [&] {
      counts_.read += static_cast<std::uint64_t>(block.ListCount());
      Apply(op_, choices_, block, job_.search, none);
      out.Write(block);
      StartBlock(block);
    };
    // Runs of lines pass as they are; NUL-ended items always go one by one.
    if (op_.stream == Stream::kCopy && job_.split != FieldSplit::kNul) {
      inputs_.PassRunsTo(job_.line_end,
                         [&](std::string_view bytes, std::size_t items) {
                           if (block.ListCount() != 0) write_block();
                           counts_.read += items;
                           out.WriteLines(bytes, items);
                         });
    }
    StartBlock(block);
    while (inputs_.ReadBlock(block)) {
      write_block();
      Passed(out, inputs_.waiting());
    }
  }

  // The set of first copies seen, or of OTHER's texts, by their keys.
  struct KeySet {
    TextSet texts;
    std::uint64_t bytes = 0;
    std::uintptr_t prefaulted = 0;  // where the room last faulted in ends

    // The marks of the items of `block`: 1 when item i's key was added to
    // the set or, with `find`, is in it.
    void Mark(KeyedBlock& block, bool find) {
      const ItemList& keys = block.keys();
      block.marks.resize(static_cast<std::size_t>(keys.ListCount()));
      std::uint8_t* marks = block.marks.data();
      const std::uint64_t* hashes = block.hashes();
      if (find) {
        if (hashes != nullptr) {
          texts.FindAll(keys, hashes, marks);
        } else {
          texts.FindAll(keys, marks);
        }
        return;
      }
      if (hashes != nullptr) {
        texts.InsertAll(keys, hashes, marks);
      } else {
        texts.InsertAll(keys, marks);
      }
      for (ItemList::Index i = 0; i < keys.ListCount(); ++i) {
        if (marks[static_cast<std::size_t>(i)] != 0) {
          bytes += keys.UncheckedItem(i).size() + kSetEntryBytes;
        }
      }
    }

    // The fresh pages that the next blocks' new texts go to are faulted in
    // on the reading thread, which has time to spare: faulted in as they
    // are first written, they cost the set's thread about a sixth of its
    // time. Up to 2 MiB ahead and no more than a quarter of what the texts
    // take, so that the peak grows by little, and not at all for a small
    // set.
    void PrefaultAhead(ReadAhead& blocks) {
      constexpr std::size_t kMostAhead = std::size_t{2} << 20;
      const std::size_t ahead =
          std::min<std::size_t>(kMostAhead, texts.TextBytes() / 4);
      if (ahead < (std::size_t{1} << 20)) return;
      const std::span<char> room = texts.RoomAhead(ahead);
      const auto begin = reinterpret_cast<std::uintptr_t>(room.data());
      const std::uintptr_t end = begin + ahead;
      const bool within = prefaulted >= begin && prefaulted <= end;
      // Again once half of what was faulted in is used.
      if (within && prefaulted - begin >= ahead / 2) return;
      const std::uintptr_t from = within ? prefaulted : begin;
      blocks.Prefault(room.subspan(from - begin, end - from));
      prefaulted = end;
    }
  };

  // Blocks of OTHER go into the set, and so do the inputs' for dedupe; for
  // subtract and keep-matches the inputs' are looked up in it.
  bool Finds(const KeyedBlock& block) const {
    return !block.other() && op_.stream != Stream::kFirstCopies;
  }

  // The blocks are read on a thread of their own when there is a second
  // CPU for it. A set that outgrows the budget stops the keying; the blocks
  // keyed before still go through the set, those after it through parts.
  Status StreamPastSet() {
    KeySet set;
    ReadAhead blocks(other_ ? &*other_ : nullptr, inputs_, job_.keys,
                     set.texts.hasher(), UsableCpus() >= 2);
    bool stopped = false;
    auto insert = [&](KeyedBlock& block) {
      set.Mark(block, Finds(block));
      // Not for OTHER, whose set is built before anything is written and
      // would keep the room faulted in past its end unused.
      if (!block.other()) set.PrefaultAhead(blocks);
      if (set.bytes > budget_ && !stopped) {
        blocks.StopKeying();
        stopped = true;
      }
    };
    KeyedBlock* block = blocks.Next();
    for (; block != nullptr && block->other() && !block->unkeyed();
         block = blocks.Next()) {
      insert(*block);
    }
    if (stopped) return OtherInParts(set, blocks, block);
    const bool wanted = op_.stream != Stream::kNotInOther;
    return Produce([&](ItemWriter& out) {
      for (; block != nullptr && !block->unkeyed(); block = blocks.Next()) {
        const ItemList& items = block->items();
        counts_.read += static_cast<std::uint64_t>(items.ListCount());
        if (Finds(*block)) {
          set.Mark(*block, true);
        } else {
          insert(*block);
        }
        out.Write(items, block->marks.data(), wanted);
        Passed(out, block->waiting());
      }
      if (block != nullptr) FirstCopiesInParts(out, set, blocks, block);
    });
  }

  // The set of first copies outgrew the budget: `block` and the rest go
  // through parts, where the keys already seen are an OTHER to subtract
  // before the first copies are kept.
  void FirstCopiesInParts(ItemWriter& out, KeySet& set, ReadAhead& blocks,
                          KeyedBlock* block) {
    StartParts(&set);
    AddBlocksToParts(blocks, block);
    // The items of a key are all seen or none is, so the first of a key
    // not seen is its first in the part too.
    FinishParts(out, [this](const ItemList& part, const ItemList& seen,
                            std::span<std::uint8_t> marks) {
      Mark(OperationOf(Op::kSubtract), choices_, part, {}, seen, marks);
      std::vector<std::uint8_t> later(marks.size());
      Mark(op_, choices_, part, {}, ItemList(), later);
      for (std::size_t i = 0; i < marks.size(); ++i) marks[i] |= later[i];
    });
  }

  // OTHER outgrew the budget as a set: everything from `block` on goes
  // through parts.
  Status OtherInParts(KeySet& set, ReadAhead& blocks, KeyedBlock* block) {
    StartParts(&set);
    AddBlocksToParts(blocks, block);
    return Produce(
        [this](ItemWriter& out) { FinishParts(out, PartOperation()); });
  }

  // What needs the whole list: in memory while the list fits the budget,
  // in parts past it.
  Status Whole() {
    ItemList list;
    const std::optional<std::uint64_t> known = inputs_.known_bytes();
    bool parts = known && *known > budget_;
    while (!parts && inputs_.ReadBlock(list)) {
      parts = InMemoryNeed(list, choices_) > budget_;
    }
    if (!parts) {
      counts_.read = static_cast<std::uint64_t>(list.ListCount());
      if (job_.count_copies) {
        WithCounts(op_, choices_, list);
      } else {
        Apply(op_, choices_, list, job_.search, ItemList());
      }
      return Produce([&list](ItemWriter& out) { out.Write(list); });
    }
    StartParts(nullptr);
    AddInputsToParts(list);
    return Produce(
        [this](ItemWriter& out) { FinishParts(out, PartOperation()); });
  }

  // An operation that reorders: in memory while the list fits the budget,
  // else in runs of that size, each spilled in its order (SortedRuns.h).
  Status Reordered() {
    // Of an input whose size is known, a run holds at most half (and at
    // least 64 MiB): sorting runs of that size and merging them costs no
    // more time than sorting the whole at once (bench/peers.sh), and keeps
    // the peak below the input's size.
    constexpr std::uint64_t kLeastRun = std::uint64_t{64} << 20;
    const std::optional<std::uint64_t> known = inputs_.known_bytes();
    const std::uint64_t run_budget =
        known
            ? std::min<std::uint64_t>(budget_, std::max(kLeastRun, *known / 2))
            : budget_;
    ItemList list;
    std::unique_ptr<SortedRuns> runs;
    while (inputs_.ReadBlock(list)) {
      if (InMemoryNeed(list, choices_) <= run_budget) continue;
      if (!runs) {
        runs = std::make_unique<SortedRuns>(
            op_, choices_,
            SortedRuns::Settings{
                .temp_dir =
                    job_.temp_dir.empty() ? DefaultTempDir() : job_.temp_dir,
                .merge_bytes = static_cast<std::size_t>(run_budget / 2)});
      }
      counts_.read += static_cast<std::uint64_t>(list.ListCount());
      runs->AddRun(list);
    }
    counts_.read += static_cast<std::uint64_t>(list.ListCount());
    if (!runs) {
      // Written in their new order straight from where they lie: no
      // second index is built.
      const std::vector<ItemList::Index> order = Order(op_, choices_, list);
      return Produce([&](ItemWriter& out) {
        for (const ItemList::Index i : order) out.Write(list.UncheckedItem(i));
      });
    }
    runs->AddRun(list);
    return Produce([&](ItemWriter& out) {
      if (progress_) progress_->SetStage("working through the runs on disk");
      runs->Finish([&out](std::string_view item) {
        out.Write(item);
        if (out.error() != 0) throw OutputFailed{};
      });
    });
  }

  PartitionedRun::PartOperation PartOperation() const {
    return [this](const ItemList& part, const ItemList& other,
                  std::span<std::uint8_t> marks) {
      Mark(op_, choices_, part, job_.search, other, marks);
    };
  }

  // Starts the run in parts, with the keys of `set`, if any, as the first
  // of OTHER, and frees the set.
  void StartParts(KeySet* set) {
    std::uint64_t expected = inputs_.known_bytes().value_or(0);
    if (other_) expected += other_->known_bytes().value_or(0);
    run_ = std::make_unique<PartitionedRun>(PartitionedRun::Settings{
        .temp_dir = job_.temp_dir.empty() ? DefaultTempDir() : job_.temp_dir,
        .part_bytes = budget_ / 3,
        .expected_bytes = expected,
        .keys = job_.keys,
        .count_copies = job_.count_copies,
        .keep_last = job_.keep_last});
    if (set == nullptr) return;
    set->texts.ForEach([this](std::string_view key) { run_->AddOther(key); });
    *set = KeySet();
  }

  // Adds the items of `block`, if any, and of the blocks not yet read,
  // OTHER's to the other list.
  void AddBlocksToParts(ReadAhead& blocks, KeyedBlock* block) {
    for (; block != nullptr; block = blocks.Next()) {
      const ItemList& items = block->items();
      if (!block->other()) {
        counts_.read += static_cast<std::uint64_t>(items.ListCount());
      }
      for (ItemList::Index i = 0; i < items.ListCount(); ++i) {
        if (block->other()) {
          run_->AddOther(items.UncheckedItem(i));
        } else {
          run_->Add(items.UncheckedItem(i));
        }
      }
    }
  }

  // Adds the items of `block`, then those of every input not yet read.
  void AddInputsToParts(ItemList& block) {
    do {
      counts_.read += static_cast<std::uint64_t>(block.ListCount());
      for (ItemList::Index i = 0; i < block.ListCount(); ++i) {
        run_->Add(block.UncheckedItem(i));
      }
      StartBlock(block);
    } while (inputs_.ReadBlock(block));
  }

  void FinishParts(ItemWriter& out,
                   const PartitionedRun::PartOperation& operation) {
    if (progress_) progress_->SetStage("working through the parts on disk");
    std::string line;
    run_->Finish(operation, [&](std::string_view item, std::uint64_t copies) {
      if (job_.count_copies) {
        CountedLine(item, copies, line);
        item = line;
      }
      out.Write(item);
      if (out.error() != 0) throw OutputFailed{};
    });
  }

  const Job& job_;
  const Operation& op_;
  std::unique_ptr<RegexPattern> pattern_;
  Choices choices_;
  Counts& counts_;
  const std::size_t budget_;
  Inputs inputs_;
  std::optional<Inputs> other_;
  std::unique_ptr<PartitionedRun> run_;
  // Last, so that the line is cleared before anything else goes.
  std::unique_ptr<Progress> progress_;
};

}  // namespace

Status Run(const Job& job, Counts& counts) {
  try {
    return Runner(job, counts).Run();
  } catch (const StatusError& e) {
    return e.status;
  } catch (const std::bad_alloc&) {
    return Status({}, {}, "not enough memory");
  } catch (const std::length_error& e) {
    return Status({}, {}, e.what());
  }
}

}  // namespace karvello
