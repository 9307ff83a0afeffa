// The main window: two lists side by side, each in a panel with ten command
// buttons, and the handlers that run every command.
//
// Each command button is a push button with two states inside: a press puts
// it down and runs its handler, which puts it up again before anything else
// and then runs the button's command once; a change to up runs nothing.
// Assistive technology sees a push button with the action Press. Every modal
// dialog goes through the Dialogs given to the constructor.
//
// Every change to a list (a command, a Load, a paste, a drop, a removal by
// double-click or Delete) is one step of an undo history shared by both
// lists: Ctrl+Z undoes the last one, Ctrl+Shift+Z and Ctrl+Y redo, wherever
// the focus is in the window, and the list comes back with its items, order,
// selection, horizontal extent and scroll position. The history keeps up to
// 100 steps in up to a quarter of the machine's memory, dropping the oldest
// first. In a list, Ctrl+C copies the selected item, Ctrl+Shift+C the whole
// list and Ctrl+V appends the clipboard's text, read as a list file is: the
// window's own format first, then text/plain, so that the bytes stay as they
// were (what a copy offers is in ListClipboard.h); Ctrl+V on a button of a
// list's panel pastes into that list too. Delete selects the item that
// takes the removed one's place. A right click on a list, the Menu key or
// Shift+F10 opens a menu with
// its item count and the same commands, Undo and Redo naming the step they
// take back or make again. Files dropped on a list, its panel or a button of
// the panel are loaded into it as a Load of those files would (messages name
// the file), and dropped text is pasted; the drop itself ends first.
//
// A Load, a paste or drop, and every command that works on the items (the
// buttons' and More Commands') run on a thread of its own: the pointer
// shows the window busy at once, the window goes on painting for up to half
// a second (keys and clicks wait), and then shows a progress window whose
// Cancel leaves the list as it was, with no undo step; the window's close
// button there cancels too, and closes. The list changes in one go once the
// work is done, in a time that does not grow with the list: everything that
// does is made beside it first (ItemList::Change). No list changes while
// such work still reads it, also after a Cancel: the change waits for it,
// with the same progress window. A drop while a change is under way is
// refused.
//
// Each list's menu also opens More Commands (Ctrl+K in the list), a dialog
// that runs any row of the operation table with its options.
//
// An error that leaves a handler (memory exhausted, a failure inside an
// operation) is caught by the handler's one wrapper and shown in a message
// box naming the command; what the command did before the error stays done
// and the window goes on.

#ifndef KARVELLO_APP_FORM1_H_
#define KARVELLO_APP_FORM1_H_

#include <QByteArray>
#include <QCursor>
#include <QString>
#include <QWidget>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/BackgroundRead.h"
#include "app/BackgroundWork.h"
#include "app/CommonDialog.h"
#include "app/Dialogs.h"
#include "app/ListBox.h"
#include "app/ListCommand.h"
#include "listfiles/ListFiles.h"
#include "lists/UndoHistory.h"

class QAction;
class QGroupBox;
class QMimeData;
class QPushButton;
class QStyle;

namespace karvello {

class MoreCommands;

namespace internal {
class UndoStepNames;
}  // namespace internal

class Form1 : public QWidget {
  Q_OBJECT

 public:
  // Builds the window and runs its start-up: size, centre, caption and the
  // hand pointer from HAND-M.CUR in the program's folder. `dialogs` must
  // outlive the window.
  explicit Form1(Dialogs& dialogs, QWidget* parent = nullptr);
  ~Form1() override;

  // The pointer shown over the window and its controls: 0 the default,
  // 1 the arrow, 99 the hand (the cursor read from HAND-M.CUR, or the
  // platform's pointing hand when none was read). Other values show the
  // default.
  int MousePointer() const { return mouse_pointer_; }
  void SetMousePointer(int value);

  ListBox& List1() { return *list1_; }
  ListBox& List2() { return *list2_; }

  // Takes back the last change, or makes again the last one taken back.
  void Undo();
  void Redo();
  // The clipboard: the selected item of `list`, every item one per line,
  // and the clipboard's text appended to `list`.
  void CopyItem(ListBox& list);
  void CopyList(ListBox& list);
  void Paste(ListBox& list);

  // Test hook: the history, for benchmarks that report what it holds.
  const UndoHistory& HistoryForTesting() const { return history_; }

  // Starts `work`, which reads the lists and nothing else, on a thread of
  // its own. No list changes until it has ended.
  std::shared_ptr<BackgroundWork> StartReading(std::function<void()> work);
  // Runs `command` on `list`, the other list being OTHER, as one undo step
  // named `name` ("Remove Dupes, Ignoring Case"), off the window's thread.
  void Run(ListBox& list, const ListCommand& command, const QString& name);
  // The same with the plan that `work`, begun by StartReading, makes for
  // `list` as it is now: the step waits for it.
  void Carry(ListBox& list, const std::shared_ptr<BackgroundWork>& work,
             const std::shared_ptr<ListPlan>& plan, const QString& name);
  // A change or a wait for one is under way: what reads the lists must wait
  // for ListsChanged.
  bool Changing() const { return changing_; }
  // Opens More Commands for `list`, or brings it to the front.
  void OpenMoreCommands(ListBox& list);

 signals:
  // After every change, replay or abandoned change of a list.
  void ListsChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;

 private:
  class CommandButton;

  void BuildControls();
  ListBox* BuildList(const char* name, QGroupBox& frame);
  // The command buttons, from the command table.
  void BuildButtons();
  void SetTabOrder();
  void FormLoad();
  void FitOuterSize();

  void BuildActions();
  void ShowListMenu(ListBox& list, QPoint at);

  // The press pattern of button `n`, then its command.
  void CheckClick(int n);
  void RunOwnCommand(int row, ListBox& list, ListBox& other);
  // Inside a change: works out `command` off the window's thread, with the
  // progress window showing `what`, and makes it on `list`.
  void PlanAndCarry(ListBox& list, ListBox& other, const ListCommand& command,
                    const QString& what);
  // Makes `change`, prepared off the window's thread, on `list`.
  void Take(ListBox& list, ItemList::Change&& change);
  // Runs `change` on `list` as one undo step named `name`, guarded as
  // Guarded is, with `what` naming it in an error message.
  void Change(ListBox& list, const QString& name, const QString& what,
              const std::function<void()>& change);
  // Undo (or Redo) once no work reads the lists; ReplayStep replays, a
  // reorder worked out off the window's thread first.
  void Replay(bool redo);
  void ReplayStep(bool redo);
  // Waits for the work that reads the lists, with the busy pointer and,
  // after half a second, the progress window showing `what`; false when the
  // user cancelled (the work is then dropped, and still waited for by the
  // next change).
  [[nodiscard]] bool ListsFree(const QString& what);
  // Turns the event loop, without the user's input, until `done` or for
  // half a second; what `done` then says.
  bool WaitAnswering(const std::function<bool()>& done);
  // Waits for `work` as ListsFree does; true when it is done.
  [[nodiscard]] bool Await(const std::shared_ptr<BackgroundWork>& work,
                           const QString& what);
  ListBox* ListFor(QObject* watched) const;
  bool HandleDrop(ListBox& list, QEvent* event);
  // Runs `handler`; an exception that leaves it is shown as "`what` failed"
  // and both lists are redrawn with whatever the handler left in them.
  void Guarded(const QString& what, const std::function<void()>& handler);

  // The file dialog with the flags of both Load and Save; the paths chosen.
  std::vector<std::string> ChooseFiles(FileDialogRequest::Kind kind,
                                       const char* title, const char* filter);
  void LoadPress(ListBox& list);
  void SavePress(ListBox& list);
  // Runs a save's writing on a thread of its own, waited for as Await does;
  // a Cancel stops it when it comes before the new file is complete.
  int WriteAway(const SaveWrite& write, const QString& what);
  // Reads `paths` into `list` as a Load press does; `dropped` names each
  // file in its message.
  void LoadFiles(ListBox& list, const std::vector<std::string>& paths,
                 bool dropped);
  // Appends `parts` to `list` in one go, the copying done off the window's
  // thread (which `owner` keeps them alive for), with the progress window
  // showing `what`; the extent of the items `list` held before, or nothing
  // when the user cancelled.
  std::optional<int> AppendAway(ListBox& list,
                                const std::shared_ptr<void>& owner,
                                std::vector<ItemList*> parts,
                                const QString& what);
  // Appends `bytes`, read as a list file, to `list` as one step `name`.
  void AppendText(ListBox& list, const QByteArray& bytes, const QString& name);
  // Starts `sources` reading for `list`, measured as it draws them, and
  // waits for them, with a progress window after half a second; nullptr
  // when the user cancelled.
  std::shared_ptr<BackgroundRead> ReadAway(
      std::vector<BackgroundRead::Source> sources, const ListBox& list,
      const std::string& what);
  // Removes the selected item of `list`, if any. A double-click leaves
  // nothing selected; Delete selects the item that took its place, so that
  // the next Delete or arrow key goes on from there.
  void RemoveSelected(ListBox& list, bool select_next);

  Dialogs& dialogs_;
  CommonDialog common_dialog1_;
  QGroupBox* frame1_ = nullptr;
  QGroupBox* frame2_ = nullptr;
  ListBox* list1_ = nullptr;
  ListBox* list2_ = nullptr;
  std::array<CommandButton*, 21> check_{};  // check_[n] is Check<n>, 1..20.
  std::array<int, 21> entry_{};             // the table row of Check<n>
  QPushButton* command1_ = nullptr;
  QSize outer_size_;
  bool fitted_ = false;
  int mouse_pointer_ = 0;
  std::optional<QCursor> mouse_icon_;
  UndoHistory history_;
  std::unique_ptr<internal::UndoStepNames> step_names_;
  // A change runs. Only assistive technology can press a button behind the
  // modal windows a change may show, and such a press is ignored.
  bool changing_ = false;
  // The change under way changed the list, whatever its count: a reorder.
  bool changed_in_place_ = false;
  QStyle* frame_style_ = nullptr;  // owned by the window
  // Work that reads the lists and may not have ended.
  std::vector<std::shared_ptr<BackgroundWork>> readers_;
  std::array<MoreCommands*, 2> more_commands_{};  // owned by the window
};

}  // namespace karvello

#endif  // KARVELLO_APP_FORM1_H_
