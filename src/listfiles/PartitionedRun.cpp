#include "listfiles/PartitionedRun.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <queue>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "lists/CopyCounts.h"
#include "lists/TextSet.h"
#include "lists/internal/Bytes.h"
#include "lists/internal/ItemHash.h"

namespace karvello {

namespace {

constexpr std::size_t kRecordHeader = 12;
constexpr std::size_t kMaxParts = 64;
constexpr std::size_t kUnknownSizeParts = 16;
// A part that is still too big after this many splits holds mostly copies of
// a few texts, which no hash can tell apart; it is worked on by its distinct
// texts (see WorkOnCopies).
constexpr int kMaxDepth = 4;

std::size_t PartsFor(std::uint64_t bytes, std::size_t part_bytes) {
  // A quarter more than the even share, so that an unlucky hash seldom
  // leaves one part over the limit.
  const std::uint64_t want = bytes / part_bytes + bytes / part_bytes / 4 + 1;
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(want, 2, kMaxParts));
}

}  // namespace

// One split of a list (and of the other list, when there is one) into parts
// by hash. Each level of splitting mixes the hash with its own salt: the
// items of one part share their part number at the level above, and reusing
// those bits would put them all in one part again.
class PartitionedRun::Split {
 public:
  Split(const std::string& folder, std::size_t count, int depth,
        std::size_t buffer_bytes, const KeyRules& keys)
      : folder_(folder),
        keys_(keys),
        count_(count),
        salt_(0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(depth + 1)),
        buffer_bytes_(buffer_bytes) {
    lists_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      lists_.emplace_back(folder, buffer_bytes);
    }
  }

  void Add(std::uint64_t position, std::string_view text) {
    lists_[PartOf(text)].Append(position, text);
  }
  void AddOther(std::string_view text) {
    if (others_.empty()) {
      others_.reserve(count_);
      for (std::size_t i = 0; i < count_; ++i) {
        others_.emplace_back(folder_, buffer_bytes_);
      }
    }
    others_[PartOf(text)].Append(0, text);
  }

  std::size_t count() const { return count_; }
  SpillFile& list(std::size_t i) { return lists_[i]; }
  SpillFile* other(std::size_t i) {
    return others_.empty() ? nullptr : &others_[i];
  }

 private:
  std::size_t PartOf(std::string_view text) {
    if (!keys_.Exact()) {
      key_.clear();
      AppendKey(text, keys_, key_);
      text = key_;
    }
    const std::uint64_t mixed =
        internal::FoldedMultiply(hash_(text) ^ salt_, 0xc2b2ae3d27d4eb4fULL);
    return static_cast<std::size_t>(
        (static_cast<internal::Uint128>(mixed) * count_) >> 64);
  }

  internal::ItemHasher hash_;
  std::string folder_;
  KeyRules keys_;
  std::string key_;  // the key of the item being split
  std::size_t count_;
  std::uint64_t salt_;
  std::size_t buffer_bytes_;
  std::vector<SpillFile> lists_;
  std::vector<SpillFile> others_;
};

PartitionedRun::PartitionedRun(const Settings& settings)
    : settings_(settings), results_(settings.temp_dir, BufferBytes(1)) {
  if (settings_.part_bytes < 4096) settings_.part_bytes = 4096;
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
  return std::clamp<std::size_t>(settings_.part_bytes / 8 / files, 4096,
                                 std::size_t{256} << 10);
}

void PartitionedRun::Add(std::string_view item) {
  first_->Add(next_position_++, item);
}

void PartitionedRun::AddOther(std::string_view item) { first_->AddOther(item); }

void PartitionedRun::Finish(const PartOperation& operation, const Emit& emit) {
  std::unique_ptr<Split> split = std::move(first_);
  for (std::size_t i = 0; i < split->count(); ++i) {
    SpillFile* other = split->other(i);
    std::optional<SpillFile> other_part;
    if (other != nullptr) other_part.emplace(std::move(*other));
    Process(std::move(split->list(i)), other_part ? &*other_part : nullptr, 0,
            operation);
  }
  split.reset();
  results_.Flush();
  spilled_bytes_ += results_.size();
  Merge(emit);
}

void PartitionedRun::Process(SpillFile list, SpillFile* other, int depth,
                             const PartOperation& operation) {
  list.Flush();
  if (other != nullptr) other->Flush();
  spilled_bytes_ += list.size() + (other != nullptr ? other->size() : 0);
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
  const std::size_t count = PartsFor(bytes, settings_.part_bytes);
  Split split(settings_.temp_dir, count, depth + 1, BufferBytes(count),
              settings_.keys);
  const std::size_t read_buffer = BufferBytes(1);
  {
    SpillReader reader(list, 0, list.size(), read_buffer);
    std::uint64_t position;
    std::string_view text;
    while (reader.Next(position, text)) split.Add(position, text);
  }
  if (other != nullptr) {
    SpillReader reader(*other, 0, other->size(), read_buffer);
    std::uint64_t position;
    std::string_view text;
    while (reader.Next(position, text)) split.AddOther(text);
  }
  // The parent's files go before the parts are worked on: the disk then
  // holds each item about twice at most.
  { SpillFile done = std::move(list); }
  if (other != nullptr) {
    SpillFile done = std::move(*other);
  }
  for (std::size_t i = 0; i < count; ++i) {
    SpillFile* sub_other = split.other(i);
    std::optional<SpillFile> other_part;
    if (sub_other != nullptr) other_part.emplace(std::move(*sub_other));
    Process(std::move(split.list(i)), other_part ? &*other_part : nullptr,
            depth + 1, operation);
  }
}

void PartitionedRun::Work(SpillFile& list, SpillFile* other,
                          const PartOperation& operation) {
  const std::size_t read_buffer = BufferBytes(1);
  auto load = [read_buffer](const SpillFile& file, ItemList& into) {
    into.Reserve(static_cast<ItemList::Index>(file.records()),
                 file.size() - file.records() * kRecordHeader);
    SpillReader reader(file, 0, file.size(), read_buffer);
    std::uint64_t position;
    std::string_view text;
    while (reader.Next(position, text)) into.AddItem(text);
  };
  ItemList items;
  load(list, items);
  std::vector<std::uint64_t> copies;
  if (settings_.count_copies) {
    copies = settings_.keys.Exact()
                 ? CountCopies(items)
                 : CountCopies(KeysOf(items, settings_.keys));
  }
  {
    ItemList other_items;
    if (other != nullptr) load(*other, other_items);
    operation(items, other_items);
  }
  // The operation only removed items, so the survivors are a subsequence of
  // the part: reading the part again and taking each item that matches the
  // next survivor pairs every survivor with its own position. For the first
  // copy of a text that is exactly the copy the operation kept, and where
  // copies all stay or all go, any pairing gives the same positions.
  const std::uint64_t begin = results_.size();
  const ItemList::Index kept = items.ListCount();
  ItemList::Index next = 0;
  SpillReader reader(list, 0, list.size(), read_buffer);
  std::uint64_t position;
  std::string_view text;
  for (std::size_t read = 0; next < kept && reader.Next(position, text);
       ++read) {
    if (text == items.UncheckedItem(next)) {
      Keep(position, text, copies.empty() ? 0 : copies[read]);
      ++next;
    }
  }
  if (next != kept) {
    throw std::logic_error("a part operation added or reordered items");
  }
  if (kept != 0) runs_.push_back({begin, results_.size()});
}

namespace {

// The keyed item hash for the standard containers: the texts come from the
// input, so an unkeyed hash would let a list be built to collide.
struct KeyedTextHash {
  internal::ItemHasher hash;
  std::size_t operator()(std::string_view text) const noexcept {
    return static_cast<std::size_t>(hash(text));
  }
};

}  // namespace

void PartitionedRun::WorkOnCopies(SpillFile& list, SpillFile* other,
                                  const PartOperation& operation) {
  // Only the first two copies of each text go into the list the operation
  // sees, and one copy of each text of the other list. Each operation here
  // treats the third and later copies of a text as it treats the second, so
  // what it leaves of the first and second copies says what becomes of
  // every copy; memory then follows the distinct texts, not the items.
  struct Text {
    std::uint64_t items = 0;
    std::uint8_t copies = 0;  // in `reduced`
    bool first_stays = false;
    bool later_stay = false;
  };
  std::deque<std::string> texts;
  std::unordered_map<std::string_view, std::uint32_t, KeyedTextHash> index;
  std::vector<Text> facts;
  std::vector<std::uint32_t> entries;  // the text of each reduced item
  ItemList reduced;
  const std::size_t read_buffer = BufferBytes(1);
  std::uint64_t position;
  std::string_view text;
  {
    SpillReader reader(list, 0, list.size(), read_buffer);
    while (reader.Next(position, text)) {
      auto [at, added] =
          index.try_emplace(text, static_cast<std::uint32_t>(texts.size()));
      if (added) {
        const std::string& kept = texts.emplace_back(text);
        // The key must view the kept copy, not the reader's buffer.
        auto node = index.extract(at);
        node.key() = kept;
        at = index.insert(std::move(node)).position;
        facts.emplace_back();
      }
      Text& fact = facts[at->second];
      ++fact.items;
      if (fact.copies < 2) {
        ++fact.copies;
        reduced.AddItem(text);
        entries.push_back(at->second);
      }
    }
  }
  {
    ItemList other_texts;
    if (other != nullptr) {
      TextSet seen;
      SpillReader reader(*other, 0, other->size(), read_buffer);
      while (reader.Next(position, text)) {
        if (seen.Insert(text)) {
          other_texts.AddItem(text);
        }
      }
    }
    operation(reduced, other_texts);
  }
  // Pair the survivors with the reduced items as Work does.
  std::vector<std::uint8_t> copies_seen(facts.size(), 0);
  ItemList::Index next = 0;
  for (const std::uint32_t k : entries) {
    const bool later = copies_seen[k]++ != 0;
    if (next < reduced.ListCount() && reduced.UncheckedItem(next) == texts[k]) {
      (later ? facts[k].later_stay : facts[k].first_stays) = true;
      ++next;
    }
  }
  if (next != reduced.ListCount()) {
    throw std::logic_error("a part operation added or reordered items");
  }
  // The copies of a key are the items of all its texts, and go with the
  // first of those texts to come, whose first copy is the key's first item.
  std::vector<std::uint64_t> key_copies;
  if (settings_.count_copies) {
    key_copies.resize(facts.size());
    std::unordered_map<std::string, std::uint32_t, KeyedTextHash> first_text;
    std::string key;
    for (std::uint32_t k = 0; k < facts.size(); ++k) {
      std::uint32_t first = k;
      if (!settings_.keys.Exact()) {
        key.clear();
        AppendKey(texts[k], settings_.keys, key);
        first = first_text.try_emplace(key, k).first->second;
      }
      key_copies[first] += facts[k].items;
    }
  }
  const std::uint64_t begin = results_.size();
  std::fill(copies_seen.begin(), copies_seen.end(), 0);
  SpillReader reader(list, 0, list.size(), read_buffer);
  while (reader.Next(position, text)) {
    const std::uint32_t k = index.find(text)->second;
    const bool later = copies_seen[k] != 0;
    copies_seen[k] = 1;
    if (later ? facts[k].later_stay : facts[k].first_stays) {
      Keep(position, text, later || key_copies.empty() ? 0 : key_copies[k]);
    }
  }
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

void PartitionedRun::Merge(const Emit& emit) {
  struct Cursor {
    SpillReader reader;
    std::uint64_t position = 0;
    std::string_view text;
  };
  std::vector<Cursor> cursors;
  cursors.reserve(runs_.size());
  const std::size_t buffer = std::clamp<std::size_t>(
      settings_.part_bytes / 4 / std::max<std::size_t>(runs_.size(), 1), 4096,
      std::size_t{1} << 20);
  // A min-heap of cursors by the position of their next item.
  using Entry = std::pair<std::uint64_t, std::size_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  for (const Run& run : runs_) {
    cursors.push_back(
        {SpillReader(results_, run.begin, run.end, buffer), 0, {}});
    Cursor& cursor = cursors.back();
    if (cursor.reader.Next(cursor.position, cursor.text)) {
      heap.emplace(cursor.position, cursors.size() - 1);
    }
  }
  while (!heap.empty()) {
    const std::size_t i = heap.top().second;
    heap.pop();
    Cursor& cursor = cursors[i];
    if (settings_.count_copies) {
      emit(cursor.text.substr(sizeof(std::uint64_t)),
           internal::Load64(cursor.text.data()));
    } else {
      emit(cursor.text, 0);
    }
    if (cursor.reader.Next(cursor.position, cursor.text)) {
      heap.emplace(cursor.position, i);
    }
  }
}

}  // namespace karvello
