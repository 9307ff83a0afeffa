// The list operations written out as the plainest scans over texts, one
// comparison at a time: the reference that the core operations and the
// command-line tool's operations are both checked against.

#ifndef KARVELLO_TESTS_SUPPORT_REFERENCESCAN_H_
#define KARVELLO_TESTS_SUPPORT_REFERENCESCAN_H_

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace karvello::testing {

// Which of `texts` stay after `command` (named as the command-line tool
// names it), byte for byte: kept[i] is true when item i stays. `search` is
// the text of remove-with and remove-without, where an empty one removes
// nothing; `other` the list that subtract and keep-matches look in.
//
//   ReferenceScan("dedupe", {"a", "b", "a"})  ->  true, true, false
inline std::vector<bool> ReferenceScan(
    std::string_view command, const std::vector<std::string>& texts,
    std::string_view search = {}, const std::vector<std::string>& other = {}) {
  const auto count = [&](const std::string& text) {
    return std::count(texts.begin(), texts.end(), text);
  };
  std::vector<bool> kept(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    const bool contains = text.find(search) != std::string::npos;
    const bool in_other =
        std::find(other.begin(), other.end(), text) != other.end();
    if (command == "dedupe") {
      kept[i] = std::find(texts.begin(), texts.begin() + i, text) ==
                texts.begin() + i;
    } else if (command == "remove-all-dupes") {
      kept[i] = count(text) == 1;
    } else if (command == "keep-dupes") {
      kept[i] = count(text) > 1 && std::find(texts.begin(), texts.begin() + i,
                                             text) == texts.begin() + i;
    } else if (command == "remove-with") {
      kept[i] = search.empty() || !contains;
    } else if (command == "remove-without") {
      kept[i] = search.empty() || contains;
    } else if (command == "remove-blanks") {
      kept[i] = !text.empty();
    } else if (command == "subtract") {
      kept[i] = !in_other;
    } else if (command == "keep-matches") {
      kept[i] = in_other;
    } else {
      throw std::invalid_argument("no such command");
    }
  }
  return kept;
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_REFERENCESCAN_H_
