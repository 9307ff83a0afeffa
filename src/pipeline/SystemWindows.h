// What the Windows side of the pipeline's system calls (SystemWindows.cpp)
// keeps for its tests to reach.

#ifndef KARVELLO_PIPELINE_SYSTEMWINDOWS_H_
#define KARVELLO_PIPELINE_SYSTEMWINDOWS_H_

#include <string>
#include <string_view>

namespace karvello {

// The UTF-16 that WriteText gives a console for the UTF-8 `text`: each
// character as one code unit or a pair of surrogates, each byte that is no
// UTF-8 as U+FFFD; NULs and line ends as they are.
//
//   ConsoleText("\xCE\x9B\xFF\n")  // L"\x039B\xFFFD\n"
std::wstring ConsoleText(std::string_view text);

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_SYSTEMWINDOWS_H_
