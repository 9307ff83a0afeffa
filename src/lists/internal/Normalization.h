// Unicode normalization of item texts, behind one function so that a
// platform without ICU can put its own beside it.

#ifndef KARVELLO_LISTS_INTERNAL_NORMALIZATION_H_
#define KARVELLO_LISTS_INTERNAL_NORMALIZATION_H_

#include <string>
#include <string_view>

namespace karvello::internal {

// Appends the NFC form (canonical decomposition, then canonical
// composition) of the UTF-8 text `text` to `out`. Bytes that are not
// well-formed UTF-8 are appended as they are.
//
//   "e" U+0301 "t" U+00E9   -->   U+00E9 "t" U+00E9
// Linux normalizes through ICU, Windows through NormalizeString; both
// throw std::runtime_error when the system fails.
//
// The time is near linear in the text, also for long runs of combining
// marks in any order.
void AppendNormalized(std::string_view text, std::string& out);

#ifndef _WIN32
// The library's NFC, which AppendNormalized hands the text to, in canonical
// order wherever a run of marks is long; a test swaps it to see what the
// library is given, and restores it.
using LibraryNormalizer = void (*)(std::string_view text, std::string& out);
LibraryNormalizer& LibraryNfc();
#endif

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_NORMALIZATION_H_
