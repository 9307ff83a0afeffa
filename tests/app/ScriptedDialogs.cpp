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

std::string ScriptedDialogs::Report() const {
  std::string report;
  for (const std::string& f : failures_) report += f + "\n";
  for (const Step& step : script_) {
    report += std::string("not shown: ") + KindName(step.kind) + " \"" +
              step.text + "\"\n";
  }
  return report;
}

ScriptedDialogs::Step ScriptedDialogs::Take(Kind kind, const std::string& text,
                                            const std::string& title) {
  const std::string shown = KindName(kind) + (" \"" + text + "\"");
  if (title != kAppTitle) failures_.push_back(shown + " captioned " + title);
  if (script_.empty() || script_.front().kind != kind) {
    failures_.push_back("unexpected " + shown);
    return {kind, {}, {{}}};
  }
  Step step = std::move(script_.front());
  script_.pop_front();
  if (!step.text.empty() && text != step.text) {
    failures_.push_back(shown + ", expected \"" + step.text + "\"");
  }
  if (step.during) step.during();
  return step;
}

std::string ScriptedDialogs::InputBox(QWidget*, const std::string& prompt,
                                      const std::string& title) {
  return Take(Kind::kInputBox, prompt, title).answer[0];
}

void ScriptedDialogs::MsgBox(QWidget*, const std::string& text,
                             const std::string& title) {
  Take(Kind::kMsgBox, text, title);
}

bool ScriptedDialogs::MsgBoxYesNo(QWidget*, const std::string& text,
                                  const std::string& title) {
  return Take(Kind::kYesNo, text, title).yes;
}

std::vector<std::string> ScriptedDialogs::ShowFileDialog(
    QWidget*, const FileDialogRequest& request) {
  file_requests.push_back(request);
  const bool save = request.kind == FileDialogRequest::Kind::kSave;
  std::vector<std::string> paths =
      Take(save ? Kind::kSave : Kind::kOpen, request.title, kAppTitle).answer;
  // {""}: a cancelled save dialog, or an unexpected dialog.
  if (paths.size() == 1 && paths[0].empty()) paths.clear();
  return paths;
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
