#include "ScriptedDialogs.h"

#include <utility>

namespace karvello {
namespace {

const char* KindName(ScriptedDialogs::Kind kind) {
  static constexpr const char* kNames[] = {
      "prompt", "message box", "yes/no box", "open dialog", "save dialog"};
  return kNames[static_cast<int>(kind)];
}

}  // namespace

ScriptedDialogs& ScriptedDialogs::ExpectInputBox(std::string answer,
                                                 std::function<void()> during) {
  script_.push_back({Kind::kInputBox, "Enter string: ", false,
                     std::move(answer), false, std::move(during)});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::ExpectMsgBox(std::string text) {
  script_.push_back({Kind::kMsgBox, std::move(text), false, {}, false, {}});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::ExpectMsgBoxContaining(std::string part) {
  script_.push_back({Kind::kMsgBox, std::move(part), true, {}, false, {}});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::ExpectYesNo(std::string question,
                                              bool answer) {
  script_.push_back({Kind::kYesNo, std::move(question), false, {}, answer, {}});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::ExpectOpen(std::string result) {
  script_.push_back({Kind::kOpen, {}, false, std::move(result), false, {}});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::ExpectSave(std::string result) {
  script_.push_back({Kind::kSave, {}, false, std::move(result), false, {}});
  return *this;
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
                                                   const std::string& what) {
  if (script_.empty()) {
    failures_.push_back(std::string("unexpected ") + KindName(kind) + " \"" +
                        what + "\"");
    return nullptr;
  }
  current_ = std::move(script_.front());
  script_.pop_front();
  if (current_.kind != kind) {
    failures_.push_back(std::string("expected ") + KindName(current_.kind) +
                        " \"" + current_.text + "\", got " + KindName(kind) +
                        " \"" + what + "\"");
    return nullptr;
  }
  const bool matches = current_.partial
                           ? what.find(current_.text) != std::string::npos
                           : (kind == Kind::kOpen || kind == Kind::kSave ||
                              what == current_.text);
  if (!matches) {
    failures_.push_back(std::string(KindName(kind)) + " shows \"" + what +
                        "\", expected \"" + current_.text + "\"");
  }
  if (current_.during) current_.during();
  return &current_;
}

void ScriptedDialogs::CheckTitle(const std::string& title,
                                 const std::string& what) {
  if (title != kAppTitle) {
    failures_.push_back("caption \"" + title + "\" on \"" + what + "\"");
  }
}

std::string ScriptedDialogs::InputBox(QWidget*, const std::string& prompt,
                                      const std::string& title) {
  CheckTitle(title, prompt);
  const Step* step = Take(Kind::kInputBox, prompt);
  return step != nullptr ? step->answer : std::string();
}

void ScriptedDialogs::MsgBox(QWidget*, const std::string& text,
                             const std::string& title) {
  CheckTitle(title, text);
  Take(Kind::kMsgBox, text);
}

bool ScriptedDialogs::MsgBoxYesNo(QWidget*, const std::string& text,
                                  const std::string& title) {
  CheckTitle(title, text);
  const Step* step = Take(Kind::kYesNo, text);
  return step != nullptr && step->yes;
}

std::string ScriptedDialogs::ShowFileDialog(QWidget*,
                                            const FileDialogRequest& request) {
  file_requests_.push_back(request);
  const bool save = request.kind == FileDialogRequest::Kind::kSave;
  const Step* step = Take(save ? Kind::kSave : Kind::kOpen, request.title);
  return step != nullptr ? step->answer : std::string();
}

}  // namespace karvello
