#include "pipeline/PartitionedRun.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <queue>
#include <span>
#include <unordered_map>
#include <utility>

#include "lists/CopyCounts.h"
#include "lists/ItemHash.h"
#include "lists/Operations.h"

namespace karvello {

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr std::size_t kRecordHeader = 12;
constexpr std::size_t kMaxParts = 64;
constexpr std::size_t kUnknownSizeParts = 16;
// A part that is still too big after this many splits holds mostly items of
// a few keys, which no hash can tell apart; it is worked on by its distinct
// keys (see WorkOnCopies).
constexpr int kMaxDepth = 4;
// The least buffer a spill file is read or written through.
constexpr std::size_t kLeastBuffer = 4096;

std::size_t PartsFor(std::uint64_t bytes, std::size_t part_bytes) {
  // A quarter more than the even share, so that an unlucky hash seldom
  // leaves one part over the limit.
  const std::uint64_t want = bytes / part_bytes + bytes / part_bytes / 4 + 1;
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(want, 2, kMaxParts));
}

// The key of `text` under `keys`, in `scratch` when it differs from the
// text.
std::string_view KeyOf(std::string_view text, const KeyRules& keys,
                       std::string& scratch) {
  if (keys.Exact()) return text;
  scratch.clear();
  AppendKey(text, keys, scratch);
  return scratch;
}

}  // namespace

// One split of a list (and of the other list, when there is one) into parts
// by hash. Each depth of splitting mixes the hash with its own salt: the
// items of one part share their part number at the depth above, and reusing
// those bits would put them all in one part again.
class PartitionedRun::Split {
 public:
  Split(const std::string& folder, std::size_t count, int depth,
        std::size_t buffer_bytes, const KeyRules& keys)
      : folder_(folder),
        keys_(keys),
        other_keys_(keys.ForKeys()),
        count_(count),
        salt_(0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(depth + 1)),
        buffer_bytes_(buffer_bytes) {
    lists_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      lists_.emplace_back(folder, buffer_bytes);
    }
  }

  void Add(std::uint64_t position, std::string_view text) {
    lists_[PartOf(text, keys_)].Append(position, text);
  }
  void AddOther(std::string_view text) {
    if (others_.empty()) {
      others_.reserve(count_);
      for (std::size_t i = 0; i < count_; ++i) {
        others_.emplace_back(folder_, buffer_bytes_);
      }
    }
    others_[PartOf(text, other_keys_)].Append(0, text);
  }

  std::size_t count() const { return count_; }
  SpillFile& list(std::size_t i) { return lists_[i]; }
  std::optional<SpillFile> TakeOther(std::size_t i) {
    if (others_.empty()) return std::nullopt;
    return std::move(others_[i]);
  }

 private:
  std::size_t PartOf(std::string_view text, const KeyRules& keys) {
    const std::uint64_t mixed = FoldedMultiply(
        hash_(KeyOf(text, keys, key_)) ^ salt_, 0xc2b2ae3d27d4eb4fULL);
    return static_cast<std::size_t>(
        (static_cast<Uint128>(mixed) * count_) >> 64);
  }

  ItemHasher hash_;
  std::string folder_;
  KeyRules keys_;
  KeyRules other_keys_;
  std::string key_;
  std::size_t count_;
  std::uint64_t salt_;
  std::size_t buffer_bytes_;
  std::vector<SpillFile> lists_;
  std::vector<SpillFile> others_;
};

PartitionedRun::PartitionedRun(const Settings& settings)
    : settings_(settings), results_(settings.temp_dir, BufferBytes(1)) {
  if (settings_.part_bytes < kLeastBuffer) settings_.part_bytes = kLeastBuffer;
  const std::size_t count =
      settings_.expected_bytes != 0
          ? PartsFor(settings_.expected_bytes +
                         settings_.expected_bytes / 2,  // record headers
                     settings_.part_bytes)
          : kUnknownSizeParts;
  first_ = std::make_unique<Split>(settings_.temp_dir, count, 0,
                                   BufferBytes(count), settings_.keys);
}

PartitionedRun::~PartitionedRun() = default;

std::size_t PartitionedRun::BufferBytes(std::size_t files) const {
  // The write buffers of one split take an eighth of a part's memory.
  return std::clamp<std::size_t>(settings_.part_bytes / 8 / files, kLeastBuffer,
                                 std::size_t{256} << 10);
}

void PartitionedRun::Add(std::string_view item) {
  first_->Add(next_position_++, item);
}

void PartitionedRun::AddOther(std::string_view item) { first_->AddOther(item); }

void PartitionedRun::Finish(const PartOperation& operation, const Emit& emit) {
  std::unique_ptr<Split> split = std::move(first_);
  for (std::size_t i = 0; i < split->count(); ++i) {
    std::optional<SpillFile> other = split->TakeOther(i);
    Process(std::move(split->list(i)), other ? &*other : nullptr, 0, operation);
  }
  split.reset();
  results_.Flush();
  Merge(emit);
}

void PartitionedRun::Process(SpillFile list, SpillFile* other, int depth,
                             const PartOperation& operation) {
  list.Flush();
  if (other != nullptr) other->Flush();
  if (list.records() == 0) return;
  const std::uint64_t bytes =
      list.size() + (other != nullptr ? other->size() : 0);
  if (bytes <= settings_.part_bytes) {
    Work(list, other, operation);
    return;
  }
  if (depth >= kMaxDepth) {
    WorkOnCopies(list, other, operation);
    return;
  }
  const std::uint64_t records = list.records();
  const std::size_t count = PartsFor(bytes, settings_.part_bytes);
  Split split(settings_.temp_dir, count, depth + 1, BufferBytes(count),
              settings_.keys);
  ForEachRecord(list, BufferBytes(1),
                [&](std::uint64_t position, std::string_view text) {
                  split.Add(position, text);
                });
  if (other != nullptr) {
    ForEachRecord(
        *other, BufferBytes(1),
        [&](std::uint64_t, std::string_view text) { split.AddOther(text); });
  }
  // The parent's files go before the parts are worked on: the disk then
  // holds each item about twice at most.
  { SpillFile done = std::move(list); }
  if (other != nullptr) {
    SpillFile done = std::move(*other);
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::optional<SpillFile> sub_other = split.TakeOther(i);
    // A part that kept every item is copies of a key or two, which no
    // further split can tell apart.
    const bool kept_all = split.list(i).records() == records;
    Process(std::move(split.list(i)), sub_other ? &*sub_other : nullptr,
            kept_all ? kMaxDepth : depth + 1, operation);
  }
}

void PartitionedRun::Work(SpillFile& list, SpillFile* other,
                          const PartOperation& operation) {
  auto load = [this](const SpillFile& file, ItemList& into) {
    into.Reserve(static_cast<ItemList::Index>(file.records()),
                 file.size() - file.records() * kRecordHeader);
    ForEachRecord(
        file, BufferBytes(1),
        [&](std::uint64_t, std::string_view text) { into.AddItem(text); });
  };
  std::vector<std::uint8_t> marks;
  std::vector<std::uint64_t> copies;
  {
    ItemList items;
    load(list, items);
    if (settings_.count_copies) {
      copies = CopiesOfKept(
          {.keys = settings_.keys, .keep_last = settings_.keep_last}, items);
    }
    ItemList other_items;
    if (other != nullptr) load(*other, other_items);
    marks.resize(static_cast<std::size_t>(items.ListCount()));
    operation(items, other_items, marks);
  }
  // The part is read again for the positions of the items that stay.
  const std::uint64_t begin = results_.size();
  std::size_t i = 0;
  ForEachRecord(list, BufferBytes(1),
                [&](std::uint64_t position, std::string_view text) {
                  if (marks[i] == 0) {
                    Keep(position, text, copies.empty() ? 0 : copies[i]);
                  }
                  ++i;
                });
  if (results_.size() != begin) runs_.push_back({begin, results_.size()});
}

namespace {

// The keyed item hash for the standard containers: the keys come from the
// input, so an unkeyed hash would let a list be built to collide.
struct KeyedHash {
  using is_transparent = void;
  ItemHasher hash;
  std::size_t operator()(std::string_view text) const noexcept {
    return static_cast<std::size_t>(hash(text));
  }
};

// What WorkOnCopies learns of one key of its part.
struct KeyFacts {
  std::uint64_t items = 0;
  std::uint64_t met = 0;  // of its items, by the last pass
  bool first_stays = false;
  bool between_stay = false;  // the items neither first nor last
  bool last_stays = false;
};

// The distinct keys of a part, numbered as they first come. The part is
// rare and few in keys, so a standard map serves; it owns its keys.
class KeyIndex {
 public:
  explicit KeyIndex(const KeyRules& rules) : rules_(rules) {}
  // The number of the key of `text`, and whether it came now.
  std::pair<std::uint32_t, bool> Find(std::string_view text) {
    const std::string_view key = KeyOf(text, rules_, scratch_);
    if (const auto at = index_.find(key); at != index_.end()) {
      return {at->second, false};
    }
    const auto number = static_cast<std::uint32_t>(index_.size());
    index_.emplace(std::string(key), number);
    return {number, true};
  }

 private:
  KeyRules rules_;
  std::string scratch_;
  std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>>
      index_;
};

// What WorkOnCopies knows of a part: its keys, each with the first item.
struct Tally {
  std::vector<KeyFacts> facts;  // by key number
  ItemList firsts;              // by key number
};

// Reads the part once: how many items each key has, and its first item.
Tally TallyKeys(const SpillFile& list, const KeyRules& rules,
                std::size_t buffer) {
  Tally tally;
  KeyIndex keys(rules);
  ForEachRecord(list, buffer, [&](std::uint64_t, std::string_view text) {
    const auto [k, added] = keys.Find(text);
    if (added) {
      tally.facts.emplace_back();
      tally.firsts.AddItem(text);
    }
    ++tally.facts[k].items;
  });
  return tally;
}

// Runs `operation` on a list that holds, for each key, one item for each
// place its items take (first; between, when it has three or more; last,
// when it has two or more), against one item of each key of `other`, and
// records which places stay. Any item of a key stands for all of them: the
// operation decides by keys.
void DecideKeys(Tally& tally, const SpillFile* other, const KeyRules& rules,
                std::size_t buffer,
                const PartitionedRun::PartOperation& operation) {
  ItemList other_keys;
  if (other != nullptr) {
    KeyIndex seen(rules.ForKeys());
    ForEachRecord(*other, buffer, [&](std::uint64_t, std::string_view text) {
      if (seen.Find(text).second) other_keys.AddItem(text);
    });
  }
  ItemList places;
  std::vector<bool*> stays;  // the fact each item of `places` decides
  for (std::size_t k = 0; k < tally.facts.size(); ++k) {
    KeyFacts& fact = tally.facts[k];
    const std::string_view text =
        tally.firsts.UncheckedItem(static_cast<ItemList::Index>(k));
    for (bool* place :
         {&fact.first_stays, &fact.between_stay, &fact.last_stays}) {
      if (place == &fact.between_stay && fact.items < 3) continue;
      if (place == &fact.last_stays && fact.items < 2) continue;
      places.AddItem(text);
      stays.push_back(place);
    }
  }
  std::vector<std::uint8_t> marks(stays.size());
  operation(places, other_keys, marks);
  for (std::size_t i = 0; i < stays.size(); ++i) *stays[i] = marks[i] == 0;
}

}  // namespace

// Each operation decides about an item from its key and its place among
// its key's items, so what it decides for one item of each place of each
// key says what becomes of every item; memory then follows the distinct
// keys, not the items.
void PartitionedRun::WorkOnCopies(SpillFile& list, SpillFile* other,
                                  const PartOperation& operation) {
  ++parts_by_keys_;
  const std::size_t buffer = BufferBytes(1);
  Tally tally = TallyKeys(list, settings_.keys, buffer);
  DecideKeys(tally, other, settings_.keys, buffer, operation);
  tally.firsts = ItemList();
  const std::uint64_t begin = results_.size();
  KeyIndex keys(settings_.keys);
  ForEachRecord(list, buffer,
                [&](std::uint64_t position, std::string_view text) {
                  KeyFacts& fact = tally.facts[keys.Find(text).first];
                  const bool first = fact.met == 0;
                  const bool last = ++fact.met == fact.items;
                  if (first  ? fact.first_stays
                      : last ? fact.last_stays
                             : fact.between_stay) {
                    const bool counted = settings_.keep_last ? last : first;
                    Keep(position, text,
                         settings_.count_copies && counted ? fact.items : 0);
                  }
                });
  if (results_.size() != begin) runs_.push_back({begin, results_.size()});
}

void PartitionedRun::Keep(std::uint64_t position, std::string_view text,
                          std::uint64_t copies) {
  if (!settings_.count_copies) {
    results_.Append(position, text);
    return;
  }
  record_.resize(sizeof copies);
  std::memcpy(record_.data(), &copies, sizeof copies);
  record_.append(text);
  results_.Append(position, record_);
}

namespace {

// Merges the records of `runs` of `file`, each in order of position, into
// one order, and passes each record to `visit`, reading each run through
// `buffer` bytes.
template <typename Runs, typename Visit>
void MergeRuns(const SpillFile& file, const Runs& runs, std::size_t buffer,
               Visit visit) {
  struct Cursor {
    SpillReader reader;
    std::uint64_t position = 0;
    std::string_view text;
  };
  std::vector<Cursor> cursors;
  cursors.reserve(runs.size());
  // A min-heap of cursors by the position of their next record.
  using Entry = std::pair<std::uint64_t, std::size_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  for (const auto& run : runs) {
    cursors.push_back({SpillReader(file, run.begin, run.end, buffer), 0, {}});
    Cursor& cursor = cursors.back();
    if (cursor.reader.Next(cursor.position, cursor.text)) {
      heap.emplace(cursor.position, cursors.size() - 1);
    }
  }
  while (!heap.empty()) {
    const std::size_t i = heap.top().second;
    heap.pop();
    Cursor& cursor = cursors[i];
    visit(cursor.position, cursor.text);
    if (cursor.reader.Next(cursor.position, cursor.text)) {
      heap.emplace(cursor.position, i);
    }
  }
}

}  // namespace

void PartitionedRun::Merge(const Emit& emit) {
  // Each run is read through a buffer of its own; merging at most `fan_in`
  // runs at a time, in passes, keeps the buffers within a part's memory
  // however many parts there were.
  const std::size_t fan_in =
      std::clamp<std::size_t>(settings_.part_bytes / 2 / kLeastBuffer, 2, 1024);
  auto buffer = [&](std::size_t runs) {
    return std::clamp<std::size_t>(
        settings_.part_bytes / 2 / std::max<std::size_t>(runs, 1), kLeastBuffer,
        std::size_t{1} << 20);
  };
  while (runs_.size() > fan_in) {
    SpillFile merged(settings_.temp_dir, BufferBytes(1));
    std::vector<Run> runs;
    for (std::size_t i = 0; i < runs_.size(); i += fan_in) {
      const auto group = std::span<const Run>(runs_).subspan(
          i, std::min(fan_in, runs_.size() - i));
      const std::uint64_t begin = merged.size();
      MergeRuns(results_, group, buffer(group.size()),
                [&](std::uint64_t position, std::string_view record) {
                  merged.Append(position, record);
                });
      runs.push_back({begin, merged.size()});
    }
    merged.Flush();
    results_ = std::move(merged);
    runs_ = std::move(runs);
  }
  MergeRuns(results_, runs_, buffer(runs_.size()),
            [&](std::uint64_t, std::string_view record) {
              if (settings_.count_copies) {
                std::uint64_t copies;
                std::memcpy(&copies, record.data(), sizeof copies);
                emit(record.substr(sizeof copies), copies);
              } else {
                emit(record, 0);
              }
            });
}

}  // namespace karvello
