// RegexPattern in a build without RE2 (the Windows build when RE2 could not
// be built for it): --regex is not offered, and nothing compiles.

#include "pipeline/RegexPattern.h"

namespace re2 {
// Never built here; the unique_ptr's deleter only needs the name complete.
class RE2 {};
}  // namespace re2

namespace karvello {

RegexPattern::~RegexPattern() = default;

bool RegexPattern::Available() { return false; }

// Refusing the option is better than falling back to an engine that some
// patterns stall.
Status RegexPattern::Compile(std::string_view /*expression*/,
                             const KeyRules& /*rules*/,
                             std::unique_ptr<RegexPattern>& /*pattern*/) {
  return Status::Usage("--regex is not supported on this build");
}

bool RegexPattern::FoundIn(std::string_view /*key*/) const { return false; }

}  // namespace karvello
