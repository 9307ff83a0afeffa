// Everything modal that the window shows, behind one small interface: the
// text prompt, the message boxes and the file dialog. The window receives a
// Dialogs and never opens a dialog of its own, so tests can script every
// answer.
//
// Texts and paths are byte strings. Paths are as FilePaths.h makes them (the
// file system's own bytes; UTF-8 on Windows), texts typed by the user are
// UTF-8.

#ifndef KARVELLO_APP_DIALOGS_H_
#define KARVELLO_APP_DIALOGS_H_

#include <cstdint>
#include <memory>
#include <string>

class QWidget;

namespace karvello {

// The caption of every message box and of the text prompt.
inline constexpr char kAppTitle[] = "Tessolin";

// Open-file-name flags that the file dialog honours; other bits are kept but
// have no effect.
inline constexpr std::uint32_t kOfnOverwritePrompt = 0x2;
inline constexpr std::uint32_t kOfnAllowMultiSelect = 0x200;

// One use of the file dialog.
struct FileDialogRequest {
  enum class Kind { kOpen, kSave };
  Kind kind = Kind::kOpen;
  std::uint32_t flags = 0;
  std::string title;
  // Entries in the "Name|pattern|Name|pattern|" form; patterns separated by
  // ";" within one entry.
  std::string filter;
  // The name proposed: empty, one path, or a folder and names separated by
  // NUL characters as a multiple choice reports them.
  std::string file_name;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal prompt with `prompt` above an empty field, `title` as caption,
  // and OK and Cancel. Returns the text as typed, or "" when cancelled.
  virtual std::string InputBox(QWidget* parent, const std::string& prompt,
                               const std::string& title) = 0;

  // A modal message box without an icon and with an OK button only.
  virtual void MsgBox(QWidget* parent, const std::string& text,
                      const std::string& title) = 0;

  // A modal message box without an icon and with Yes and No buttons.
  // Returns true for Yes; closing it otherwise counts as No.
  virtual bool MsgBoxYesNo(QWidget* parent, const std::string& text,
                           const std::string& title) = 0;

  // Shows the open or save dialog. Returns "" when cancelled, the full path
  // of one file, or, for several files, the folder followed by each file
  // name, all separated by NUL characters.
  virtual std::string ShowFileDialog(QWidget* parent,
                                     const FileDialogRequest& request) = 0;
};

// The dialogs of the platform, through Qt.
std::unique_ptr<Dialogs> MakeQtDialogs();

}  // namespace karvello

#endif  // KARVELLO_APP_DIALOGS_H_
