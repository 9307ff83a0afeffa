#include "lists/UndoHistory.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace karvello {

namespace {

using Index = ItemList::Index;

std::size_t ListBytes(const ItemList& list) {
  return list.TextBytes() + static_cast<std::size_t>(list.ListCount()) *
                                (sizeof(std::uint64_t) + sizeof(std::uint32_t));
}

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
class UndoHistory::Step final : public RemovalObserver {
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
  void WillClear(ItemList& list) override {
    NoteAppends(list);
    if (list.ListCount() == 0) return;
    try {
      edits_.push_back({Edit::kCleared, {}, {}, 0});
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

  void Undo(ItemList& list) {
    for (auto edit = edits_.rbegin(); edit != edits_.rend(); ++edit) {
      switch (edit->kind) {
        case Edit::kAppended:
          edit->items = CopyTail(list, edit->from);
          list.Truncate(edit->from);
          break;
        case Edit::kRemoved:
          list.InsertMarked(edit->bits, edit->items);
          break;
        case Edit::kCleared:
          std::swap(list, edit->items);
          break;
      }
    }
    Select(list, selection_before_);
  }

  void Redo(ItemList& list) {
    for (Edit& edit : edits_) {
      switch (edit.kind) {
        case Edit::kAppended:
          Append(list, edit.items);
          edit.items.Clear();
          break;
        case Edit::kRemoved: {
          std::vector<std::uint8_t> marks(
              static_cast<std::size_t>(list.ListCount()));
          for (std::size_t i = 0; i < marks.size(); ++i) {
            marks[i] = (edit.bits[i / 64] >> (i % 64)) & 1;
          }
          list.RemoveMarked(marks);
          break;
        }
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
      bytes += sizeof(Edit) + edit.bits.size() * sizeof(std::uint64_t) +
               ListBytes(edit.items);
    }
    return bytes;
  }

  // A step of more than one edit that fails halfway cannot be finished or
  // taken back.
  bool SingleEdit() const { return edits_.size() == 1; }

 private:
  struct Edit {
    enum Kind { kRemoved, kAppended, kCleared } kind;
    // kRemoved: one bit per item before the removal, set for the removed.
    std::vector<std::uint64_t> bits;
    // kRemoved: the removed items. kAppended: the appended items while the
    // step is undone, nothing while it is done. kCleared: the whole list.
    ItemList items;
    // kAppended: the count before the append.
    Index from;
  };

  // Items appended since the last removal are one edit: only their range.
  void NoteAppends(const ItemList& list) noexcept {
    if (list.ListCount() <= known_count_) return;
    try {
      edits_.push_back({Edit::kAppended, {}, {}, known_count_});
    } catch (const std::bad_alloc&) {
      broken_ = true;
    }
    known_count_ = list.ListCount();
  }

  template <typename Removed>
  void Record(const ItemList& list, Removed removed) noexcept {
    NoteAppends(list);
    const auto n = static_cast<std::size_t>(list.ListCount());
    try {
      Edit edit{
          Edit::kRemoved, std::vector<std::uint64_t>((n + 63) / 64), {}, 0};
      std::size_t count = 0;
      std::size_t bytes = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (!removed(i)) continue;
        edit.bits[i / 64] |= std::uint64_t{1} << (i % 64);
        ++count;
        bytes += list.UncheckedItem(static_cast<Index>(i)).size();
      }
      if (count == 0) return;
      edit.items.Reserve(static_cast<Index>(count), bytes);
      for (std::size_t i = 0; i < n; ++i) {
        if ((edit.bits[i / 64] >> (i % 64)) & 1) {
          edit.items.AddItem(list.UncheckedItem(static_cast<Index>(i)));
        }
      }
      edits_.push_back(std::move(edit));
      known_count_ = static_cast<Index>(n - count);
    } catch (const std::bad_alloc&) {
      // The removal goes ahead unrecorded; this history can no longer be
      // replayed.
      broken_ = true;
    }
  }

  static void Append(ItemList& list, const ItemList& items) {
    const Index from = list.ListCount();
    try {
      list.Reserve(items.ListCount(), items.TextBytes());
      for (Index i = 0; i < items.ListCount(); ++i) {
        list.AddItem(items.UncheckedItem(i));
      }
    } catch (...) {
      list.Truncate(from);
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
  if (open_list_ != nullptr) open_list_->SetRemovalObserver(nullptr);
}

void UndoHistory::Open(int list_id, ItemList& list, const ViewState& before) {
  if (open_ != nullptr) Close(open_->view_before());
  open_ = std::make_unique<Step>(list_id, list, before);
  open_list_ = &list;
  list.SetRemovalObserver(open_.get());
}

void UndoHistory::Close(const ViewState& after) noexcept {
  if (open_ == nullptr) return;
  std::unique_ptr<Step> step = std::move(open_);
  ItemList& list = *open_list_;
  open_list_ = nullptr;
  list.SetRemovalObserver(nullptr);
  step->Finish(list, after);
  if (step->broken()) {
    Clear();
    return;
  }
  if (step->empty()) return;
  steps_.resize(done_);
  try {
    steps_.push_back(std::move(step));
  } catch (const std::bad_alloc&) {
    Clear();
    return;
  }
  done_ = steps_.size();
  Trim();
}

std::optional<UndoHistory::Replayed> UndoHistory::Undo(
    std::span<ItemList* const> lists) {
  if (open_ != nullptr) Close(open_->view_before());
  if (done_ == 0) return std::nullopt;
  Step& step = *steps_[done_ - 1];
  const auto id = static_cast<std::size_t>(step.list_id());
  if (id >= lists.size() || !step.Matches(*lists[id], true)) {
    Clear();
    return std::nullopt;
  }
  try {
    step.Undo(*lists[id]);
  } catch (...) {
    if (!step.SingleEdit()) Clear();
    throw;
  }
  --done_;
  const Replayed replayed{step.list_id(), step.view_before()};
  Trim();
  return replayed;
}

std::optional<UndoHistory::Replayed> UndoHistory::Redo(
    std::span<ItemList* const> lists) {
  if (open_ != nullptr) Close(open_->view_before());
  if (done_ == steps_.size()) return std::nullopt;
  Step& step = *steps_[done_];
  const auto id = static_cast<std::size_t>(step.list_id());
  if (id >= lists.size() || !step.Matches(*lists[id], false)) {
    Clear();
    return std::nullopt;
  }
  try {
    step.Redo(*lists[id]);
  } catch (...) {
    if (!step.SingleEdit()) Clear();
    throw;
  }
  ++done_;
  const Replayed replayed{step.list_id(), step.view_after()};
  Trim();
  return replayed;
}

void UndoHistory::Clear() noexcept {
  steps_.clear();
  done_ = 0;
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
