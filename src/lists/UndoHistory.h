// The undo history of a set of item lists: each step is one change to one
// list, recorded by what it removed, the range it appended or the order it
// gave the items (ItemList::Reorder) rather than by a copy of the list, and
// replayed backwards (Undo) and forwards (Redo).
//
// A step is opened before a change and closed after it. In between, the list
// reports every removal to the step (through lists/internal/UndoDoor.h),
// which keeps the removed items' positions as one bit per item and where
// their texts lie in the list's storage, which the history holds, so that
// nothing is copied; items appended show up as a count that grew, and only
// their range is kept until the step is undone. A Clear hands its whole list
// to the step, at no cost, and so does a change prepared beside the list
// (ItemList::Change), which brings what the step keeps along with it.
// The operations that change the list know nothing of this.
//
// Replaying gives back the list exactly as it was: items, order and
// selection, and the caller's view of it (a ViewState kept with the step).
// A step that changed nothing is not kept. Closing a step that changed
// something drops the steps that were undone. The history keeps at most
// `max_steps` steps and drops the oldest while its memory exceeds the limit,
// but never the newest step, so the last change can always be undone.
//
// A list must change only inside steps while it has a history: a replay
// first checks that the list has the count the step left, and when it does
// not, or when recording ran out of memory, the whole history is dropped
// rather than replayed against the wrong items.
//
//   UndoHistory history;
//   history.Open(0, list, view);   // list: a, b, a
//   RemoveDupesExceptFirst(list);  // list: a, b
//   history.Close(view);
//   history.Undo(lists);           // list: a, b, a
//   history.Redo(lists);           // list: a, b

#ifndef KARVELLO_LISTS_UNDOHISTORY_H_
#define KARVELLO_LISTS_UNDOHISTORY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lists/ItemList.h"

namespace karvello {

// What the caller shows of a list, kept with each step and given back by a
// replay: the first row shown, the sideways extent and scroll offset.
struct ViewState {
  std::int64_t top_index = 0;
  int horizontal_extent = 0;
  int horizontal_offset = 0;
  friend bool operator==(const ViewState&, const ViewState&) = default;
};

class UndoHistory {
 public:
  static constexpr std::size_t kDefaultMaxSteps = 100;

  UndoHistory();
  ~UndoHistory();
  UndoHistory(const UndoHistory&) = delete;
  UndoHistory& operator=(const UndoHistory&) = delete;

  // Starts recording a change of `list`, known to the replays as list number
  // `list_id` (its index in the span they take). `before` is the view before
  // the change. A step already open is closed first, with its view as it
  // was opened.
  void Open(int list_id, ItemList& list, const ViewState& before);
  // Ends the open step; `after` is the view after the change. Nothing
  // happens when no step is open.
  void Close(const ViewState& after) noexcept;

  // What a replay changed: which list, and the view to show for it.
  struct Replayed {
    int list_id;
    ViewState view;
  };
  // Takes back the newest step that is not undone, or redoes the oldest
  // undone step. A removal comes back by its index entries alone, so an
  // undo costs one pass over the list's index, not a copy of its texts.
  // `lists[id]` is list number id. Returns nothing when there is nothing to
  // replay, or when the history had to be dropped (see above). When memory runs
  // out the step stays where it was and std::bad_alloc is thrown; the list is
  // then unchanged.
  //
  // `prepared`, from PrepareReplay with the same lists and nothing changed
  // since, makes a reorder without a pass over the list; afterwards it
  // holds the list's old index, to be freed wherever that costs least.
  std::optional<Replayed> Undo(std::span<ItemList* const> lists,
                               ItemList::Change&& prepared = {});
  std::optional<Replayed> Redo(std::span<ItemList* const> lists,
                               ItemList::Change&& prepared = {});
  // The next Undo (`undo`) or Redo, when it is a reorder alone, worked out
  // beside the lists (ItemList::PrepareReorder) on any thread while neither
  // they nor the history change; an empty change otherwise, when Undo and
  // Redo do all the work themselves.
  ItemList::Change PrepareReplay(std::span<const ItemList* const> lists,
                                 bool undo) const;

  bool CanUndo() const noexcept { return done_ > 0; }
  bool CanRedo() const noexcept { return done_ < steps_.size(); }
  std::size_t StepCount() const noexcept { return steps_.size(); }
  void Clear() noexcept;

  // The bounds: at most `max_steps` steps (at least 1), and memory beyond
  // `bytes` given back by dropping the oldest steps. Applied at once.
  void SetLimits(std::size_t max_steps, std::size_t bytes);
  // The memory the steps hold, in bytes: removed texts kept in the lists'
  // storage, appended texts of undone steps, positions, and lists handed
  // over by a Clear.
  std::size_t MemoryBytes() const noexcept;

 private:
  class Step;

  // Undo (`undo`) or Redo.
  std::optional<Replayed> Replay(std::span<ItemList* const> lists, bool undo,
                                 ItemList::Change&& prepared);
  void Trim();
  void Unpin() noexcept;

  std::deque<std::unique_ptr<Step>> steps_;
  std::size_t done_ = 0;  // steps_[0 .. done_) are done, the rest undone
  std::unique_ptr<Step> open_;
  ItemList* open_list_ = nullptr;
  // The lists by number, whose removed bytes the steps keep (see
  // UndoDoor::HoldRemovedBytes); released when the history empties.
  std::vector<ItemList*> lists_;
  std::size_t max_steps_ = kDefaultMaxSteps;
  std::size_t max_bytes_ = std::size_t{64} << 20;
};

}  // namespace karvello

#endif  // KARVELLO_LISTS_UNDOHISTORY_H_
