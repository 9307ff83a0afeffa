// The simple case folding of one code point from a source other than the
// table the program folds with: ICU's on Linux; on Windows, where there is
// no ICU, Unicode's data file itself, read line by line (its path is the
// KARVELLO_CASE_FOLDING_FILE the build defines).

#ifndef KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_
#define KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_

#ifdef KARVELLO_CASE_FOLDING_FILE
#include <cstdio>
#include <cstdlib>
#include <map>
#else
#include <unicode/uchar.h>
#endif

namespace karvello::testing {

inline char32_t ReferenceFold(char32_t c) {
#ifdef KARVELLO_CASE_FOLDING_FILE
  static const std::map<char32_t, char32_t> folds = [] {
    std::map<char32_t, char32_t> read;
    std::FILE* data = std::fopen(KARVELLO_CASE_FOLDING_FILE, "r");
    char line[512];
    // Lines such as "0041; C; 0061; # LATIN CAPITAL LETTER A".
    while (data != nullptr && std::fgets(line, sizeof line, data) != nullptr) {
      unsigned code, mapping;
      char status;
      if (std::sscanf(line, "%x; %c; %x;", &code, &status, &mapping) == 3 &&
          (status == 'C' || status == 'S')) {
        read[code] = mapping;
      }
    }
    if (data != nullptr) std::fclose(data);
    if (read.size() < 1000) std::abort();  // no data file, or a broken one
    return read;
  }();
  const auto found = folds.find(c);
  return found == folds.end() ? c : found->second;
#else
  return static_cast<char32_t>(
      u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
#endif
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_
