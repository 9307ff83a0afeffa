#include "listfiles/ListFiles.h"

// Placeholder bodies; the real routines replace these.
namespace karvello {
bool FileExists(const std::string&) noexcept { return false; }
bool LoadListFile(ItemList&, const std::string&, ListFileUi&) { return false; }
SaveOutcome SaveListFile(const ItemList&, const std::string&, ListFileUi&) {
  return SaveOutcome::kFailed;
}
}  // namespace karvello
