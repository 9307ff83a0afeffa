// karvello-cli's entry on Windows. The arguments come from the system in
// UTF-16 and go on as UTF-8, which holds every character of a name; the
// narrow argv of the C runtime would be in the ANSI code page, which holds
// only some. The standard streams carry bytes as they are: no CR LF
// translation and no end of input at a ^Z.

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// CommandLineToArgvW
#include <shellapi.h>

#include <string>
#include <vector>

#include "cli/Cli.h"

int main() {
  int argc = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wide == nullptr) return 2;
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), n, nullptr,
                        nullptr);
    arguments.push_back(std::move(utf8));
  }
  LocalFree(wide);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  for (const int fd : {0, 1, 2}) _setmode(fd, _O_BINARY);
  return karvello::RunCli(argc, argv.data());
}
