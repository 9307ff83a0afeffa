#include <stdexcept>

#include "lists/internal/Normalization.h"

namespace karvello::internal {

// Windows has no ICU; its own NormalizeString works on UTF-16 and would
// need the ill-formed stretches kept apart, which the Windows port of the
// tool will do when it gets --normalize.
void AppendNormalized(std::string_view /*text*/, std::string& /*out*/) {
  throw std::runtime_error(
      "Unicode normalization is not supported on this build");
}

}  // namespace karvello::internal
