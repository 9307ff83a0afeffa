// What a person reads on Windows: messages reach a console as characters
// and anything else as the bytes they are; the progress line's escape
// sequence is asked for and the console set back.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "pipeline/System.h"
#include "pipeline/SystemWindows.h"
#include "support/FolderTest.h"

namespace karvello {
namespace {

using namespace std::string_literals;

TEST(ConsoleTextTest, EveryCharacterBecomesItsUtf16AndBrokenBytesU_FFFD) {
  EXPECT_EQ(ConsoleText(""), L"");
  EXPECT_EQ(ConsoleText("cannot read \xCE\x9B\xCE\xB5\xCE\xBE\xCE\xB7.txt"),
            L"cannot read \x039B\x03B5\x03BE\x03B7.txt");
  // Outside the Basic Multilingual Plane: a pair of surrogates.
  EXPECT_EQ(ConsoleText("\xF0\x9F\x98\x80!"), L"\xD83D\xDE00!");
  EXPECT_EQ(ConsoleText("a\xFF"
                        "b\xCE"),
            L"a\xFFFD"
            L"b\xFFFD");
  EXPECT_EQ(ConsoleText("a\0b\r\n"s), L"a\0b\r\n"s);
  // Long texts go in pieces, none of which may cut a character in two.
  for (const std::size_t before : {(1u << 20) - 1, (1u << 20) - 3}) {
    SCOPED_TRACE(before);
    const std::wstring wide =
        ConsoleText(std::string(before, 'a') + "\xF0\x9F\x98\x80\xCE\x9B");
    EXPECT_EQ(wide, std::wstring(before, L'a') + L"\xD83D\xDE00\x039B");
  }
}

class TextOutsideAConsoleTest : public testing::FolderTest {};

TEST_F(TextOutsideAConsoleTest, FilesAndNulTakeTheBytesAsTheyAre) {
  const int fd = _wopen((dir_ / "err.txt").c_str(),
                        _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(IsTerminal(fd));
  EXPECT_TRUE(TakeEraseSequence(fd));
  const std::string text = "cannot read \xCE\x9B \xFF\r\n";
  EXPECT_EQ(WriteText(fd, text), 0);
  _close(fd);
  EXPECT_EQ(Contents("err.txt"), text);
  // A device, as the C runtime's isatty says, but no terminal.
  const int nul = _wopen(L"NUL", _O_WRONLY);
  ASSERT_GE(nul, 0);
  EXPECT_NE(_isatty(nul), 0);
  EXPECT_FALSE(IsTerminal(nul));
  _close(nul);
}

// A console of the test's own, whose screen can be read back.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) standard_[i] = GetStdHandle(kStandard[i]);
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    console_ = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(console_, INVALID_HANDLE_VALUE);
    DWORD mode = 0;
    if (!GetConsoleMode(console_, &mode)) {
      GTEST_SKIP() << "wine makes a console only on a display";
    }
    fd_ = _open_osfhandle(reinterpret_cast<std::intptr_t>(console_),
                          _O_WRONLY | _O_BINARY);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) {
      _close(fd_);
    } else if (console_ != INVALID_HANDLE_VALUE) {
      CloseHandle(console_);
    }
    FreeConsole();
    for (int i = 0; i < 3; ++i) SetStdHandle(kStandard[i], standard_[i]);
  }

  // The first `n` cells of the screen, from its top left corner.
  std::wstring Screen(std::size_t n) {
    std::wstring cells(n, L'\0');
    DWORD read = 0;
    EXPECT_TRUE(ReadConsoleOutputCharacterW(
        console_, cells.data(), static_cast<DWORD>(n), COORD{0, 0}, &read));
    cells.resize(read);
    return cells;
  }
  DWORD Mode() {
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(console_, &mode));
    return mode;
  }

  static constexpr DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                        STD_ERROR_HANDLE};
  HANDLE standard_[3] = {};
  HANDLE console_ = INVALID_HANDLE_VALUE;
  int fd_ = -1;
};

TEST_F(ConsoleTest, AMessageShowsEveryCharacterOfAName) {
  EXPECT_TRUE(IsTerminal(fd_));
  EXPECT_EQ(WriteText(fd_,
                      "cannot read \xCE\x9B\xCE\xB5\xCE\xBE\xCE\xB7-"
                      "\xF0\x9F\x98\x80.txt"),
            0);
  EXPECT_EQ(Screen(26),
            L"cannot read \x039B\x03B5\x03BE\x03B7-\xD83D\xDE00"
            L".txt   ");
}

TEST_F(ConsoleTest, TheEraseSequenceIsAskedForAndTheModeGivenBack) {
  const DWORD before = Mode() & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING};
  ASSERT_TRUE(SetConsoleMode(console_, before));
  ASSERT_TRUE(TakeEraseSequence(fd_));
  // (What the console then draws cannot be seen here: wine's own consoles
  // take the mode but draw the sequence as it is.)
  EXPECT_EQ(Mode(), before | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  RestoreTerminal(fd_);
  EXPECT_EQ(Mode(), before);
}

}  // namespace
}  // namespace karvello
