#include "listfiles/ListFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include "support/ItemLists.h"

namespace karvello {
namespace {

using ::karvello::testing::ItemsOf;
using ::karvello::testing::ListOf;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Records what the routines say; AskYesNo answers with `answer`.
struct FakeUi : ListFileUi {
  void Message(std::string_view text) override { messages.emplace_back(text); }
  bool AskYesNo(std::string_view question) override {
    questions.emplace_back(question);
    return answer;
  }
  void Error(std::string_view text) override { errors.emplace_back(text); }
  bool answer = true;
  std::vector<std::string> messages, questions, errors;
};

class ListFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "listfiles.XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) { return dir_ / name; }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
    return PathOf(name);
  }
  static std::string Contents(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename());
    }
    return names;
  }

  fs::path dir_;
  FakeUi ui_;
};

TEST_F(ListFilesTest, FileExistsWhenItsTimeCanBeRead) {
  const std::string file = Write("a.txt", "a");
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(dir_));
  EXPECT_FALSE(FileExists(PathOf("missing.txt")));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(file + "/inside"));
  EXPECT_FALSE(FileExists(file + std::string(1, '\0') + "x"));
}

TEST_F(ListFilesTest, LoadAppendsInFileOrder) {
  const std::string file = Write("a.txt", "a,b\r\n\r\nc\r\n");
  ItemList list = ListOf({"kept"});
  EXPECT_TRUE(LoadListFile(list, file, ui_));
  EXPECT_TRUE(LoadListFile(list, file, ui_));
  EXPECT_THAT(ItemsOf(list),
              ElementsAre("kept", "a", "b", "", "c", "a", "b", "", "c"));
  EXPECT_THAT(ui_.messages, IsEmpty());
  EXPECT_THAT(ui_.errors, IsEmpty());
}

TEST_F(ListFilesTest, LoadReportsMissingAndUnreadablePaths) {
  ItemList list = ListOf({"kept"});
  EXPECT_FALSE(LoadListFile(list, PathOf("missing.txt"), ui_));
  EXPECT_THAT(ui_.messages, ElementsAre("File not found"));
  EXPECT_THAT(ui_.errors, IsEmpty());

  EXPECT_FALSE(LoadListFile(list, dir_, ui_));
  ASSERT_EQ(ui_.errors.size(), 1u);
  EXPECT_EQ(ui_.errors[0], "Cannot read " + dir_.string() + ": Is a directory");
  EXPECT_THAT(ItemsOf(list), ElementsAre("kept"));
}

TEST_F(ListFilesTest, SaveWritesEveryItemWithCrLf) {
  const std::string path = PathOf("out.txt");
  EXPECT_EQ(SaveListFile(ListOf({"a", "", "b"}), path, ui_),
            SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), "a\r\n\r\nb\r\n");
  EXPECT_THAT(ui_.questions, IsEmpty());

  const std::string empty = PathOf("empty.txt");
  EXPECT_EQ(SaveListFile(ItemList(), empty, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(fs::file_size(empty), 0u);

  // Far past a 16-bit count.
  ItemList many;
  for (int i = 0; i < 70000; ++i) many.AddItem(std::to_string(i));
  EXPECT_EQ(SaveListFile(many, path, ui_), SaveOutcome::kSaved);
  ItemList back;
  ASSERT_TRUE(LoadListFile(back, path, ui_));
  ASSERT_EQ(back.ListCount(), 70000);
  EXPECT_EQ(back.List(69999), "69999");
  EXPECT_THAT(Names(), ::testing::UnorderedElementsAre("out.txt", "empty.txt"));
}

TEST_F(ListFilesTest, SaveAsksBeforeReplacingAndKeepsPermissions) {
  const std::string path = Write("old.txt", "old\r\n");
  chmod(path.c_str(), 0640);
  ui_.answer = false;
  EXPECT_EQ(SaveListFile(ListOf({"new"}), path, ui_), SaveOutcome::kDeclined);
  EXPECT_EQ(Contents(path), "old\r\n");

  ui_.answer = true;
  EXPECT_EQ(SaveListFile(ListOf({"new"}), path, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), "new\r\n");
  const std::string question =
      "Are you sure you wish to overwrite " + path + " ?";
  EXPECT_THAT(ui_.questions, ElementsAre(question, question));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_THAT(Names(), ElementsAre("old.txt"));
}

TEST_F(ListFilesTest, SaveThroughALinkReplacesTheFileItNames) {
  const std::string target = Write("target.txt", "old\r\n");
  const std::string link = PathOf("link.txt");
  fs::create_symlink(target, link);
  EXPECT_EQ(SaveListFile(ListOf({"new"}), link, ui_), SaveOutcome::kSaved);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Contents(target), "new\r\n");
}

TEST_F(ListFilesTest, SavedItemsLoadBackByteForByte) {
  std::mt19937 random(3);
  // A first item that starts like a byte-order mark would lose it.
  std::vector<std::string> items = {"x"};
  for (int i = 0; i < 2000; ++i) {
    std::string item;
    for (int k = static_cast<int>(random() % 12); k > 0; --k) {
      char c = static_cast<char>(random() % 256);
      if (c == ',' || c == '"' || c == '\r' || c == '\n') c = '.';
      item += c;
    }
    items.push_back(item);
  }
  const std::string path = PathOf("round.txt");
  ASSERT_EQ(SaveListFile(ListOf(items), path, ui_), SaveOutcome::kSaved);
  const std::string first = Contents(path);
  ItemList back;
  ASSERT_TRUE(LoadListFile(back, path, ui_));
  EXPECT_EQ(ItemsOf(back), items);
  ASSERT_EQ(SaveListFile(back, path, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), first);

  ASSERT_EQ(SaveListFile(ListOf({"x,y"}), path, ui_), SaveOutcome::kSaved);
  ItemList split;
  ASSERT_TRUE(LoadListFile(split, path, ui_));
  EXPECT_THAT(ItemsOf(split), ElementsAre("x", "y"));
}

TEST_F(ListFilesTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  const std::string missing = PathOf("no/such/folder.txt");
  EXPECT_EQ(SaveListFile(ListOf({"a"}), missing, ui_), SaveOutcome::kFailed);
  EXPECT_THAT(ui_.errors, ElementsAre("Cannot save " + missing +
                                      ": No such file or directory"));

  EXPECT_EQ(SaveListFile(ListOf({"a"}), dir_, ui_), SaveOutcome::kFailed);
  EXPECT_THAT(ui_.errors.back(), HasSubstr(dir_.string()));

  // A full disk, as a file-size limit in a child process (root ignores
  // permissions, not limits).
  const std::string path = Write("old.txt", "old\r\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    ItemList big;
    for (int i = 0; i < 10000; ++i) big.AddItem("some item text");
    FakeUi ui;
    const bool failed =
        SaveListFile(big, path, ui) == SaveOutcome::kFailed &&
        ui.errors.size() == 1 &&
        ui.errors[0] == "Cannot save " + path + ": File too large";
    _exit(failed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Contents(path), "old\r\n");
  EXPECT_THAT(Names(), ElementsAre("old.txt"));
}

}  // namespace
}  // namespace karvello
