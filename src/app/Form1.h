// The main window: two lists side by side, each in a panel with ten command
// buttons, and the handlers that run every command.
//
// Each command button is a checkable push button. A press puts it down and
// runs its handler, which puts it up again before anything else and then runs
// the button's command once; a change to up runs nothing. Every modal dialog
// goes through the Dialogs given to the constructor.
//
// Every change to a list (a command, a Load, a paste, a drop, a
// double-click removal) is one step of an undo history shared by both lists:
// Ctrl+Z undoes the last one, Ctrl+Shift+Z and Ctrl+Y redo, wherever the
// focus is in the window, and the list comes back with its items, order,
// selection, horizontal extent and scroll position. In a list, Ctrl+C copies
// the selected item and Ctrl+V appends the clipboard's text, read as a list
// file is. A right click on a list opens a menu with its item count and the
// same commands; files dropped on a list or its panel are loaded into it as
// a Load of those files would, and dropped text is pasted.
//
// An error that leaves a handler (memory exhausted, a failure inside an
// operation) is caught by the handler's one wrapper and shown in a message
// box naming the command; what the command did before the error stays done
// and the window goes on.

#ifndef KARVELLO_APP_FORM1_H_
#define KARVELLO_APP_FORM1_H_

#include <QCursor>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/CommonDialog.h"
#include "app/Dialogs.h"
#include "app/ListBox.h"
#include "lists/UndoHistory.h"

class QAction;
class QDropEvent;
class QGroupBox;
class QMimeData;
class QPushButton;
class QStyle;

namespace karvello {

class Form1 : public QWidget {
  Q_OBJECT

 public:
  // What a command button runs.
  enum class Command {
    kLoad,
    kSave,
    kClear,
    kRemoveWith,
    kRemoveWithout,
    kRemoveBlanks,
    kSubtract,
    kKeepMatches,
    kDupesExceptFirst,
    kAllDupes,
  };

  // Builds the window and runs its start-up: size, centre, caption and the
  // hand pointer from HAND-M.CUR in the program's folder. `dialogs` must
  // outlive the window.
  explicit Form1(Dialogs& dialogs, QWidget* parent = nullptr);

  // The pointer shown over the window and its controls: 0 the default,
  // 1 the arrow, 99 the hand (the cursor read from HAND-M.CUR, or the
  // platform's pointing hand when none was read). Other values show the
  // default.
  int MousePointer() const { return mouse_pointer_; }
  void SetMousePointer(int value);
  // The cursor read at start-up, if any.
  const std::optional<QCursor>& MouseIcon() const { return mouse_icon_; }

  ListBox& List1() { return *list1_; }
  ListBox& List2() { return *list2_; }
  CommonDialog& CommonDialog1() { return common_dialog1_; }

  // Takes back the last change, or makes again the last one taken back.
  void Undo();
  void Redo();
  // The clipboard: the selected item of `list`, every item one per line,
  // and the clipboard's text appended to `list`.
  void CopyItem(ListBox& list);
  void CopyList(ListBox& list);
  void Paste(ListBox& list);
  // The history, for tests and benchmarks.
  const UndoHistory& History() const { return history_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void BuildControls();
  // The command buttons, from the command table.
  void BuildButtons();
  void SetTabOrder();
  void FormLoad();
  void FitOuterSize();

  void BuildActions();
  void ShowListMenu(ListBox& list, QPoint at);

  // The press pattern of button `n`, then its command.
  void CheckClick(int n);
  void RunCommand(Command command, ListBox& list, ListBox& other);
  // Runs `change` on `list` as one undo step, guarded as Guarded is.
  void Change(ListBox& list, const QString& what,
              const std::function<void()>& change);
  void Replay(bool redo);
  ListBox* ListFor(QObject* watched) const;
  bool HandleDrop(ListBox& list, QEvent* event);
  void AppendText(ListBox& list, const QByteArray& bytes);
  // Runs `handler`; an exception that leaves it is shown as "`what` failed"
  // and both lists are redrawn with whatever the handler left in them.
  void Guarded(const QString& what, const std::function<void()>& handler);

  void LoadPress(ListBox& list);
  void LoadFiles(ListBox& list, const std::vector<std::string>& paths);
  void SavePress(ListBox& list);
  void ListDblClick(ListBox& list);

  Dialogs& dialogs_;
  CommonDialog common_dialog1_;
  QGroupBox* frame1_ = nullptr;
  QGroupBox* frame2_ = nullptr;
  ListBox* list1_ = nullptr;
  ListBox* list2_ = nullptr;
  std::array<QPushButton*, 21> check_{};  // check_[n] is Check<n>, 1..20.
  std::array<int, 21> entry_{};           // the table row of Check<n>
  QPushButton* command1_ = nullptr;
  QSize outer_size_;
  bool fitted_ = false;
  int mouse_pointer_ = 0;
  std::optional<QCursor> mouse_icon_;
  UndoHistory history_;
  QAction* undo_action_ = nullptr;
  QAction* redo_action_ = nullptr;
  QStyle* frame_style_ = nullptr;  // owned by the window
};

}  // namespace karvello

#endif  // KARVELLO_APP_FORM1_H_
