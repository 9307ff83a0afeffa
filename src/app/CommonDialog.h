// The window's file dialog component: the settings of the next open or save
// dialog, and the file name, which carries over from one use to the next.
//
// Example:
//   dialog.SetFlags(0x280201);
//   dialog.SetDialogTitle("Load List(s)");
//   dialog.SetFilter("All Files (*.*)|*.*|");
//   dialog.ShowOpen();
//   dialog.FileName();   // "", "/a/b.txt", or "/a\0b.txt\0c.txt"

#ifndef KARVELLO_APP_COMMONDIALOG_H_
#define KARVELLO_APP_COMMONDIALOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/Dialogs.h"

class QWidget;

namespace karvello {

// Splits a file dialog's result at every NUL character, keeping empty parts:
// "" gives one empty part, "/a\0b\0c" gives "/a", "b" and "c".
inline std::vector<std::string> SplitAtNul(const std::string& s) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto nul = s.find('\0', start);
    parts.push_back(s.substr(start, nul - start));
    if (nul == std::string::npos) return parts;
    start = nul + 1;
  }
}

class CommonDialog {
 public:
  // `dialogs` and `parent` must outlive this object.
  CommonDialog(Dialogs& dialogs, QWidget* parent)
      : dialogs_(dialogs), parent_(parent) {}

  void SetFlags(std::uint32_t flags) { flags_ = flags; }
  void SetDialogTitle(std::string title) { title_ = std::move(title); }
  void SetFilter(std::string filter) { filter_ = std::move(filter); }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string name) { file_name_ = std::move(name); }

  // Show the dialog, proposing FileName(), and return when the user closes
  // it. FileName() then holds the choice: one path, a folder and names
  // separated by NUL characters, or "" when the dialog was cancelled.
  void ShowOpen() { Show(FileDialogRequest::Kind::kOpen); }
  void ShowSave() { Show(FileDialogRequest::Kind::kSave); }

 private:
  void Show(FileDialogRequest::Kind kind) {
    FileDialogRequest request{kind, flags_, title_, filter_, file_name_};
    file_name_ = dialogs_.ShowFileDialog(parent_, request);
  }

  Dialogs& dialogs_;
  QWidget* parent_;
  std::uint32_t flags_ = 0;
  std::string title_;
  std::string filter_;
  std::string file_name_;
};

}  // namespace karvello

#endif  // KARVELLO_APP_COMMONDIALOG_H_
