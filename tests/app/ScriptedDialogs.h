// A scripted stand-in for the window's dialogs. Expectations come first, in
// the order the calls must arrive; each call takes the next one, answers as
// scripted and records any mismatch. A call with no expectation left, or of
// another kind, or with another text, is recorded as a failure and answered
// with nothing. Done() is true when every expectation was used and nothing
// failed; Report() says what went wrong.

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
  enum class Kind { kInputBox, kMsgBox, kYesNo, kOpen, kSave };

  // `during` runs while the dialog would be open, for checks of the window's
  // state at that moment.
  ScriptedDialogs& ExpectInputBox(std::string answer,
                                  std::function<void()> during = {});
  ScriptedDialogs& ExpectMsgBox(std::string text);
  // A message box whose text contains `part`.
  ScriptedDialogs& ExpectMsgBoxContaining(std::string part);
  ScriptedDialogs& ExpectYesNo(std::string question, bool answer);
  ScriptedDialogs& ExpectOpen(std::string result);
  ScriptedDialogs& ExpectSave(std::string result);

  bool Done() const { return failures_.empty() && script_.empty(); }
  std::string Report() const;
  // Every file dialog request seen, in order.
  const std::vector<FileDialogRequest>& FileRequests() const {
    return file_requests_;
  }

  std::string InputBox(QWidget* parent, const std::string& prompt,
                       const std::string& title) override;
  void MsgBox(QWidget* parent, const std::string& text,
              const std::string& title) override;
  bool MsgBoxYesNo(QWidget* parent, const std::string& text,
                   const std::string& title) override;
  std::string ShowFileDialog(QWidget* parent,
                             const FileDialogRequest& request) override;

 private:
  struct Step {
    Kind kind;
    std::string text;  // expected text (or part of it)
    bool partial = false;
    std::string answer;
    bool yes = false;
    std::function<void()> during;
  };
  // The next step if it is of `kind`; records a failure and returns nullptr
  // otherwise.
  const Step* Take(Kind kind, const std::string& what);
  void CheckTitle(const std::string& title, const std::string& what);

  std::deque<Step> script_;
  Step current_;
  std::vector<std::string> failures_;
  std::vector<FileDialogRequest> file_requests_;
};

}  // namespace karvello

#endif  // KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_
