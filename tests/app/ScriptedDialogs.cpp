#include "ScriptedDialogs.h"

#include <QCoreApplication>
#include <QThread>
#include <utility>

namespace karvello {
namespace {

const char* KindName(ScriptedDialogs::Kind kind) {
  static constexpr const char* kNames[] = {"prompt",      "message box",
                                           "yes/no box",  "open dialog",
                                           "save dialog", "progress window"};
  return kNames[static_cast<int>(kind)];
}

}  // namespace

ScriptedDialogs& ScriptedDialogs::Add(Step step) {
  script_.push_back(std::move(step));
  return *this;
}
ScriptedDialogs& ScriptedDialogs::ExpectInputBox(std::string answer,
                                                 std::function<void()> during) {
  return Add({Kind::kInputBox,
              "Enter string: ",
              false,
              {std::move(answer)},
              false,
              std::move(during)});
}
ScriptedDialogs& ScriptedDialogs::ExpectMsgBox(std::string text) {
  return Add({Kind::kMsgBox, std::move(text), false, {}});
}
ScriptedDialogs& ScriptedDialogs::ExpectMsgBoxContaining(std::string part) {
  return Add({Kind::kMsgBox, std::move(part), true, {}});
}
ScriptedDialogs& ScriptedDialogs::ExpectYesNo(std::string question,
                                              bool answer) {
  return Add({Kind::kYesNo, std::move(question), false, {}, answer});
}
ScriptedDialogs& ScriptedDialogs::ExpectOpen(std::vector<std::string> paths) {
  return Add({Kind::kOpen, {}, true, std::move(paths)});
}
ScriptedDialogs& ScriptedDialogs::ExpectSave(std::string path) {
  std::vector<std::string> answer;
  if (!path.empty()) answer.push_back(std::move(path));
  return Add({Kind::kSave, {}, true, std::move(answer)});
}
ScriptedDialogs& ScriptedDialogs::ExpectProgress(std::function<void()> during) {
  return Add({Kind::kProgress, {}, true, {}, false, std::move(during)});
}

std::string ScriptedDialogs::Report() const {
  std::string report;
  for (const std::string& f : failures_) report += f + "\n";
  for (const Step& step : script_) {
    report += std::string("expected but not shown: ") + KindName(step.kind) +
              " \"" + step.text + "\"\n";
  }
  return report;
}

const ScriptedDialogs::Step* ScriptedDialogs::Take(Kind kind,
                                                   const std::string& text,
                                                   const std::string& title) {
  const std::string shown = std::string(KindName(kind)) + " \"" + text + "\"";
  if (title != kAppTitle && kind != Kind::kOpen && kind != Kind::kSave) {
    failures_.push_back("caption \"" + title + "\" on " + shown);
  }
  if (script_.empty() || script_.front().kind != kind) {
    failures_.push_back("unexpected " + shown +
                        (script_.empty() ? ""
                                         : std::string(", expected ") +
                                               KindName(script_.front().kind)));
    return nullptr;
  }
  current_ = std::move(script_.front());
  script_.pop_front();
  if (current_.partial ? text.find(current_.text) == std::string::npos
                       : text != current_.text) {
    failures_.push_back(shown + ", expected \"" + current_.text + "\"");
  }
  if (current_.during) current_.during();
  return &current_;
}

std::string ScriptedDialogs::InputBox(QWidget*, const std::string& prompt,
                                      const std::string& title) {
  const Step* step = Take(Kind::kInputBox, prompt, title);
  return step != nullptr ? step->answer[0] : std::string();
}

void ScriptedDialogs::MsgBox(QWidget*, const std::string& text,
                             const std::string& title) {
  Take(Kind::kMsgBox, text, title);
}

bool ScriptedDialogs::MsgBoxYesNo(QWidget*, const std::string& text,
                                  const std::string& title) {
  const Step* step = Take(Kind::kYesNo, text, title);
  return step != nullptr && step->yes;
}

std::vector<std::string> ScriptedDialogs::ShowFileDialog(
    QWidget*, const FileDialogRequest& request) {
  file_requests.push_back(request);
  const bool save = request.kind == FileDialogRequest::Kind::kSave;
  const Step* step =
      Take(save ? Kind::kSave : Kind::kOpen, request.title, request.title);
  return step != nullptr ? step->answer : std::vector<std::string>();
}

bool ScriptedDialogs::ShowProgress(QWidget*, const std::string& text,
                                   const std::function<Progress()>& poll) {
  if (!script_.empty() && script_.front().kind == Kind::kProgress) {
    Take(Kind::kProgress, text, kAppTitle);
    return false;
  }
  while (!poll().done) {
    QCoreApplication::processEvents();
    QThread::msleep(5);
  }
  return true;
}

}  // namespace karvello
