#include "listfiles/ListFiles.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "listfiles/ItemWriter.h"
#include "listfiles/ListFileReader.h"
#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"

namespace karvello {

bool FileExists(const std::string& path) noexcept {
  // A name with a NUL in it names no file; the system would see only the
  // part before the NUL.
  if (path.find('\0') != std::string::npos) return false;
  return CanReadTime(path);
}

int AppendListFile(ItemList& list, const std::string& path, FieldSplit split) {
  if (path.find('\0') != std::string::npos) return ENOENT;
  const int fd = OpenToRead(path);
  if (fd < 0) return errno;
  // Closed however the read ends, an exception included.
  const std::unique_ptr<const int, void (*)(const int*)> closer(
      &fd, [](const int* open) { ::close(*open); });
  return ReadListFd(fd, list, RegularFileSize(fd), split);
}

SaveOutcome SaveListFile(const ItemList& list, const std::string& path,
                         ListFileUi& ui, const SaveRunner& run) {
  if (FileExists(path) &&
      !ui.AskYesNo("Are you sure you wish to overwrite " + path + " ?")) {
    return SaveOutcome::kDeclined;
  }
  bool out_of_memory = false;
  const SaveWrite write = [&](const std::atomic<bool>& cancel) {
    try {
      return ReplaceWithOutput(path, [&](int fd) {
        const int error = WriteListFd(list, fd, kCrLf);
        // Checked once the content is complete: the replacing that follows
        // cannot be taken back.
        return error == 0 && cancel ? ECANCELED : error;
      });
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
      return ENOMEM;
    }
  };
  const std::atomic<bool> never = false;
  const int error = run ? run(write) : write(never);
  if (error == ECANCELED) return SaveOutcome::kCancelled;
  if (out_of_memory) {
    ui.Error(Status::Save(path, "not enough memory", ENOMEM));
    return SaveOutcome::kFailed;
  }
  if (error != 0) {
    ui.Error(Status::Save(path, error));
    return SaveOutcome::kFailed;
  }
  return SaveOutcome::kSaved;
}

}  // namespace karvello
