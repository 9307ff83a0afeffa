#include "lists/UndoHistory.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace karvello {

namespace {

using Index = ItemList::Index;
using internal::UndoDoor;

// Items [from, end) of `list`, copied.
ItemList CopyTail(const ItemList& list, Index from) {
  ItemList tail;
  const ItemList::Storage s = list.RawStorage();
  std::size_t bytes = 0;
  for (auto i = static_cast<std::size_t>(from); i < s.count; ++i) {
    bytes += s.lengths[i];
  }
  tail.Reserve(list.ListCount() - from, bytes);
  for (Index i = from; i < list.ListCount(); ++i) {
    tail.AddItem(list.UncheckedItem(i));
  }
  return tail;
}

}  // namespace

// One change of one list, as the edits that made it, in order.
class UndoHistory::Step final : public internal::RemovalObserver {
 public:
  Step(int list_id, const ItemList& list, const ViewState& before)
      : list_id_(list_id),
        view_before_(before),
        selection_before_(list.ListIndex()),
        count_before_(list.ListCount()),
        known_count_(list.ListCount()) {}

  int list_id() const { return list_id_; }
  bool broken() const { return broken_; }
  bool empty() const { return edits_.empty(); }
  const ViewState& view_before() const { return view_before_; }
  const ViewState& view_after() const { return view_after_; }

  void Finish(const ItemList& list, const ViewState& after) noexcept {
    NoteAppends(list);
    view_after_ = after;
    selection_after_ = list.ListIndex();
    count_after_ = list.ListCount();
  }

  void WillRemoveMarked(const ItemList& list,
                        std::span<const std::uint8_t> marks) override {
    Record(list, [&](std::size_t i) { return marks[i] != 0; });
  }
  void WillRemoveItem(const ItemList& list, Index i) override {
    const auto at = static_cast<std::size_t>(i);
    Record(list, [at](std::size_t k) { return k == at; });
  }
  void WillReorder(const ItemList& list,
                   std::span<const Index> order) override {
    NoteAppends(list);
    try {
      Edit edit{Edit::kReordered, {}, {}, {}, {}, 0};
      edit.order.assign(order.begin(), order.end());
      edits_.push_back(std::move(edit));
    } catch (const std::bad_alloc&) {
      broken_ = true;
    }
  }
  void WillTake(const ItemList& list, internal::ChangeRecord& record) override {
    NoteAppends(list);
    try {
      if (record.order.empty()) {
        const auto removed = static_cast<Index>(record.offsets.size());
        edits_.push_back({Edit::kRemoved,
                          std::move(record.bits),
                          {},
                          std::move(record.offsets),
                          std::move(record.lengths),
                          0});
        known_count_ = list.ListCount() - removed;
      } else {
        Edit edit{Edit::kReordered, {}, {}, {}, {}, 0};
        edit.order = std::move(record.order);
        edits_.push_back(std::move(edit));
      }
    } catch (const std::bad_alloc&) {
      broken_ = true;
    }
  }
  void WillClear(ItemList& list) override {
    NoteAppends(list);
    if (list.ListCount() == 0) return;
    try {
      edits_.push_back({Edit::kCleared, {}, {}, {}, {}, 0});
      // The list is emptied next: its items move here instead of being
      // freed.
      edits_.back().items = std::move(list);
      known_count_ = 0;
    } catch (const std::bad_alloc&) {
      broken_ = true;
    }
  }

  // Count of the list as the step left it; a list with another count was
  // changed outside the history.
  bool Matches(const ItemList& list, bool done) const {
    return list.ListCount() == (done ? count_after_ : count_before_);
  }

  // A lone reorder, worked out beside `list` (see PrepareReplay).
  ItemList::Change PrepareReorder(const ItemList& list, bool undo) const {
    if (edits_.size() != 1 || edits_[0].kind != Edit::kReordered) return {};
    const std::vector<Index>& order = edits_[0].order;
    return list.PrepareReorder(undo ? Inverse(order) : order);
  }

  void Undo(ItemList& list, ItemList::Change&& prepared) {
    for (auto edit = edits_.rbegin(); edit != edits_.rend(); ++edit) {
      switch (edit->kind) {
        case Edit::kAppended:
          // Appended to an empty list: the whole list is the range, and
          // moves instead of being copied.
          if (edit->from == 0 && WholeStorage(list)) {
            std::swap(list, edit->items);
          } else {
            edit->items = CopyTail(list, edit->from);
            UndoDoor::Truncate(list, edit->from);
          }
          break;
        case Edit::kRemoved:
          UndoDoor::RestoreRemoved(list, edit->bits, edit->offsets,
                                   edit->lengths);
          break;
        case Edit::kReordered:
          if (prepared.Empty()) {
            list.Reorder(Inverse(edit->order));
          } else {
            list.Take(std::move(prepared));
          }
          break;
        case Edit::kCleared:
          std::swap(list, edit->items);
          break;
      }
    }
    Select(list, selection_before_);
  }

  void Redo(ItemList& list, ItemList::Change&& prepared) {
    for (Edit& edit : edits_) {
      switch (edit.kind) {
        case Edit::kAppended:
          if (list.RawStorage().arena_size == 0) {
            std::swap(list, edit.items);
          } else {
            Append(list, edit.items);
          }
          edit.items.Clear();
          break;
        case Edit::kRemoved: {
          std::vector<std::uint8_t> marks(
              static_cast<std::size_t>(list.ListCount()));
          for (std::size_t i = 0; i < marks.size(); ++i) {
            marks[i] = (edit.bits[i / 64] >> (i % 64)) & 1;
          }
          // The items may sit elsewhere in the storage than when the step
          // was recorded (an earlier step was undone and redone since).
          KeepRanges(
              list, marks.size(), [&](std::size_t i) { return marks[i] != 0; },
              edit);
          list.RemoveMarked(marks);
          break;
        }
        case Edit::kReordered:
          if (prepared.Empty()) {
            list.Reorder(edit.order);
          } else {
            list.Take(std::move(prepared));
          }
          break;
        case Edit::kCleared:
          std::swap(list, edit.items);
          break;
      }
    }
    Select(list, selection_after_);
  }

  std::size_t MemoryBytes() const noexcept {
    std::size_t bytes = sizeof(Step);
    for (const Edit& edit : edits_) {
      bytes +=
          sizeof(Edit) + edit.bits.size() * sizeof(std::uint64_t) +
          edit.order.size() * sizeof(Index) + edit.items.MemoryBytes() +
          edit.offsets.size() * (sizeof(std::uint64_t) + sizeof(std::uint32_t));
      // The removed texts stay in the list's storage for the step: their
      // bytes are the step's too, however few the items.
      for (std::uint32_t length : edit.lengths) bytes += length;
    }
    return bytes;
  }

  bool KeepsRemovedBytes() const {
    return std::any_of(edits_.begin(), edits_.end(),
                       [](const Edit& e) { return e.kind == Edit::kRemoved; });
  }

  // A step of more than one edit that fails halfway cannot be finished or
  // taken back.
  bool SingleEdit() const { return edits_.size() == 1; }

 private:
  struct Edit {
    enum Kind { kRemoved, kAppended, kCleared, kReordered } kind;
    // kRemoved: one bit per item before the removal, set for the removed.
    std::vector<std::uint64_t> bits;
    // kAppended: the appended items while the step is undone, nothing while
    // it is done. kCleared: the whole list.
    ItemList items;
    // kRemoved: where the removed items' bytes lie in the list's storage,
    // which keeps them (see UndoDoor::HoldRemovedBytes).
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint32_t> lengths;
    // kAppended: the count before the append.
    Index from;
    // kReordered: item order[k] went to place k.
    std::vector<Index> order = {};
  };

  // Item order[k] went to place k: it goes back from k.
  static std::vector<Index> Inverse(const std::vector<Index>& order) {
    std::vector<Index> back(order.size());
    for (std::size_t k = 0; k < back.size(); ++k) {
      back[static_cast<std::size_t>(order[k])] = static_cast<Index>(k);
    }
    return back;
  }

  // Items appended since the last removal are one edit: only their range.
  void NoteAppends(const ItemList& list) noexcept {
    if (list.ListCount() <= known_count_) return;
    try {
      edits_.push_back({Edit::kAppended, {}, {}, {}, {}, known_count_});
    } catch (const std::bad_alloc&) {
      broken_ = true;
    }
    known_count_ = list.ListCount();
  }

  // Keeps where the items that `removed` picks lie in the storage of
  // `list`, which holds them until the step is gone.
  template <typename Removed>
  static void KeepRanges(const ItemList& list, std::size_t n, Removed removed,
                         Edit& edit) {
    const ItemList::Storage storage = list.RawStorage();
    edit.offsets.clear();
    edit.lengths.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!removed(i)) continue;
      edit.offsets.push_back(storage.offsets[i]);
      edit.lengths.push_back(storage.lengths[i]);
    }
  }

  template <typename Removed>
  void Record(const ItemList& list, Removed removed) noexcept {
    NoteAppends(list);
    const auto n = static_cast<std::size_t>(list.ListCount());
    try {
      Edit edit{Edit::kRemoved,
                std::vector<std::uint64_t>((n + 63) / 64),
                {},
                {},
                {},
                0};
      std::size_t count = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (!removed(i)) continue;
        edit.bits[i / 64] |= std::uint64_t{1} << (i % 64);
        ++count;
      }
      if (count == 0) return;
      edit.offsets.reserve(count);
      edit.lengths.reserve(count);
      KeepRanges(list, n, removed, edit);
      edits_.push_back(std::move(edit));
      known_count_ = static_cast<Index>(n - count);
    } catch (const std::bad_alloc&) {
      // The removal goes ahead unrecorded; this history can no longer be
      // replayed.
      broken_ = true;
    }
  }

  // The storage holds the items and nothing else, so it can move whole: no
  // removed bytes that a step still needs.
  static bool WholeStorage(const ItemList& list) {
    return list.RawStorage().arena_size == list.TextBytes();
  }

  static void Append(ItemList& list, const ItemList& items) {
    const Index from = list.ListCount();
    try {
      list.Reserve(items.ListCount(), items.TextBytes());
      for (Index i = 0; i < items.ListCount(); ++i) {
        list.AddItem(items.UncheckedItem(i));
      }
    } catch (...) {
      UndoDoor::Truncate(list, from);
      throw;
    }
  }

  static void Select(ItemList& list, Index i) {
    list.SetListIndex(i < list.ListCount() ? i : -1);
  }

  int list_id_;
  ViewState view_before_;
  ViewState view_after_;
  Index selection_before_;
  Index selection_after_ = -1;
  Index count_before_;
  Index known_count_;
  Index count_after_ = 0;
  bool broken_ = false;
  std::vector<Edit> edits_;
};

UndoHistory::UndoHistory() = default;

UndoHistory::~UndoHistory() {
  if (open_list_ != nullptr) UndoDoor::SetRemovalObserver(*open_list_, nullptr);
  open_.reset();
  Clear();
}

void UndoHistory::Open(int list_id, ItemList& list, const ViewState& before) {
  if (open_ != nullptr) Close(open_->view_before());
  const auto id = static_cast<std::size_t>(list_id);
  if (lists_.size() <= id) lists_.resize(id + 1, nullptr);
  lists_[id] = &list;
  UndoDoor::HoldRemovedBytes(list, true);
  open_ = std::make_unique<Step>(list_id, list, before);
  open_list_ = &list;
  UndoDoor::SetRemovalObserver(list, open_.get());
}

void UndoHistory::Close(const ViewState& after) noexcept {
  if (open_ == nullptr) return;
  std::unique_ptr<Step> step = std::move(open_);
  ItemList& list = *open_list_;
  open_list_ = nullptr;
  UndoDoor::SetRemovalObserver(list, nullptr);
  step->Finish(list, after);
  if (step->broken()) {
    Clear();
    return;
  }
  if (step->empty()) {
    if (steps_.empty()) Clear();
    return;
  }
  steps_.resize(done_);
  try {
    steps_.push_back(std::move(step));
  } catch (const std::bad_alloc&) {
    Clear();
    return;
  }
  done_ = steps_.size();
  Trim();
  Unpin();
}

void UndoHistory::Unpin() noexcept {
  // Only a removal that is done keeps bytes in its list's storage: an undone
  // one finds its items again when it is redone. A list that no such step
  // pins may compact what older, dropped steps left behind.
  for (std::size_t id = 0; id < lists_.size(); ++id) {
    if (lists_[id] == nullptr) continue;
    bool pinned = false;
    for (std::size_t k = 0; k < done_ && !pinned; ++k) {
      pinned = steps_[k]->list_id() == static_cast<int>(id) &&
               steps_[k]->KeepsRemovedBytes();
    }
    if (!pinned) {
      UndoDoor::HoldRemovedBytes(*lists_[id], false);
      UndoDoor::HoldRemovedBytes(*lists_[id], true);
    }
  }
}

std::optional<UndoHistory::Replayed> UndoHistory::Undo(
    std::span<ItemList* const> lists, ItemList::Change&& prepared) {
  return Replay(lists, true, std::move(prepared));
}

std::optional<UndoHistory::Replayed> UndoHistory::Redo(
    std::span<ItemList* const> lists, ItemList::Change&& prepared) {
  return Replay(lists, false, std::move(prepared));
}

ItemList::Change UndoHistory::PrepareReplay(
    std::span<const ItemList* const> lists, bool undo) const {
  if (open_ != nullptr || (undo ? !CanUndo() : !CanRedo())) return {};
  const Step& step = *steps_[undo ? done_ - 1 : done_];
  const auto id = static_cast<std::size_t>(step.list_id());
  if (id >= lists.size() || !step.Matches(*lists[id], undo)) return {};
  return step.PrepareReorder(*lists[id], undo);
}

std::optional<UndoHistory::Replayed> UndoHistory::Replay(
    std::span<ItemList* const> lists, bool undo, ItemList::Change&& prepared) {
  if (open_ != nullptr) Close(open_->view_before());
  if (undo ? !CanUndo() : !CanRedo()) return std::nullopt;
  Step& step = *steps_[undo ? done_ - 1 : done_];
  const auto id = static_cast<std::size_t>(step.list_id());
  if (id >= lists.size() || !step.Matches(*lists[id], undo)) {
    Clear();
    return std::nullopt;
  }
  try {
    if (undo) {
      step.Undo(*lists[id], std::move(prepared));
    } else {
      step.Redo(*lists[id], std::move(prepared));
    }
  } catch (...) {
    if (!step.SingleEdit()) Clear();
    throw;
  }
  done_ = undo ? done_ - 1 : done_ + 1;
  const Replayed replayed{step.list_id(),
                          undo ? step.view_before() : step.view_after()};
  Trim();
  return replayed;
}

void UndoHistory::Clear() noexcept {
  steps_.clear();
  done_ = 0;
  if (open_ != nullptr) return;
  for (ItemList* list : lists_) {
    if (list != nullptr) UndoDoor::HoldRemovedBytes(*list, false);
  }
  lists_.clear();
}

void UndoHistory::SetLimits(std::size_t max_steps, std::size_t bytes) {
  max_steps_ = std::max<std::size_t>(max_steps, 1);
  max_bytes_ = bytes;
  Trim();
}

std::size_t UndoHistory::MemoryBytes() const noexcept {
  std::size_t bytes = 0;
  for (const auto& step : steps_) bytes += step->MemoryBytes();
  return bytes;
}

void UndoHistory::Trim() {
  // The oldest done steps go first, then the undone ones farthest from the
  // present; the step that undoes the last change stays.
  while (steps_.size() > max_steps_ ||
         (steps_.size() > 1 && MemoryBytes() > max_bytes_)) {
    if (done_ > 1) {
      steps_.pop_front();
      --done_;
    } else if (steps_.size() > std::max<std::size_t>(done_, 1)) {
      steps_.pop_back();
    } else {
      break;
    }
  }
}

}  // namespace karvello
