#include "listfiles/ListFiles.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

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
                         ListFileUi& ui) {
  if (FileExists(path) &&
      !ui.AskYesNo("Are you sure you wish to overwrite " + path + " ?")) {
    return SaveOutcome::kDeclined;
  }
  int error = 0;
  try {
    error = ReplaceWithList(list, path, kCrLf);
  } catch (const std::bad_alloc&) {
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
