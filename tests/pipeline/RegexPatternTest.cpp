#include "pipeline/RegexPattern.h"

#include <gtest/gtest.h>

#include <memory>

namespace karvello {
namespace {

TEST(RegexPatternTest, TheExpressionMeetsTheKeysAsTheirRulesMadeThem) {
  // The keys come folded and normalized; an expression written in capitals,
  // or with an accent as a separate mark, must find them all the same.
  struct Case {
    const char* expression;
    KeyRules rules;
    const char* key;
    bool found;
  };
  const Case cases[] = {
      {"^TEXT-[0-9]+$", {.ignore_case = true}, "text-12", true},
      {"^TEXT-[0-9]+$", {}, "text-12", false},
      // e and U+0301 against the key's é, U+00E9.
      {"^cafe\xCC\x81$", {.normalize = true}, "caf\xC3\xA9", true},
      {"^CAFE\xCC\x81",
       {.ignore_case = true, .normalize = true},
       "caf\xC3\xA9 noir",
       true},
      {"^cafe\xCC\x81$", {}, "caf\xC3\xA9", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    std::unique_ptr<RegexPattern> pattern;
    const Status status = RegexPattern::Compile(c.expression, c.rules, pattern);
    ASSERT_TRUE(status.ok()) << status.Message();
    EXPECT_EQ(pattern->FoundIn(c.key), c.found);
  }
}

}  // namespace
}  // namespace karvello
