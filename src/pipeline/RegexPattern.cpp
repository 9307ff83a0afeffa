#include "pipeline/RegexPattern.h"

#include <re2/re2.h>

#include <string>

namespace karvello {

RegexPattern::~RegexPattern() = default;

bool RegexPattern::Available() { return true; }

Status RegexPattern::Compile(std::string_view expression, const KeyRules& rules,
                             std::unique_ptr<RegexPattern>& pattern) {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_case_sensitive(!rules.ignore_case);
  const std::string text =
      KeyOf(expression, KeyRules{.normalize = rules.normalize});
  auto re = std::make_unique<re2::RE2>(text, options);
  if (!re->ok()) {
    return Status::Usage("invalid regular expression: " + re->error());
  }
  pattern.reset(new RegexPattern());
  pattern->re_ = std::move(re);
  return Status();
}

bool RegexPattern::FoundIn(std::string_view key) const {
  return RE2::PartialMatch(re2::StringPiece(key.data(), key.size()), *re_);
}

}  // namespace karvello
