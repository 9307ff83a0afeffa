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

#include <QCoreApplication>
#include <QThread>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Dialogs.h"

namespace karvello {

class ScriptedDialogs final : public Dialogs {
 public:
  // `during` runs while the dialog would be open, for checks of the window
  // at that moment. The progress window is cancelled after it.
  ScriptedDialogs& ExpectInputBox(std::string answer,
                                  std::function<void()> during = {}) {
    return Add({"prompt", "Enter string: ", {answer}, false, during});
  }
  ScriptedDialogs& ExpectMsgBox(std::string text) {
    return Add({"message", text});
  }
  ScriptedDialogs& ExpectYesNo(std::string question, bool answer) {
    return Add({"question", question, {}, answer});
  }
  ScriptedDialogs& ExpectOpen(std::vector<std::string> paths) {
    return Add({"open", {}, paths});
  }
  ScriptedDialogs& ExpectSave(std::string path) {
    return Add({"save", {}, {path}});
  }
  ScriptedDialogs& ExpectProgress(std::function<void()> during) {
    return Add({"progress", {}, {}, false, during});
  }

  bool Done() const { return failures_.empty() && script_.empty(); }
  std::string Report() const {
    std::string report = failures_;
    for (const Step& step : script_) {
      report += "not shown: " + step.kind + " \"" + step.text + "\"\n";
    }
    return report;
  }
  // Every file dialog request seen, in order.
  std::vector<FileDialogRequest> file_requests;
  // Progress windows shown, expected or not.
  int progress_windows = 0;

  std::string InputBox(QWidget*, const std::string& prompt,
                       const std::string& title) override {
    return Take("prompt", prompt, title).answer.at(0);
  }
  void MsgBox(QWidget*, const std::string& text,
              const std::string& title) override {
    Take("message", text, title);
  }
  bool MsgBoxYesNo(QWidget*, const std::string& text,
                   const std::string& title) override {
    return Take("question", text, title).yes;
  }
  std::vector<std::string> ShowFileDialog(
      QWidget*, const FileDialogRequest& request) override {
    file_requests.push_back(request);
    const bool save = request.kind == FileDialogRequest::Kind::kSave;
    std::vector<std::string> paths =
        Take(save ? "save" : "open", request.title, kAppTitle).answer;
    // {""}: a cancelled save dialog, or one not expected.
    if (paths.size() == 1 && paths[0].empty()) paths.clear();
    return paths;
  }
  bool ShowProgress(QWidget*, const std::string& text,
                    const std::function<Progress()>& poll) override {
    ++progress_windows;
    if (!script_.empty() && script_.front().kind == "progress") {
      Take("progress", text, kAppTitle);
      return false;
    }
    while (!poll().done) {
      QCoreApplication::processEvents();
      QThread::msleep(5);
    }
    return true;
  }

 private:
  struct Step {
    std::string kind;
    std::string text;  // expected; empty when any will do
    std::vector<std::string> answer = {""};
    bool yes = false;
    std::function<void()> during = {};
  };
  ScriptedDialogs& Add(Step step) {
    script_.push_back(std::move(step));
    return *this;
  }
  // The next step, checked against a call of `kind` showing `text` with
  // `title`; when it is not one, a failure and an empty answer.
  Step Take(const std::string& kind, const std::string& text,
            const std::string& title) {
    const std::string shown = kind + " \"" + text + "\"";
    if (title != kAppTitle) failures_ += shown + " captioned " + title + "\n";
    if (script_.empty() || script_.front().kind != kind) {
      failures_ += "unexpected " + shown + "\n";
      return {kind, {}};
    }
    Step step = std::move(script_.front());
    script_.pop_front();
    if (!step.text.empty() && text != step.text) {
      failures_ += shown + ", expected \"" + step.text + "\"\n";
    }
    if (step.during) step.during();
    return step;
  }

  std::deque<Step> script_;
  std::string failures_;
};

}  // namespace karvello

#endif  // KARVELLO_TESTS_APP_SCRIPTEDDIALOGS_H_
