// The window's file dialog component: the settings of the next open or save
// dialog, and the files chosen, of which the first is proposed again the
// next time.
//
// Example:
//   dialog.SetFlags(0x280201);
//   dialog.SetDialogTitle("Load List(s)");
//   dialog.SetFilter("All Files (*.*)|*.*|");
//   dialog.ShowOpen();
//   dialog.FileNames();   // {}, {"/a/b.txt"} or {"/a/b.txt", "/a/c.txt"}

#ifndef KARVELLO_APP_COMMONDIALOG_H_
#define KARVELLO_APP_COMMONDIALOG_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/Dialogs.h"

class QWidget;

namespace karvello {

class CommonDialog {
 public:
  // `dialogs` and `parent` must outlive this object.
  CommonDialog(Dialogs& dialogs, QWidget* parent)
      : dialogs_(dialogs), parent_(parent) {}

  void SetFlags(std::uint32_t flags) { flags_ = flags; }
  void SetDialogTitle(std::string title) { title_ = std::move(title); }
  void SetFilter(std::string filter) { filter_ = std::move(filter); }
  // The full paths chosen by the last use, in order; none after a cancel.
  const std::vector<std::string>& FileNames() const { return file_names_; }

  // Show the dialog, proposing the first of FileNames(), and return when the
  // user closes it.
  void ShowOpen() { Show(FileDialogRequest::Kind::kOpen); }
  void ShowSave() { Show(FileDialogRequest::Kind::kSave); }

 private:
  void Show(FileDialogRequest::Kind kind) {
    FileDialogRequest request{kind, flags_, title_, filter_,
                              file_names_.empty() ? "" : file_names_[0]};
    file_names_ = dialogs_.ShowFileDialog(parent_, request);
  }

  Dialogs& dialogs_;
  QWidget* parent_;
  std::uint32_t flags_ = 0;
  std::string title_;
  std::string filter_;
  std::vector<std::string> file_names_;
};

}  // namespace karvello

#endif  // KARVELLO_APP_COMMONDIALOG_H_
