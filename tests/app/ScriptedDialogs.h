// A scripted stand-in for the window's dialogs. Expectations come first, in
// the order the calls must arrive; each call takes the next one and answers
// as scripted. A call with no expectation left, of another kind, with
// another text or with a caption other than the application title is
// recorded as a failure. Done() is true when every expectation was used and
// nothing failed; Report() says what went wrong. A progress window that was
// not expected is no failure (how long a read takes is the machine's
// business): it waits until the work is done.

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

  // `during` runs while the dialog would be open, for checks of the window
  // at that moment. The progress window is cancelled after it.
  ScriptedDialogs& ExpectInputBox(std::string answer,
                                  std::function<void()> during = {}) {
    return Add({Kind::kInputBox, "Enter string: ", {answer}, false, during});
  }
  ScriptedDialogs& ExpectMsgBox(std::string text) {
    return Add({Kind::kMsgBox, text});
  }
  ScriptedDialogs& ExpectYesNo(std::string question, bool answer) {
    return Add({Kind::kYesNo, question, {}, answer});
  }
  ScriptedDialogs& ExpectOpen(std::vector<std::string> paths) {
    return Add({Kind::kOpen, {}, paths});
  }
  ScriptedDialogs& ExpectSave(std::string path) {
    return Add({Kind::kSave, {}, {path}});
  }
  ScriptedDialogs& ExpectProgress(std::function<void()> during) {
    return Add({Kind::kProgress, {}, {}, false, during});
  }

  bool Done() const { return failures_.empty() && script_.empty(); }
  std::string Report() const;
  // Every file dialog request seen, in order.
  std::vector<FileDialogRequest> file_requests;

  std::string InputBox(QWidget*, const std::string& prompt,
                       const std::string& title) override;
  void MsgBox(QWidget*, const std::string& text,
              const std::string& title) override;
  bool MsgBoxYesNo(QWidget*, const std::string& text,
                   const std::string& title) override;
  std::vector<std::string> ShowFileDialog(
      QWidget*, const FileDialogRequest& request) override;
  bool ShowProgress(QWidget*, const std::string& text,
                    const std::function<Progress()>& poll) override;

 private:
  struct Step {
    Kind kind;
    std::string text;  // expected; empty when any will do
    std::vector<std::string> answer = {};
    bool yes = false;
    std::function<void()> during = {};
  };
  ScriptedDialogs& Add(Step step);
  // The next step, checked against a call of `kind` showing `text` with
  // `title`; a step that answers nothing when it is not one.
  Step Take(Kind kind, const std::string& text, const std::string& title);

  std::deque<Step> script_;
  std::vector<std::string> failures_;
};

}  // namespace karvello

#endif  // KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_
