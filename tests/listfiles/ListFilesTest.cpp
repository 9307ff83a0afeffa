#include "listfiles/ListFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "listfiles/ListFileWriter.h"
#include "listfiles/internal/WriterCalls.h"
#include "support/FolderTest.h"
#include "support/ItemLists.h"
#include "support/Processes.h"

namespace karvello {
namespace {

using ::karvello::testing::CanSwitchUsers;
using ::karvello::testing::ItemsOf;
using ::karvello::testing::kNobody;
using ::karvello::testing::ListOf;
using ::karvello::testing::OpenDescriptorCount;
using ::karvello::testing::RunInChild;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

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

class ListFilesTest : public ::karvello::testing::FolderTest {
 protected:
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

TEST_F(ListFilesTest, AppendGivesTheRealReasonAndClosesEveryFile) {
  const std::string file = Write("a.txt", "a\n");
  fs::create_symlink("loop2", PathOf("loop1"));
  fs::create_symlink("loop1", PathOf("loop2"));
  const int open_before = OpenDescriptorCount();
  ItemList list;
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(AppendListFile(list, file), 0);
    EXPECT_EQ(AppendListFile(list, PathOf("missing.txt")), ENOENT);
    EXPECT_EQ(AppendListFile(list, ""), ENOENT);
    EXPECT_EQ(AppendListFile(list, file + "/inside"), ENOTDIR);
    EXPECT_EQ(AppendListFile(list, dir_), EISDIR);
    EXPECT_EQ(AppendListFile(list, PathOf("loop1")), ELOOP);
    EXPECT_EQ(AppendListFile(list, PathOf(std::string(256, 'n'))),
              ENAMETOOLONG);
    LoadListFile(list, file, ui_);
    LoadListFile(list, dir_, ui_);
  }
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "a", "a", "a", "a", "a"));
  EXPECT_EQ(OpenDescriptorCount(), open_before);
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

TEST_F(ListFilesTest, FailedSaveGivesTheRealReasonAndLeavesNothing) {
  const std::string missing = PathOf("no/such/folder.txt");
  EXPECT_EQ(SaveListFile(ListOf({"a"}), missing, ui_), SaveOutcome::kFailed);
  EXPECT_EQ(SaveListFile(ListOf({"a"}), dir_, ui_), SaveOutcome::kFailed);
  // A file that root may open for writing but not replace: its folder takes
  // no new file.
  EXPECT_EQ(SaveListFile(ListOf({"a"}), "/proc/version", ui_),
            SaveOutcome::kFailed);
  EXPECT_THAT(
      ui_.errors,
      ElementsAre("Cannot save " + missing + ": No such file or directory",
                  "Cannot save " + dir_.string() + ": Is a directory",
                  "Cannot save /proc/version: Permission denied"));
  EXPECT_THAT(Names(), IsEmpty());
}

TEST_F(ListFilesTest, SaveBreaksAHardLinkAndTakesTheLongestName) {
  const std::string path = Write("a.txt", "old\r\n");
  fs::create_hard_link(path, PathOf("b.txt"));
  ASSERT_EQ(SaveListFile(ListOf({"new"}), path, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), "new\r\n");
  EXPECT_EQ(Contents(PathOf("b.txt")), "old\r\n");

  // The temporary name must not push a name at the limit over it.
  const std::string longest = PathOf(std::string(255, 'n'));
  ASSERT_EQ(SaveListFile(ListOf({"1"}), longest, ui_), SaveOutcome::kSaved);
  ASSERT_EQ(SaveListFile(ListOf({"2"}), longest, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(Contents(longest), "2\r\n");
  const std::string too_long = PathOf(std::string(256, 'n'));
  EXPECT_EQ(SaveListFile(ListOf({"3"}), too_long, ui_), SaveOutcome::kFailed);
  EXPECT_THAT(ui_.errors,
              ElementsAre("Cannot save " + too_long + ": File name too long"));
  EXPECT_THAT(Names(),
              UnorderedElementsAre("a.txt", "b.txt", std::string(255, 'n')));
}

TEST_F(ListFilesTest, SaveThroughALinkWritesTheFileItNames) {
  Write("target.txt", "old\r\n");
  fs::create_symlink(PathOf("target.txt"), PathOf("link.txt"));
  ASSERT_EQ(SaveListFile(ListOf({"new"}), PathOf("link.txt"), ui_),
            SaveOutcome::kSaved);
  EXPECT_EQ(Contents("target.txt"), "new\r\n");
  // A link to no file yet: relative targets count from the link's folder,
  // not the working one.
  fs::create_directory(dir_ / "sub");
  fs::create_symlink("new.txt", dir_ / "sub" / "link.txt");
  fs::create_symlink("sub/link.txt", PathOf("outer.txt"));
  ASSERT_EQ(SaveListFile(ListOf({"x"}), PathOf("outer.txt"), ui_),
            SaveOutcome::kSaved);
  EXPECT_TRUE(fs::is_symlink(PathOf("link.txt")));
  EXPECT_TRUE(fs::is_symlink(PathOf("outer.txt")));
  EXPECT_TRUE(fs::is_symlink(dir_ / "sub" / "link.txt"));
  EXPECT_EQ(Contents("sub/new.txt"), "x\r\n");

  fs::create_symlink("loop2", PathOf("loop1"));
  fs::create_symlink("loop1", PathOf("loop2"));
  EXPECT_EQ(SaveListFile(ListOf({"x"}), PathOf("loop1"), ui_),
            SaveOutcome::kFailed);
  EXPECT_THAT(ui_.errors, ElementsAre("Cannot save " + PathOf("loop1") +
                                      ": Too many levels of symbolic links"));
  fs::create_symlink("no/such/folder/f.txt", PathOf("nowhere"));
  EXPECT_EQ(SaveListFile(ListOf({"x"}), PathOf("nowhere"), ui_),
            SaveOutcome::kFailed);
  EXPECT_THAT(ui_.errors.back(), HasSubstr("No such file or directory"));
  EXPECT_THAT(Names(),
              UnorderedElementsAre("target.txt", "link.txt", "sub", "outer.txt",
                                   "loop1", "loop2", "nowhere"));
}

// Standard output is a pipe here: it has no name to open again, so only the
// descriptor itself reaches it. Standard error is a log opened for
// appending, as by `2>>log`, which any of its names reaches.
TEST_F(ListFilesTest, SaveToOwnDescriptorsWritesThroughThem) {
  const std::string link = PathOf("out-link");
  fs::create_symlink("/dev/stdout", link);
  const std::string log = Write("log", "old\n");
  const auto outcome = RunInChild([&] {
    // Descriptors above whatever the test runner left open.
    int ends[2];
    const int appending = open(log.c_str(), O_WRONLY | O_APPEND);
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0 ||
        dup2(ends[1], 40) < 0 || fcntl(41, F_GETFD) != -1 ||
        dup2(appending, STDERR_FILENO) < 0) {
      return std::string("no pipe");
    }
    std::string said;
    for (const std::string& name :
         {std::string("/dev/stdout"), std::string("/dev/fd/1"),
          std::string("/proc/self/fd/1"), link, std::string("/dev/fd/40"),
          std::string("/proc/self/fd/40"), std::string("/dev/fd/41"), log}) {
      if (int error = ReplaceWithList(ListOf({name}), name, "\n")) {
        said += name + ": " + std::strerror(error) + "\n";
      }
    }
    close(STDOUT_FILENO);
    close(40);
    close(ends[1]);
    char bytes[512];
    const ssize_t n = read(ends[0], bytes, sizeof bytes);
    return said + std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
  });
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0);
  EXPECT_EQ(outcome.written,
            "/dev/fd/41: Bad file descriptor\n"
            "/dev/stdout\n/dev/fd/1\n/proc/self/fd/1\n" +
                link + "\n/dev/fd/40\n/proc/self/fd/40\n");
  EXPECT_EQ(Contents("log"), "old\n" + log + "\n");
  EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
  EXPECT_THAT(Names(), UnorderedElementsAre("out-link", "log"));
}

// Permissions are those of the user who saves: each case runs as nobody in
// a folder anyone may write, like a shared /srv/lists without a sticky bit.
TEST_F(ListFilesTest, SaveReplacesOnlyWhatTheUserMayWrite) {
  if (!CanSwitchUsers()) {
    GTEST_SKIP() << "needs root to act as the user nobody and as another";
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  const std::string own_read_only = Write("own-ro.txt", "own\r\n");
  const std::string own = Write("own.txt", "own\r\n");
  const std::string others = Write("others.txt", "others\r\n");
  const std::string shared = Write("shared.txt", "shared\r\n");
  ASSERT_EQ(chown(own_read_only.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown(own.c_str(), kNobody, kNobody), 0);
  chmod(own_read_only.c_str(), 0444);
  chmod(own.c_str(), 0640);
  chmod(others.c_str(), 0644);
  chmod(shared.c_str(), 0666);
  // Nobody's own file in a folder nobody may not write: no room for the
  // temporary file, so no save, rather than a rewrite in place.
  fs::create_directory(dir_ / "locked");
  const std::string locked = Write("locked/own.txt", "locked\r\n");
  ASSERT_EQ(chown(locked.c_str(), kNobody, kNobody), 0);
  // A folder that may be written and searched but not read, like a drop
  // box: a redirection works there, and so does a save.
  fs::create_directory(dir_ / "wx");
  const std::string dropped = Write("wx/own.txt", "old\r\n");
  ASSERT_EQ(chown(dropped.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod((dir_ / "wx").c_str(), 0333), 0);

  const auto outcome = RunInChild(
      [&] {
        std::string said;
        for (const std::string& path : {own_read_only, others, shared, locked,
                                        own, dropped, PathOf("wx/new.txt")}) {
          FakeUi ui;
          const SaveOutcome saved = SaveListFile(ListOf({"new"}), path, ui);
          said += saved == SaveOutcome::kSaved ? "saved" : ui.errors.at(0);
          said += "|";
        }
        return said;
      },
      /*as_nobody=*/true);
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0)
      << outcome.status;
  // The world-writable file could be written, but not replaced without
  // passing it to nobody.
  const std::string denied = ": Permission denied|";
  EXPECT_EQ(outcome.written, "Cannot save " + own_read_only + denied +
                                 "Cannot save " + others + denied +
                                 "Cannot save " + shared +
                                 ": Operation not permitted|Cannot save " +
                                 locked + denied + "saved|saved|saved|");
  EXPECT_EQ(Contents(own_read_only), "own\r\n");
  EXPECT_EQ(Contents(others), "others\r\n");
  EXPECT_EQ(Contents(shared), "shared\r\n");
  EXPECT_EQ(Contents(locked), "locked\r\n");
  EXPECT_THAT(Names("locked"), ElementsAre("own.txt"));
  EXPECT_EQ(Contents(own), "new\r\n");
  EXPECT_EQ(Contents(dropped), "new\r\n");
  EXPECT_EQ(Contents("wx/new.txt"), "new\r\n");
  EXPECT_THAT(Names("wx"), UnorderedElementsAre("own.txt", "new.txt"));
  struct stat info {};
  ASSERT_EQ(stat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  // Root may write any file, as a redirection would, and keeps its owner.
  EXPECT_EQ(SaveListFile(ListOf({"root"}), own_read_only, ui_),
            SaveOutcome::kSaved);
  EXPECT_EQ(Contents(own_read_only), "root\r\n");
  ASSERT_EQ(stat(own_read_only.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_EQ(info.st_gid, kNobody);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  EXPECT_THAT(Names(),
              UnorderedElementsAre("own-ro.txt", "own.txt", "others.txt",
                                   "shared.txt", "locked", "wx"));
}

// Sets the kernel's protections for links, files and FIFOs in shared folders
// for one test, and puts the old values back however the test ends.
class KernelProtections {
 public:
  KernelProtections() {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      std::ifstream(Path(i)) >> old_[i];
    }
  }
  ~KernelProtections() {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (!old_[i].empty()) Put(i, old_[i]);
    }
  }
  // Debian's values (from procps) or all off. Returns why they could not be
  // set, or nothing.
  std::string Set(bool on) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (old_[i].empty() || !Put(i, on ? kOn[i] : "0")) {
        return "cannot set " + Path(i) + ": " + std::strerror(errno);
      }
    }
    return "";
  }

 private:
  static constexpr std::array<const char*, 4> kNames = {"symlinks", "hardlinks",
                                                        "regular", "fifos"};
  static constexpr std::array<const char*, 4> kOn = {"1", "1", "2", "1"};
  static std::string Path(std::size_t i) {
    return std::string("/proc/sys/fs/protected_") + kNames[i];
  }
  static bool Put(std::size_t i, const std::string& value) {
    const int fd = open(Path(i).c_str(), O_WRONLY | O_CLOEXEC);
    const bool put = fd >= 0 && write(fd, value.data(), value.size()) ==
                                    static_cast<ssize_t>(value.size());
    if (fd >= 0) close(fd);
    return put;
  }
  std::array<std::string, 4> old_;
};

// Switches settings of the whole machine: run alone (RUN_SERIAL in CTest).
class SharedFolderTest : public ListFilesTest {};

// Another user's link (to a file, and to none yet), file and FIFO in a
// sticky folder that anyone may write, like /tmp. With the kernel's
// protections on, a save refuses each, as a redirection does; with them
// off, it writes what a redirection would.
TEST_F(SharedFolderTest, OtherUsersNamesAsTheKernelAllows) {
  if (!CanSwitchUsers()) {
    GTEST_SKIP() << "needs root to set the kernel's protections and to give "
                    "names to other users";
  }
  KernelProtections protections;
  if (const std::string why = protections.Set(true); !why.empty()) {
    GTEST_SKIP() << why;
  }
  constexpr uid_t kOther = 4242;
  const std::vector<std::string> names = {"link", "dangling", "file", "fifo"};
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  for (const bool on : {true, false}) {
    for (const uid_t saver : {uid_t{0}, kNobody}) {
      SCOPED_TRACE(::testing::Message()
                   << "protected " << on << ", uid " << saver);
      ASSERT_EQ(protections.Set(on), "");
      fs::remove_all(dir_ / "tmp");
      fs::remove_all(dir_ / "mine");
      fs::create_directory(dir_ / "tmp");
      ASSERT_EQ(chmod((dir_ / "tmp").c_str(), 01777), 0);
      fs::create_directory(dir_ / "mine");
      Write("mine/target.txt", "old\n");
      ASSERT_EQ(chown((dir_ / "mine").c_str(), saver, saver), 0);
      ASSERT_EQ(chown(PathOf("mine/target.txt").c_str(), saver, saver), 0);
      fs::create_symlink("../mine/target.txt", dir_ / "tmp/link");
      fs::create_symlink("../mine/created.txt", dir_ / "tmp/dangling");
      Write("tmp/file", "old\n");
      ASSERT_EQ(chmod(PathOf("tmp/file").c_str(), 0666), 0);
      ASSERT_EQ(mkfifo(PathOf("tmp/fifo").c_str(), 0666), 0);
      ASSERT_EQ(chmod(PathOf("tmp/fifo").c_str(), 0666), 0);
      for (const std::string& name : names) {
        ASSERT_EQ(lchown(PathOf("tmp/" + name).c_str(), kOther, kOther), 0);
      }
      // A reader, so that a FIFO that may be opened is never waited on.
      const int reader =
          open(PathOf("tmp/fifo").c_str(), O_RDONLY | O_NONBLOCK);
      const auto outcome = RunInChild(
          [&] {
            std::string said;
            for (const std::string& name : names) {
              const int error =
                  ReplaceWithList(ListOf({name}), PathOf("tmp/" + name), "\n");
              said += name + ": " +
                      (error == 0 ? "saved" : std::strerror(error)) + "\n";
            }
            return said;
          },
          saver == kNobody);
      char bytes[64];
      const ssize_t n = read(reader, bytes, sizeof bytes);
      close(reader);
      const std::string fifo(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
      if (on) {
        EXPECT_EQ(outcome.written,
                  "link: Permission denied\ndangling: Permission denied\n"
                  "file: Permission denied\nfifo: Permission denied\n");
        EXPECT_EQ(Contents("mine/target.txt"), "old\n");
        EXPECT_THAT(Names("mine"), ElementsAre("target.txt"));
        EXPECT_EQ(Contents("tmp/file"), "old\n");
        EXPECT_EQ(fifo, "");
      } else {
        // Nobody may write the other user's file but not keep its owner.
        const std::string file =
            saver == 0 ? "saved" : "Operation not permitted";
        EXPECT_EQ(outcome.written, "link: saved\ndangling: saved\nfile: " +
                                       file + "\nfifo: saved\n");
        EXPECT_EQ(Contents("mine/target.txt"), "link\n");
        EXPECT_EQ(Contents("mine/created.txt"), "dangling\n");
        EXPECT_EQ(Contents("tmp/file"), saver == 0 ? "file\n" : "old\n");
        EXPECT_EQ(fifo, "fifo\n");
      }
      struct stat info {};
      ASSERT_EQ(stat(PathOf("tmp/file").c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, kOther);
      EXPECT_EQ(info.st_mode & 07777, 0666u);
      EXPECT_THAT(Names("tmp"),
                  UnorderedElementsAre("link", "dangling", "file", "fifo"));
    }
  }
}

// The writer's system calls, made to fail one at a time.
struct InjectedFaults {
  static inline std::vector<std::string> steps;
  static inline int fail_at = -1;  // index into steps, -1 for none
  static inline bool fail_unlink = false;
  static inline int first_write_mode = -1;  // of the file written first

  // True when the call now being made is the one to fail; sets errno.
  static bool Fails(const char* step) {
    steps.emplace_back(step);
    if (static_cast<int>(steps.size()) - 1 != fail_at) return false;
    errno = EIO;
    return true;
  }
  static void Install() {
    internal::WriterCalls& calls = internal::Calls();
    calls.openat = [](int dirfd, const char* path, int flags, mode_t mode) {
      if (Fails("openat")) return -1;
      return internal::RealCalls().openat(dirfd, path, flags, mode);
    };
    calls.write = [](int fd, const void* data, size_t size) -> ssize_t {
      struct stat info {};
      if (first_write_mode < 0 && fstat(fd, &info) == 0) {
        first_write_mode = static_cast<int>(info.st_mode & 07777);
      }
      if (Fails("write")) return -1;
      return internal::RealCalls().write(fd, data, size);
    };
    calls.fchown = [](int fd, uid_t uid, gid_t gid) {
      return Fails("fchown") ? -1 : internal::RealCalls().fchown(fd, uid, gid);
    };
    calls.fchmod = [](int fd, mode_t mode) {
      return Fails("fchmod") ? -1 : internal::RealCalls().fchmod(fd, mode);
    };
    calls.fsync = [](int fd) {
      return Fails("fsync") ? -1 : internal::RealCalls().fsync(fd);
    };
    calls.renameat = [](int from_dir, const char* from, int to_dir,
                        const char* to) {
      if (Fails("renameat")) return -1;
      return internal::RealCalls().renameat(from_dir, from, to_dir, to);
    };
    // A failed close still frees the descriptor, as on Linux.
    calls.close = [](int fd) {
      const int closed = internal::RealCalls().close(fd);
      return Fails("close") ? -1 : closed;
    };
    calls.unlinkat = [](int dirfd, const char* path, int flags) {
      steps.emplace_back("unlinkat");
      if (fail_unlink) {
        errno = EIO;
        return -1;
      }
      return internal::RealCalls().unlinkat(dirfd, path, flags);
    };
    calls.fstatat = [](int dirfd, const char* path, struct stat* info,
                       int flags) {
      if (Fails("fstatat")) return -1;
      return internal::RealCalls().fstatat(dirfd, path, info, flags);
    };
    calls.readlinkat = [](int dirfd, const char* path, char* buffer,
                          size_t size) -> ssize_t {
      if (Fails("readlinkat")) return -1;
      return internal::RealCalls().readlinkat(dirfd, path, buffer, size);
    };
  }
  static void Reset(int at) {
    steps.clear();
    fail_at = at;
    fail_unlink = false;
    first_write_mode = -1;
  }
};

class FaultInjectionTest : public ListFilesTest {
 protected:
  void SetUp() override {
    ListFilesTest::SetUp();
    InjectedFaults::Install();
  }
  void TearDown() override {
    internal::Calls() = internal::RealCalls();
    ListFilesTest::TearDown();
  }
};

// Each save below, with each of its calls failing in turn: a failure that
// matters fails the save with its own error and leaves the folder as it was
// (the old file byte for byte, with its mode, owner and group; no new file;
// no temporary), closing every descriptor; the temporary file is 0600 until
// its text is complete.
TEST_F(FaultInjectionTest, EveryFailedStepKeepsWhatWasThere) {
  // As root, the old file has another group than the saver's.
  const bool other_group = CanSwitchUsers();
  // The calls of a save in order; the failure of one marked ? fails nothing.
  const std::string replace = " openat write" +
                              std::string(other_group ? " fchown" : "") +
                              " fchmod fsync close fstatat renameat";
  const std::string create =
      " openat write fchmod fsync close fstatat renameat";
  const std::string end = " fsync? close? close?";
  const std::string link = " fstatat close? readlinkat openat fstatat";
  struct Case {
    std::string out, target, calls;
  };
  const std::vector<Case> cases = {
      {"old.txt", "old.txt", "openat fstatat? openat openat fstatat" + replace},
      {"new.txt", "new.txt", "openat openat fstatat" + create},
      {"link.txt", "old.txt", "openat fstatat? openat openat" + link + replace},
      {"dangling", "new.txt", "openat fstatat? openat openat" + link + create},
  };
  const ItemList list = ListOf({"new", "items"});
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, bool>> plan;  // call, fails the save
    std::istringstream words(c.calls + end);
    for (std::string call; words >> call;) {
      const bool harmless = call.back() == '?';
      if (harmless) call.pop_back();
      plan.emplace_back(call, !harmless);
    }
    for (std::size_t at = 0; at <= plan.size(); ++at) {
      SCOPED_TRACE(::testing::Message() << c.out << ", failing call " << at);
      for (const std::string& name : Names()) fs::remove(dir_ / name);
      if (c.target == "old.txt") {
        Write("old.txt", "old\r\n");
        chmod(PathOf("old.txt").c_str(), 0604);
        if (other_group) chown(PathOf("old.txt").c_str(), 0, kNobody);
      }
      if (c.out != c.target) fs::create_symlink(c.target, PathOf(c.out));
      const std::vector<std::string> before = Names();
      const int open_before = OpenDescriptorCount();
      FakeUi ui;
      InjectedFaults::Reset(at < plan.size() ? static_cast<int>(at) : -1);
      const SaveOutcome saved = SaveListFile(list, PathOf(c.out), ui);
      EXPECT_EQ(OpenDescriptorCount(), open_before);
      std::vector<std::string> calls;
      for (const auto& [call, fails] : plan) calls.push_back(call);
      if (at < plan.size() && plan[at].second) {
        EXPECT_EQ(saved, SaveOutcome::kFailed);
        EXPECT_THAT(ui.errors, ElementsAre("Cannot save " + PathOf(c.out) +
                                           ": Input/output error"));
        EXPECT_EQ(Contents(c.target), c.target == "old.txt" ? "old\r\n" : "");
        EXPECT_THAT(Names(), ::testing::UnorderedElementsAreArray(before));
        // The calls up to the failed one, then only looks and cleanup.
        ASSERT_GT(InjectedFaults::steps.size(), at);
        EXPECT_EQ(std::vector(InjectedFaults::steps.begin(),
                              InjectedFaults::steps.begin() + at + 1),
                  std::vector(calls.begin(), calls.begin() + at + 1));
        for (std::size_t i = at + 1; i < InjectedFaults::steps.size(); ++i) {
          EXPECT_THAT(InjectedFaults::steps[i],
                      ::testing::Not(::testing::AnyOf(
                          "write", "fchown", "fchmod", "fsync", "renameat")));
        }
      } else {
        EXPECT_EQ(saved, SaveOutcome::kSaved);
        EXPECT_EQ(Contents(c.target), "new\r\nitems\r\n");
        EXPECT_EQ(InjectedFaults::steps, calls);
        EXPECT_EQ(Names().size(), before.size() + (c.target == "new.txt"));
      }
      if (InjectedFaults::first_write_mode >= 0) {
        EXPECT_EQ(InjectedFaults::first_write_mode, 0600);
      }
      struct stat info {};
      if (stat(PathOf(c.target).c_str(), &info) == 0) {
        const mode_t umask_now = umask(0);
        umask(umask_now);
        EXPECT_EQ(info.st_mode & 07777,
                  c.target == "old.txt" ? 0604u : 0666u & ~umask_now);
        EXPECT_EQ(info.st_uid, getuid());
        EXPECT_EQ(info.st_gid,
                  other_group && c.target == "old.txt" ? kNobody : getgid());
      }
    }
  }
  // When even the removal fails, the temporary is all that is left: the
  // error still names the first failure, the write's.
  for (const std::string& name : Names()) fs::remove(dir_ / name);
  Write("old.txt", "old\r\n");
  FakeUi ui;
  InjectedFaults::Reset(6);
  InjectedFaults::fail_unlink = true;
  EXPECT_EQ(SaveListFile(ListOf({"a"}), PathOf("old.txt"), ui),
            SaveOutcome::kFailed);
  EXPECT_EQ(InjectedFaults::steps.at(6), "write");
  EXPECT_THAT(ui.errors, ElementsAre("Cannot save " + PathOf("old.txt") +
                                     ": Input/output error"));
  EXPECT_THAT(Names(),
              ::testing::Contains(::testing::StartsWith(".karvello-")));
}

// A signal that ends the process half-way through the write, sent by the
// write itself so that it always lands at the same point.
TEST_F(FaultInjectionTest, SignalDuringTheWriteRemovesTheTemporary) {
  Write("old.txt", "old\r\n");
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // A new name too, which the save has made by the time it writes.
    for (const char* name : {"old.txt", "new.txt"}) {
      SCOPED_TRACE(::testing::Message() << signal_number << " " << name);
      const auto outcome = RunInChild([&] {
        static int to_send;
        to_send = signal_number;
        internal::Calls().write = [](int fd, const void* data, size_t size) {
          const ssize_t n = internal::RealCalls().write(fd, data, size / 2);
          kill(getpid(), to_send);
          return n;
        };
        FakeUi ui;
        SaveListFile(ListOf({"new", "items"}), PathOf(name), ui);
        return std::string("not stopped");
      });
      EXPECT_TRUE(WIFSIGNALED(outcome.status));
      EXPECT_EQ(WTERMSIG(outcome.status), signal_number);
      EXPECT_EQ(Contents("old.txt"), "old\r\n");
      EXPECT_THAT(Names(), ElementsAre("old.txt"));
    }
  }

  // A process that ignores the signal, as under nohup, goes on and saves.
  const auto outcome = RunInChild([&] {
    std::signal(SIGHUP, SIG_IGN);
    internal::Calls().write = [](int fd, const void* data, size_t size) {
      kill(getpid(), SIGHUP);
      return internal::RealCalls().write(fd, data, size);
    };
    FakeUi ui;
    return std::string(SaveListFile(ListOf({"new"}), PathOf("old.txt"), ui) ==
                               SaveOutcome::kSaved
                           ? "saved"
                           : "failed");
  });
  EXPECT_TRUE(WIFEXITED(outcome.status));
  EXPECT_EQ(outcome.written, "saved");
  EXPECT_EQ(Contents("old.txt"), "new\r\n");
  EXPECT_THAT(Names(), ElementsAre("old.txt"));
}

}  // namespace
}  // namespace karvello
