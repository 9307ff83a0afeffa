// Reading and writing list files, and the file-existence test: what the
// window's Load and Save do with a file. (The window reads on a thread of its
// own through the same reader, see app/BackgroundRead.h; karvello-cli reads
// through its pipeline and writes through the same item writer.)
//
// A list file is read as comma- or line-separated fields, one item per field,
// and written as one item per line, each followed by CR LF. Items are bytes:
// nothing is decoded or re-encoded on the way, so a list whose items hold no
// comma, quote or line end reads back byte for byte as it was written.

#ifndef KARVELLO_LISTFILES_LISTFILES_H_
#define KARVELLO_LISTFILES_LISTFILES_H_

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "listfiles/ListFileReader.h"
#include "lists/ItemList.h"
#include "status/Status.h"

namespace karvello {

// How SaveListFile asks and tells: the window answers with its dialogs.
class ListFileUi {
 public:
  virtual ~ListFileUi() = default;
  // A question with Yes and No buttons; returns true for Yes.
  virtual bool AskYesNo(std::string_view question) = 0;
  // Why a file could not be written (Status::Sentence() is the window's
  // text for it).
  virtual void Error(const Status& status) = 0;
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

enum class SaveOutcome { kSaved, kDeclined, kFailed, kCancelled };

// The writing part of a save, for SaveRunner: 0 or the errno of the step
// that failed. Once `cancel` is true when the new content is complete, the
// save fails with ECANCELED and leaves the old file as it was; a cancel that
// comes later is too late, and the file is replaced.
using SaveWrite = std::function<int(const std::atomic<bool>& cancel)>;
// Runs `write` to its end, on any thread, and returns what it returned. The
// window runs it on a thread of its own so that it goes on answering.
using SaveRunner = std::function<int(const SaveWrite& write)>;

// Writes every item of `list` to `path`, each followed by CR LF. When the file
// exists, asks "Are you sure you wish to overwrite " + path + " ?" first and
// writes nothing on No. The new content goes to a temporary file in the same
// folder that replaces `path` only once it is complete, so a failed write
// leaves any old file byte for byte as it was; the failure gets
// ui.Error(Status::Save(path, ...)), with the errno of the step that failed
// (ENOMEM when memory ran out). The list is never changed. `run` runs the
// writing, here and now when it is empty; a save it cancels in time reports
// nothing and returns kCancelled.
SaveOutcome SaveListFile(const ItemList& list, const std::string& path,
                         ListFileUi& ui, const SaveRunner& run = {});

}  // namespace karvello

#endif  // KARVELLO_LISTFILES_LISTFILES_H_
