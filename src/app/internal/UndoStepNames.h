// The names of an UndoHistory's steps, for the menu's "Undo Load (List 1)".
//
// The history keeps no names, but it shows how many steps it holds and
// which way it can replay, and it drops steps by a fixed rule: the oldest
// done steps first, then the undone steps farthest from the present. Told
// of every change and replay, this follows it from the count alone. Should
// the two ever part (the history dropped everything, or went another way),
// the steps it still holds stay unnamed.

#ifndef KARVELLO_APP_INTERNAL_UNDOSTEPNAMES_H_
#define KARVELLO_APP_INTERNAL_UNDOSTEPNAMES_H_

#include <QString>
#include <cstddef>
#include <deque>
#include <utility>

#include "lists/UndoHistory.h"

namespace karvello::internal {

class UndoStepNames {
 public:
  // After history.Close() of a step named `name`; `kept` when the change
  // changed something, so that the history kept the step.
  void Closed(const UndoHistory& history, bool kept, QString name) {
    if (kept) {
      names_.resize(done_);
      names_.push_back(std::move(name));
      done_ = names_.size();
    }
    Follow(history);
  }

  // After history.Undo() or Redo(); `replayed` when it replayed a step.
  void Replayed(const UndoHistory& history, bool redo, bool replayed) {
    if (replayed) done_ = redo ? done_ + 1 : done_ - 1;
    Follow(history);
  }

  // The step that Undo or Redo would replay; "" when none, or unnamed.
  QString UndoName() const { return done_ > 0 ? names_[done_ - 1] : QString(); }
  QString RedoName() const {
    return done_ < names_.size() ? names_[done_] : QString();
  }

 private:
  void Follow(const UndoHistory& history) {
    while (names_.size() > history.StepCount()) {
      if (done_ > 1) {
        names_.pop_front();
        --done_;
      } else {
        names_.pop_back();
      }
    }
    const bool agrees = names_.size() == history.StepCount() &&
                        (done_ > 0) == history.CanUndo() &&
                        (done_ < names_.size()) == history.CanRedo();
    if (!agrees) {
      names_.assign(history.StepCount(), QString());
      done_ = history.CanRedo() ? (history.CanUndo() ? 1 : 0) : names_.size();
    }
  }

  std::deque<QString> names_;
  std::size_t done_ = 0;  // names_[0 .. done_) are done, the rest undone
};

}  // namespace karvello::internal

#endif  // KARVELLO_APP_INTERNAL_UNDOSTEPNAMES_H_
