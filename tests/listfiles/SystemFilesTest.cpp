// Reading list files where Linux and Windows differ underneath: text-mode
// reads, names outside the ANSI code page, long paths, files that others
// hold open, folders. Each case must come out the same on both.

#include "listfiles/SystemFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "listfiles/ListFileWriter.h"
#include "listfiles/ListFiles.h"
#include "support/FolderTest.h"
#include "support/ItemLists.h"

namespace karvello {
namespace {

namespace fs = std::filesystem;
using ::karvello::testing::ItemsOf;
using ::karvello::testing::PathFromUtf8;
using ::karvello::testing::Utf8;
using ::testing::ElementsAre;
using namespace std::string_literals;

class SystemFilesTest : public testing::FolderTest {};

// A read in text mode would end at the ^Z (the old end-of-file mark) and
// count the file's size wrong. The name holds Cyrillic, Greek, Japanese and
// a character past U+FFFF (a surrogate pair in UTF-16): no ANSI code page
// holds them all.
TEST_F(SystemFilesTest, EveryByteOfAFileOfAnyNameIsRead) {
  const std::string name =
      "\xD1\x81\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8A\xD0\xBA \xCE\xBB\xCE\xAF"
      "\xCF\x83\xCF\x84\xCE\xB1 \xE4\xB8\x80\xE8\xA6\xA7 \xF0\x9F\x93\x8B.txt";
  const std::string bytes = "a\r\nb\x1Az\r\n\x1A\0y\r\nf"s;
  const std::string path = Write(name, bytes);
  EXPECT_THAT(Names(), ElementsAre(name));
  EXPECT_TRUE(FileExists(path));
  ItemList list;
  ASSERT_EQ(AppendListFile(list, path), 0);
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "b\x1Az", "\x1A\0y"s, "f"));
  const int fd = OpenToRead(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(RegularFileSize(fd), bytes.size());
  ::close(fd);
}

// Past the 260 characters of Windows's old limit, and given relative to a
// folder with ".." in it, as a user may type it; saved over and read back.
TEST_F(SystemFilesTest, LongPathsOpen) {
  fs::path deep = dir_;
  std::string relative = "..";
  for (char c = 'a'; c < 'g'; ++c) {
    deep /= std::string(50, c);
    relative += "/" + std::string(50, c);
    fs::create_directory(deep);
  }
  const std::string path = Utf8(deep / "list.txt");
  std::ofstream(deep / "list.txt", std::ios::binary) << "long\r\n";
  ASSERT_GT(path.size(), 300u);
  ItemList list;
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(AppendListFile(list, path), 0);
  const fs::path current = fs::current_path();
  fs::current_path(dir_ / std::string(50, 'a'));
  EXPECT_EQ(AppendListFile(list, relative + "/list.txt"), 0);
  fs::current_path(current);
  EXPECT_EQ(ReplaceWithList(list, path, "\n"), 0);
  EXPECT_EQ(AppendListFile(list, path), 0);
  EXPECT_THAT(ItemsOf(list), ElementsAre("long", "long", "long", "long"));
  // Short names from the top down, so that the folder can be removed by
  // calls that stop at the old limit.
  fs::path shorter = dir_;
  for (char c = 'a'; c < 'g'; ++c) {
    fs::rename(shorter / std::string(50, c), shorter / std::string(1, c));
    shorter /= std::string(1, c);
  }
}

// Editors keep a file open for writing; a save replaces the file it read.
TEST_F(SystemFilesTest, OthersMayWriteRenameAndRemoveAFileBeingRead) {
  const std::string path = Write("held.txt", "a\n");
  {
    std::ofstream writer(PathFromUtf8(path), std::ios::app | std::ios::binary);
    ItemList list;
    EXPECT_EQ(AppendListFile(list, path), 0);
    EXPECT_THAT(ItemsOf(list), ElementsAre("a"));
  }
  const int fd = OpenToRead(path);
  ASSERT_GE(fd, 0);
  std::error_code error;
  fs::rename(PathFromUtf8(path), dir_ / "moved.txt", error);
  EXPECT_FALSE(error) << error.message();
  fs::remove(dir_ / "moved.txt", error);
  EXPECT_FALSE(error) << error.message();
  ::close(fd);
}

// On Windows a folder cannot be opened, and a name that is not UTF-8 names
// no file, as names are UTF-16.
TEST_F(SystemFilesTest, FoldersAndMissingFilesAreNoLists) {
  ItemList list;
  EXPECT_EQ(AppendListFile(list, Utf8(dir_)), EISDIR);
  EXPECT_TRUE(FileExists(Utf8(dir_)));
#ifdef _WIN32
  const std::string missing = Utf8(dir_) + "/\xFF.txt";
#else
  const std::string missing = PathOf("missing.txt");
#endif
  EXPECT_EQ(AppendListFile(list, missing), ENOENT);
  EXPECT_FALSE(FileExists(missing));
  EXPECT_EQ(list.ListCount(), 0);
}

}  // namespace
}  // namespace karvello
