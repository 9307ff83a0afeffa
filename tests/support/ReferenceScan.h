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

// The plainest natural order: each text cut into runs of digits and of
// other bytes, a digit run standing for (its value's digits without leading
// zeros, ordered by count then bytes; then its whole length).
inline bool ReferenceNaturalLess(const std::string& a, const std::string& b) {
  const auto runs = [](const std::string& text) {
    std::vector<std::string> cut;
    for (char c : text) {
      const bool digit = c >= '0' && c <= '9';
      if (cut.empty() ||
          (cut.back()[0] >= '0' && cut.back()[0] <= '9') != digit) {
        cut.emplace_back();
      }
      cut.back() += c;
    }
    return cut;
  };
  const std::vector<std::string> x = runs(a), y = runs(b);
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
    const bool numbers =
        x[i][0] >= '0' && x[i][0] <= '9' && y[i][0] >= '0' && y[i][0] <= '9';
    if (!numbers) {
      if (x[i] != y[i]) return x[i] < y[i];
      continue;
    }
    const std::string u =
        x[i].substr(std::min(x[i].find_first_not_of('0'), x[i].size()));
    const std::string v =
        y[i].substr(std::min(y[i].find_first_not_of('0'), y[i].size()));
    if (u.size() != v.size()) return u.size() < v.size();
    if (u != v) return u < v;
    if (x[i].size() != y[i].size()) return x[i].size() < y[i].size();
  }
  return x.size() < y.size();
}

// The indices of `keys` in the order that `command` (sort or reverse)
// gives, items with equal keys in their order: order[k] is the item at
// place k. std::string compares as unsigned bytes.
inline std::vector<std::size_t> ReferenceOrder(
    std::string_view command, const std::vector<std::string>& keys,
    bool descending = false, bool natural = false) {
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (command == "reverse") {
    std::reverse(order.begin(), order.end());
    return order;
  }
  if (command != "sort") throw std::invalid_argument("no such command");
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) {
                     const std::string& x = keys[descending ? b : a];
                     const std::string& y = keys[descending ? a : b];
                     return natural ? ReferenceNaturalLess(x, y) : x < y;
                   });
  return order;
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_REFERENCESCAN_H_
