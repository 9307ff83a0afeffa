#include "listfiles/ListFiles.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "listfiles/ListFileReader.h"
#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"

namespace karvello {

std::string ReadErrorText(const std::string& path, std::string_view reason) {
  return "Cannot read " + path + ": " + std::string(reason);
}

std::string SaveErrorText(const std::string& path, std::string_view reason) {
  return "Cannot save " + path + ": " + std::string(reason);
}

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

bool LoadListFile(ItemList& list, const std::string& path, ListFileUi& ui) {
  if (!FileExists(path)) {
    ui.Message("File not found");
    return false;
  }
  std::string reason;
  try {
    if (int error = AppendListFile(list, path)) reason = std::strerror(error);
  } catch (const std::bad_alloc&) {
    reason = "not enough memory";
  } catch (const std::length_error& e) {
    reason = e.what();
  }
  if (!reason.empty()) {
    ui.Error(ReadErrorText(path, reason));
    return false;
  }
  return true;
}

SaveOutcome SaveListFile(const ItemList& list, const std::string& path,
                         ListFileUi& ui) {
  if (FileExists(path) &&
      !ui.AskYesNo("Are you sure you wish to overwrite " + path + " ?")) {
    return SaveOutcome::kDeclined;
  }
  std::string reason;
  try {
    if (int error = ReplaceWithList(list, path, kCrLf)) {
      reason = std::strerror(error);
    }
  } catch (const std::bad_alloc&) {
    reason = "not enough memory";
  }
  if (!reason.empty()) {
    ui.Error(SaveErrorText(path, reason));
    return SaveOutcome::kFailed;
  }
  return SaveOutcome::kSaved;
}

}  // namespace karvello
