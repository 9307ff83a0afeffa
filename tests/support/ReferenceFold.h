// The simple case folding of one code point from a source other than the
// table the program folds with: ICU's on Linux; on Windows, where there is
// no ICU, Unicode's data file itself, read line by line (its path is the
// KARVELLO_CASE_FOLDING_FILE the build defines).

#ifndef KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_
#define KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_

#ifdef KARVELLO_CASE_FOLDING_FILE
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#else
#include <unicode/uchar.h>
#endif

namespace karvello::testing {

#ifdef KARVELLO_CASE_FOLDING_FILE

inline char32_t ReferenceFold(char32_t c) {
  static const std::unordered_map<char32_t, char32_t> folds = [] {
    std::unordered_map<char32_t, char32_t> read;
    std::ifstream data(KARVELLO_CASE_FOLDING_FILE);
    // Lines such as "0041; C; 0061; # LATIN CAPITAL LETTER A".
    for (std::string line; std::getline(data, line);) {
      std::istringstream fields(line);
      std::string code, status, mapping;
      if (std::getline(fields, code, ';') &&
          std::getline(fields, status, ';') &&
          std::getline(fields, mapping, ';') &&
          (status == " C" || status == " S")) {
        read[std::stoul(code, nullptr, 16)] = std::stoul(mapping, nullptr, 16);
      }
    }
    if (read.size() < 1000) {
      std::fprintf(stderr, "cannot read the foldings of %s\n",
                   KARVELLO_CASE_FOLDING_FILE);
      std::abort();
    }
    return read;
  }();
  const auto found = folds.find(c);
  return found == folds.end() ? c : found->second;
}

#else

inline char32_t ReferenceFold(char32_t c) {
  return static_cast<char32_t>(
      u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

#endif

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_REFERENCEFOLD_H_
