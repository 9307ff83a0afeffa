// More Commands: a dialog that runs any row of the operation table on one of
// the window's lists, with the options of the command-line tool that the
// row takes, each under that option's meaning.
//
// Its controls, by their accessible names: the combo box "Command" (every
// row the window runs, by the buttons' captions where a button runs it:
// "Remove Dupes", "Subtract", ...; by the row's own name otherwise: "Keep
// Dupes", "Sort"), the line edit "String" with the check box "Regular
// expression" (RE2), the check boxes "Ignore case", "Trim spaces and tabs",
// "Normalize Unicode", "Keep the last copy", "Natural" and "Descending", the
// spin box "Field" (0 for the whole item) with the line edit "Delimiter"
// (one byte, Tab when empty), a line that says what the command would do
// ("Removes 1,204 of 2,000,000 items", "Sorts 2,000,000 items"),
// and the buttons "Apply" and "Close". A control is enabled only where the
// chosen row takes it; a STRING that is empty or no expression, or a
// delimiter that is not one byte, leaves Apply disabled, with the reason in
// the count line.
//
// The count is worked out off the window's thread whenever the settings or
// the lists change, and Apply uses it when it is still good: Apply makes the
// command one undo step ("Remove Dupes, Ignoring Case (List 1)") and leaves
// the dialog open. Close only hides the dialog, which keeps its settings for
// the next time. Ctrl+Z, Ctrl+Shift+Z and Ctrl+Y undo and redo as in the
// window.

#ifndef KARVELLO_APP_MORECOMMANDS_H_
#define KARVELLO_APP_MORECOMMANDS_H_

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>

#include "app/BackgroundWork.h"
#include "app/ListCommand.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace karvello {

class Form1;
class ListBox;

class MoreCommands final : public QDialog {
  Q_OBJECT

 public:
  // For `list`, one of `form`'s lists, the other being OTHER.
  MoreCommands(Form1& form, ListBox& list, int list_number);
  ~MoreCommands() override;

  // The command as the controls set it.
  ListCommand Command() const;
  // The name of `command` as its undo step and progress window show it:
  // "Remove Dupes, Ignoring Case".
  static QString NameOf(const ListCommand& command);
  // The row's name in the Command box.
  static QString RowName(Op op);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  // The Command box and the controls of STRING and the options.
  QFormLayout* BuildSettings();
  // Enables what the chosen row takes, checks the settings, and starts the
  // count.
  void Recount();
  void ShowCount();
  // Forgets the count, under way or done.
  void DropCount();
  void SetCountText(const QString& text);
  void Apply();
  QString Problem(const ListCommand& command) const;

  Form1& form_;
  ListBox& list_;
  QComboBox* command_ = nullptr;
  QLineEdit* search_ = nullptr;
  QCheckBox* regex_ = nullptr;
  QCheckBox* ignore_case_ = nullptr;
  QCheckBox* trim_ = nullptr;
  QCheckBox* normalize_ = nullptr;
  QCheckBox* keep_last_ = nullptr;
  QCheckBox* natural_ = nullptr;
  QCheckBox* descending_ = nullptr;
  QSpinBox* field_ = nullptr;
  QLineEdit* delimiter_ = nullptr;
  QLabel* count_ = nullptr;
  QPushButton* apply_ = nullptr;
  QTimer* poll_ = nullptr;

  // The count under way or done, for the lists as they were at `lists`.
  struct Count {
    ListCommand command;
    std::shared_ptr<ListPlan> plan;
    std::shared_ptr<BackgroundWork> work;
    std::uint64_t lists = 0;
    ItemList::Index items = 0;
  };
  std::optional<Count> count_work_;
  std::uint64_t lists_changes_ = 0;  // ListsChanged seen
};

}  // namespace karvello

#endif  // KARVELLO_APP_MORECOMMANDS_H_
