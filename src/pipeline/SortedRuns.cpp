#include "pipeline/SortedRuns.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "lists/ItemKey.h"
#include "lists/Ordering.h"

namespace karvello {

namespace {

// The least buffer a run is read through while merging, and the buffer
// runs are written through.
constexpr std::size_t kLeastBuffer = std::size_t{64} << 10;
constexpr std::size_t kWriteBuffer = std::size_t{256} << 10;

// A record is an item, or with keys its key and then the item, the key's
// length standing where a spill record keeps a position.
std::string_view ItemOf(std::uint64_t key_size, std::string_view record) {
  return record.substr(static_cast<std::size_t>(key_size));
}
std::string_view KeyOf(std::uint64_t key_size, std::string_view record,
                       bool keyed) {
  return keyed ? record.substr(0, static_cast<std::size_t>(key_size)) : record;
}

}  // namespace

SortedRuns::SortedRuns(const Operation& op, const Choices& choices,
                       const Settings& settings)
    : op_(op),
      choices_(choices),
      settings_(settings),
      keyed_(op.takes.keys && !choices.keys.Exact()),
      runs_(settings.temp_dir, kWriteBuffer) {
  if (op.kind != Kind::kReorders) {
    throw std::invalid_argument("SortedRuns: " + std::string(op.name) +
                                " does not reorder");
  }
}

SortedRuns::~SortedRuns() = default;

void SortedRuns::AddRun(ItemList& run) {
  if (run.ListCount() == 0) return;
  const std::uint64_t begin = runs_.size();
  if (op_.stream == Stream::kRunsBackwards) {
    for (ItemList::Index i = 0; i < run.ListCount(); ++i) {
      runs_.Append(0, run.UncheckedItem(i));
    }
  } else {
    const ItemList keys = keyed_ ? KeysOf(run, choices_.keys) : ItemList();
    const std::vector<ItemList::Index> order =
        op_.order(keyed_ ? keys : run, choices_);
    std::string record;
    for (const ItemList::Index i : order) {
      if (!keyed_) {
        runs_.Append(0, run.UncheckedItem(i));
        continue;
      }
      const std::string_view key = keys.UncheckedItem(i);
      record.assign(key).append(run.UncheckedItem(i));
      runs_.Append(key.size(), record);
    }
  }
  spans_.push_back({begin, runs_.size()});
  run.Clear();
}

std::size_t SortedRuns::FanIn() const {
  return std::max<std::size_t>(2, settings_.merge_bytes / kLeastBuffer);
}

void SortedRuns::Merge(
    const SpillFile& from, const std::vector<Span>& spans,
    const std::function<void(std::uint64_t, std::string_view)>& put) const {
  struct Head {
    std::uint64_t key_size;
    std::string_view record;
    std::size_t run;
  };
  const std::size_t buffer =
      std::max(kLeastBuffer, settings_.merge_bytes / spans.size());
  std::vector<SpillReader> readers;
  readers.reserve(spans.size());
  std::vector<Head> heads;
  for (std::size_t r = 0; r < spans.size(); ++r) {
    readers.emplace_back(from, spans[r].begin, spans[r].end, buffer);
    Head head{0, {}, r};
    if (readers.back().Next(head.key_size, head.record)) heads.push_back(head);
  }
  const bool keyed = keyed_;
  const bool natural = choices_.natural && op_.takes.natural;
  const bool descending = choices_.descending && op_.takes.descending;
  // True when `a` goes after `b`: the heap's top is the next record. Equal
  // keys go in the order of their runs, which is the list's.
  const auto after = [=](const Head& a, const Head& b) {
    const std::string_view a_key = KeyOf(a.key_size, a.record, keyed);
    const std::string_view b_key = KeyOf(b.key_size, b.record, keyed);
    int order =
        natural ? CompareNatural(a_key, b_key) : CompareBytes(a_key, b_key);
    if (descending) order = -order;
    return order > 0 || (order == 0 && a.run > b.run);
  };
  std::make_heap(heads.begin(), heads.end(), after);
  while (!heads.empty()) {
    std::pop_heap(heads.begin(), heads.end(), after);
    Head& head = heads.back();
    put(head.key_size, head.record);
    if (readers[head.run].Next(head.key_size, head.record)) {
      std::push_heap(heads.begin(), heads.end(), after);
    } else {
      heads.pop_back();
    }
  }
}

void SortedRuns::FinishReversed(const Emit& emit) {
  ItemList run;
  for (auto span = spans_.rbegin(); span != spans_.rend(); ++span) {
    SpillReader reader(runs_, span->begin, span->end, kLeastBuffer);
    std::uint64_t unused;
    std::string_view item;
    while (reader.Next(unused, item)) run.AddItem(item);
    for (ItemList::Index i = run.ListCount(); i-- > 0;) {
      emit(run.UncheckedItem(i));
    }
    run.Clear();
  }
}

void SortedRuns::Finish(const Emit& emit) {
  runs_.Flush();
  passes_ = 0;
  if (op_.stream == Stream::kRunsBackwards) {
    FinishReversed(emit);
    return;
  }
  // Too many runs for one merge: merge them in groups into longer runs
  // first, as often as it takes.
  while (spans_.size() > FanIn()) {
    SpillFile merged(settings_.temp_dir, kWriteBuffer);
    std::vector<Span> spans;
    for (std::size_t first = 0; first < spans_.size(); first += FanIn()) {
      const std::vector<Span> group(
          spans_.begin() + static_cast<std::ptrdiff_t>(first),
          spans_.begin() + static_cast<std::ptrdiff_t>(
                               std::min(first + FanIn(), spans_.size())));
      const std::uint64_t begin = merged.size();
      Merge(runs_, group, [&](std::uint64_t key_size, std::string_view record) {
        merged.Append(key_size, record);
      });
      spans.push_back({begin, merged.size()});
    }
    merged.Flush();
    runs_ = std::move(merged);
    spans_ = std::move(spans);
    ++passes_;
  }
  ++passes_;
  Merge(runs_, spans_, [&](std::uint64_t key_size, std::string_view record) {
    emit(keyed_ ? ItemOf(key_size, record) : record);
  });
}

}  // namespace karvello
