// The list-file writer on Windows, for now: saving is refused, with a
// reason, and nothing is written.

#include <cerrno>

#include "listfiles/ListFileWriter.h"

namespace karvello {

int ReplaceWithList(const ItemList&, const std::string&, std::string_view) {
  return ENOSYS;
}

}  // namespace karvello
