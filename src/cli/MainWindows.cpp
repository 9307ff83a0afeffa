// karvello-cli's entry on Windows. The arguments come from the system in
// UTF-16 and go on as UTF-8, which holds every character of a name; the
// narrow argv of the C runtime would be in the ANSI code page, which holds
// only some. The standard streams carry bytes as they are: no CR LF
// translation and no end of input at a ^Z. What the tool says to a person
// (messages, usage, help) goes through WriteText, so that a console shows
// every character of a name; the result goes out as bytes, by descriptor.

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// CommandLineToArgvW
#include <shellapi.h>

#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "pipeline/System.h"

namespace {

// A stream buffer that hands what it holds to WriteText at each flush, so
// that a UTF-8 sequence is never split between two writes.
class TextBuffer : public std::streambuf {
 public:
  explicit TextBuffer(int fd) : fd_(fd) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      text_ += traits_type::to_char_type(c);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    text_.append(s, static_cast<std::size_t>(n));
    return n;
  }
  int sync() override {
    const int error = karvello::WriteText(fd_, text_);
    text_.clear();
    return error == 0 ? 0 : -1;
  }

 private:
  const int fd_;
  std::string text_;
};

}  // namespace

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
  TextBuffer out(1), err(2);
  std::streambuf* const cout_buffer = std::cout.rdbuf(&out);
  std::streambuf* const cerr_buffer = std::cerr.rdbuf(&err);
  const int status = karvello::RunCli(argc, argv.data());
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(cout_buffer);
  std::cerr.rdbuf(cerr_buffer);
  return status;
}
