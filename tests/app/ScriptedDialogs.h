// A scripted stand-in for the window's dialogs. Expectations come first, in
// the order the calls must arrive; each call takes the next one, answers as
// scripted and records any mismatch: a call with no expectation left, of
// another kind, with another text or a caption other than the application
// title. Done() is true when every expectation was used and nothing failed;
// Report() says what went wrong. A progress window that was not expected is
// no failure (how long a read takes is the machine's business): it waits
// until the work is done.

#ifndef KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_
#define KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Dialogs.h"

namespace karvello {

class ScriptedDialogs final : public Dialogs {
 public:
  enum class Kind { kInputBox, kMsgBox, kYesNo, kOpen, kSave, kProgress };

  // `during` runs while the dialog would be open, for checks of the window's
  // state at that moment.
  ScriptedDialogs& ExpectInputBox(std::string answer,
                                  std::function<void()> during = {});
  ScriptedDialogs& ExpectMsgBox(std::string text);
  // A message box whose text contains `part`.
  ScriptedDialogs& ExpectMsgBoxContaining(std::string part);
  ScriptedDialogs& ExpectYesNo(std::string question, bool answer);
  ScriptedDialogs& ExpectOpen(std::vector<std::string> paths);
  ScriptedDialogs& ExpectSave(std::string path);
  // A progress window, cancelled once `during` has run.
  ScriptedDialogs& ExpectProgress(std::function<void()> during);

  bool Done() const { return failures_.empty() && script_.empty(); }
  std::string Report() const;
  // Every file dialog request seen, in order.
  std::vector<FileDialogRequest> file_requests;

  std::string InputBox(QWidget* parent, const std::string& prompt,
                       const std::string& title) override;
  void MsgBox(QWidget* parent, const std::string& text,
              const std::string& title) override;
  bool MsgBoxYesNo(QWidget* parent, const std::string& text,
                   const std::string& title) override;
  std::vector<std::string> ShowFileDialog(
      QWidget* parent, const FileDialogRequest& request) override;
  bool ShowProgress(QWidget* parent, const std::string& text,
                    const std::function<Progress()>& poll) override;

 private:
  struct Step {
    Kind kind;
    std::string text;  // expected text, or part of it when `partial`
    bool partial = false;
    std::vector<std::string> answer;
    bool yes = false;
    std::function<void()> during = {};
  };
  ScriptedDialogs& Add(Step step);
  // The next step, taken and checked against a call of `kind` showing
  // `text` with `title`; nullptr when it is not one.
  const Step* Take(Kind kind, const std::string& text,
                   const std::string& title);

  std::deque<Step> script_;
  Step current_{};
  std::vector<std::string> failures_;
};

}  // namespace karvello

#endif  // KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_
