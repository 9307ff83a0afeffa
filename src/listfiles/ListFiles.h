// Reading and writing list files, and the file-existence test.
//
// A list file is read as comma- or line-separated fields, one item per field,
// and written as one item per line, each followed by CR LF. Items are bytes:
// nothing is decoded or re-encoded on the way, so a list whose items hold no
// comma, quote or line end reads back byte for byte as it was written.

#ifndef KARVELLO_LISTFILES_LISTFILES_H_
#define KARVELLO_LISTFILES_LISTFILES_H_

#include <string>
#include <string_view>

#include "listfiles/ListFileReader.h"
#include "lists/ItemList.h"

namespace karvello {

// What the list-file routines say to the user. The window shows these as
// message boxes; the command-line tool writes them to standard error.
class ListFileUi {
 public:
  virtual ~ListFileUi() = default;
  // A message with an OK button only, such as "File not found".
  virtual void Message(std::string_view text) = 0;
  // A question with Yes and No buttons; returns true for Yes.
  virtual bool AskYesNo(std::string_view question) = 0;
  // A file that could not be read or written. `text` names the path and the
  // reason.
  virtual void Error(std::string_view text) = 0;
};

// True when the file system can report the last-modification time of `path`
// (a file or a folder); false on any failure. Never throws, never reports.
bool FileExists(const std::string& path) noexcept;

// Appends the items of the list file at `path` to `list`, in file order, and
// reports nothing. Returns 0, or the errno of the open or read that failed:
// ENOENT or ENOTDIR when no file has that name. Items read before a read
// error stay. When memory or the list runs out, throws what ItemList::AddItem
// throws. The file is closed in every case. `split` chooses how fields end
// (see ListFileReader.h).
[[nodiscard]] int AppendListFile(
    ItemList& list, const std::string& path,
    FieldSplit split = FieldSplit::kCommasAndLines);

// Appends the items of the list file at `path` to `list`, in file order.
// A path that FileExists rejects gets ui.Message("File not found") and leaves
// the list unchanged. A path that exists but cannot be read gets ui.Error(...)
// naming the path and the reason; items appended before a read error stay.
// Returns true when the whole file was read.
bool LoadListFile(ItemList& list, const std::string& path, ListFileUi& ui);

enum class SaveOutcome { kSaved, kDeclined, kFailed };

// Writes every item of `list` to `path`, each followed by CR LF. When the file
// exists, asks "Are you sure you wish to overwrite " + path + " ?" first and
// writes nothing on No. The new content goes to a temporary file in the same
// folder that replaces `path` only once it is complete, so a failed write
// leaves any old file byte for byte as it was; the failure gets ui.Error(...)
// naming the path and the reason. The list is never changed.
SaveOutcome SaveListFile(const ItemList& list, const std::string& path,
                         ListFileUi& ui);

// The texts of ui.Error(...): "Cannot read " / "Cannot save " + path + ": " +
// reason, such as "Cannot read /tmp/a: Is a directory".
std::string ReadErrorText(const std::string& path, std::string_view reason);
std::string SaveErrorText(const std::string& path, std::string_view reason);

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_LISTFILES_H_
