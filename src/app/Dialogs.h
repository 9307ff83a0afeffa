// Everything modal that the window shows, behind one small interface: the
// text prompt, the message boxes, the file dialog and the progress window.
// The window receives a Dialogs and never opens a dialog of its own, so tests
// can script every answer.
//
// Texts and paths are byte strings. Paths are as FilePaths.h makes them (the
// file system's own bytes; UTF-8 on Windows), texts typed by the user are
// UTF-8.

#ifndef KARVELLO_APP_DIALOGS_H_
#define KARVELLO_APP_DIALOGS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  // The path proposed: empty, or the first path of the previous choice.
  std::string file_name;
};

// What a long piece of work reports to the progress window.
struct Progress {
  bool done = false;
  // The part done, from 0 to 1, or negative while it cannot be known (a
  // pipe gives no size).
  double fraction = -1;
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

  // Shows the open or save dialog. Returns the full path of each file
  // chosen, in the order the dialog gives them; none when cancelled.
  virtual std::vector<std::string> ShowFileDialog(
      QWidget* parent, const FileDialogRequest& request) = 0;

  // A modal progress window with `text`, a bar and a Cancel button, shown
  // until `poll`, called every few tens of milliseconds on the window's
  // thread, reports the work done. Returns false when the user cancelled
  // first (Cancel, Escape or closing it).
  virtual bool ShowProgress(QWidget* parent, const std::string& text,
                            const std::function<Progress()>& poll) = 0;
};

// The dialogs of the platform, through Qt.
std::unique_ptr<Dialogs> MakeQtDialogs();

}  // namespace karvello

#endif  // KARVELLO_APP_DIALOGS_H_
