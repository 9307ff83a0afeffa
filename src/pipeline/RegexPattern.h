// STRING as a regular expression in RE2's syntax, found anywhere in an
// item's key. RE2 takes time linear in the length of the text whatever the
// expression, so no pattern can stall a run.
//
//   std::unique_ptr<RegexPattern> pattern;
//   Status status = RegexPattern::Compile("^[0-9]+$", {}, pattern);
//   pattern->FoundIn("2024")  // true

#ifndef KARVELLO_PIPELINE_REGEXPATTERN_H_
#define KARVELLO_PIPELINE_REGEXPATTERN_H_

#include <memory>
#include <string_view>

#include "lists/ItemKey.h"
#include "lists/Operations.h"
#include "status/Status.h"

namespace re2 {
class RE2;
}

namespace karvello {

class RegexPattern : public Pattern {
 public:
  ~RegexPattern() override;

  // Compiles `expression` for keys made under `rules`: with ignore_case it
  // matches without regard to case, with normalize it is normalized as the
  // keys are. Bad usage, with RE2's reason, when it is no expression.
  static Status Compile(std::string_view expression, const KeyRules& rules,
                        std::unique_ptr<RegexPattern>& pattern);

  bool FoundIn(std::string_view key) const override;

 private:
  RegexPattern() = default;
  std::unique_ptr<re2::RE2> re_;
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_REGEXPATTERN_H_
