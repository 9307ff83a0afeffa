// The writer's Windows side: what a save may replace, what it must refuse,
// and that its temporary file is neither visible to others nor left behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "listfiles/ListFileWriter.h"
#include "listfiles/SystemFiles.h"
#include "support/FolderTest.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using namespace std::string_literals;

class ListFileWriterWindowsTest : public testing::FolderTest {
 protected:
  int Save(const std::string& path) {
    return ReplaceWithList(testing::ListOf({"b\x1Az", "", "\r", "\xCE\xBB"}),
                           path, "\r\n");
  }
  static constexpr char kSaved[] = "b\x1Az\r\n\r\n\r\r\n\xCE\xBB\r\n";
  DWORD Attributes(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str());
  }
};

// A new file of a name outside any ANSI code page and an existing file
// whose attributes stay: every byte as it is (no ^Z end, no CR LF
// translation) and nothing else left in the folder. Long paths: in
// SystemFilesTest.
TEST_F(ListFileWriterWindowsTest, SavesEveryByteAndKeepsTheOldAttributes) {
  const std::string name = "\xD1\x81\xD0\xBF \xCE\xBB \xF0\x9F\x93\x8B.txt";
  ASSERT_EQ(Save(PathOf(name)), 0);
  EXPECT_EQ(Contents(name), kSaved);

  const std::string old = Write("old.txt", "old\n");
  ASSERT_TRUE(SetFileAttributesW(
      WidePath(old).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(Attributes(old) & FILE_ATTRIBUTE_HIDDEN);
  ASSERT_EQ(Save(old), 0);
  EXPECT_EQ(Contents("old.txt"), kSaved);
  EXPECT_TRUE(Attributes(old) & FILE_ATTRIBUTE_HIDDEN);

  EXPECT_THAT(Names(), UnorderedElementsAre(name, "old.txt"));
}

// Refusals leave the old bytes and no temporary file: the read-only
// attribute (refused even where the file system would allow the write, as
// for an administrator), a file another handle holds open without sharing,
// a folder, a name that is not UTF-8.
TEST_F(ListFileWriterWindowsTest, RefusesWhatARedirectionWouldRefuse) {
  const std::string read_only = Write("read-only.txt", "old\n");
  ASSERT_TRUE(
      SetFileAttributesW(WidePath(read_only).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Save(read_only), EACCES);
  EXPECT_EQ(Contents("read-only.txt"), "old\n");
  SetFileAttributesW(WidePath(read_only).c_str(), FILE_ATTRIBUTE_NORMAL);

  const std::string held = Write("held.txt", "old\n");
  const HANDLE holder = CreateFileW(WidePath(held).c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Save(held), EBUSY);
  CloseHandle(holder);
  EXPECT_EQ(Contents("held.txt"), "old\n");

  std::filesystem::create_directory(dir_ / "folder");
  EXPECT_EQ(Save(PathOf("folder")), EISDIR);
  EXPECT_EQ(Save(PathOf("") + "bad\xFF.txt"), ENOENT);
  EXPECT_THAT(Names(),
              UnorderedElementsAre("read-only.txt", "held.txt", "folder"));
}

// While the items are written, nobody else can open the temporary file; a
// failed write removes it, and so does the end of the process mid-write.
TEST_F(ListFileWriterWindowsTest, TheTemporaryFileIsPrivateAndNeverLeft) {
  const std::string path = Write("list.txt", "old\n");
  const auto fail_after_a_peek = [&](int fd) {
    std::string temporary;
    for (const std::string& name : Names()) {
      if (name != "list.txt") temporary = name;
    }
    EXPECT_EQ(
        CreateFileW(WidePath(PathOf(temporary)).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_FALSE(temporary.empty());
    EXPECT_EQ(WriteAllFd(fd, "new", 3), 0);
    return EIO;
  };
  EXPECT_EQ(ReplaceWithOutput(path, fail_after_a_peek), EIO);
  EXPECT_EQ(ReplaceWithOutput(PathOf("new.txt"), fail_after_a_peek), EIO);
  EXPECT_EXIT((void)ReplaceWithOutput(path,
                                      [](int fd) {
                                        (void)WriteAllFd(fd, "new", 3);
                                        TerminateProcess(GetCurrentProcess(),
                                                         7);
                                        return 0;
                                      }),
              ::testing::ExitedWithCode(7), "");
  EXPECT_THAT(Names(), ElementsAre("list.txt"));
  EXPECT_EQ(Contents("list.txt"), "old\n");
}

// Devices are written to, never replaced.
TEST_F(ListFileWriterWindowsTest, WritesToDevicesInPlace) {
  EXPECT_EQ(Save("NUL"), 0);
  EXPECT_EQ(Save("nul"), 0);
  EXPECT_EQ(Save(PathOf("NUL")), 0);
  EXPECT_THAT(Names(), ElementsAre());
}

}  // namespace
}  // namespace karvello
