// The main window: two lists side by side, each in a panel with ten command
// buttons, and the handlers that run every command.
//
// Each command button is a checkable push button. A press puts it down and
// runs its handler, which puts it up again before anything else and then runs
// the button's command once; a change to up runs nothing. Every modal dialog
// goes through the Dialogs given to the constructor.
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

#include "app/CommonDialog.h"
#include "app/Dialogs.h"
#include "app/ListBox.h"

class QGroupBox;
class QPushButton;

namespace karvello {

class Form1 : public QWidget {
  Q_OBJECT

 public:
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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void BuildControls();
  void FormLoad();
  void FitOuterSize();

  // The press pattern of button `n`, then its command.
  void CheckClick(int n);
  void RunCommand(int n);
  // Runs `handler`; an exception that leaves it is shown as "`what` failed"
  // and both lists are redrawn with whatever the handler left in them.
  void Guarded(const QString& what, const std::function<void()>& handler);

  void PromptAndRemove(ListBox& list, bool with);
  void LoadPress(ListBox& list);
  void SavePress(ListBox& list);
  void ListDblClick(ListBox& list);

  Dialogs& dialogs_;
  CommonDialog common_dialog1_;
  QGroupBox* frame1_ = nullptr;
  QGroupBox* frame2_ = nullptr;
  ListBox* list1_ = nullptr;
  ListBox* list2_ = nullptr;
  std::array<QPushButton*, 21> check_{};  // check_[n] is Check<n>, 1..20.
  QPushButton* command1_ = nullptr;
  QSize outer_size_;
  bool fitted_ = false;
  int mouse_pointer_ = 0;
  std::optional<QCursor> mouse_icon_;
};

}  // namespace karvello

#endif  // KARVELLO_APP_FORM1_H_
