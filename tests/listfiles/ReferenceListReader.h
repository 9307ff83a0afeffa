// A plain transcription of the list-file rules, line by line on a whole
// file, for checking the streaming reader against: the unit tests on seeded
// random input, the fuzzer on whatever it finds.

#ifndef KARVELLO_TESTS_LISTFILES_REFERENCELISTREADER_H_
#define KARVELLO_TESTS_LISTFILES_REFERENCELISTREADER_H_

#include <string>
#include <string_view>
#include <vector>

#include "support/Utf8.h"

namespace karvello::reference {

using ::karvello::testing::AppendUtf8;

// UTF-16 (without its byte-order mark) to UTF-8; whatever is not a valid
// code unit or pair becomes U+FFFD.
inline std::string ReferenceUtf16ToUtf8(std::string_view raw, bool little) {
  std::vector<char32_t> units;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    const auto lo = static_cast<unsigned char>(raw[i + (little ? 0 : 1)]);
    const auto hi = static_cast<unsigned char>(raw[i + (little ? 1 : 0)]);
    units.push_back(lo | (hi << 8));
  }
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
    }
  }
  if (raw.size() % 2 != 0) AppendUtf8(out, 0xFFFD);
  return out;
}

// The comma-separated fields of one line, quotes respected.
inline void AppendFields(std::string_view line,
                         std::vector<std::string>& items) {
  std::size_t field = 0;
  while (true) {
    std::string item;
    std::size_t rest = field;
    if (rest < line.size() && line[rest] == '"') {
      const std::size_t close = line.find('"', rest + 1);
      if (close != std::string_view::npos) {
        item = line.substr(rest + 1, close - rest - 1);
        rest = close + 1;
      }
    }
    const std::size_t comma = std::min(line.find(',', rest), line.size());
    item += line.substr(rest, comma - rest);
    items.push_back(item);
    if (comma == line.size()) break;
    field = comma + 1;
  }
}

// `lines_only`: each line is one item, commas and quotes included.
inline std::vector<std::string> ReferenceListItems(std::string_view file,
                                                   bool lines_only = false) {
  std::string decoded;
  if (file.starts_with("\xEF\xBB\xBF")) {
    file.remove_prefix(3);
  } else if (file.starts_with("\xFF\xFE") || file.starts_with("\xFE\xFF")) {
    decoded = ReferenceUtf16ToUtf8(file.substr(2), file[0] == '\xFF');
    file = decoded;
  }
  std::vector<std::string> items;
  std::size_t i = 0;
  while (i < file.size()) {
    const std::size_t line_end =
        std::min(file.find_first_of("\r\n", i), file.size());
    const std::string_view line = file.substr(i, line_end - i);
    if (lines_only) {
      items.emplace_back(line);
    } else {
      AppendFields(line, items);
    }
    i = line_end;
    if (i < file.size()) {
      i += file.substr(i).starts_with("\r\n") ? 2 : 1;
    }
  }
  return items;
}

}  // namespace karvello::reference

#endif  // KARVELLO_TESTS_LISTFILES_REFERENCELISTREADER_H_
