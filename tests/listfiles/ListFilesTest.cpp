#include "listfiles/ListFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  const auto outcome = RunInChild([&path] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    ItemList big;
    for (int i = 0; i < 10000; ++i) big.AddItem("some item text");
    FakeUi ui;
    const SaveOutcome saved = SaveListFile(big, path, ui);
    return saved == SaveOutcome::kFailed && ui.errors.size() == 1
               ? ui.errors[0]
               : std::string("not failed");
  });
  EXPECT_EQ(outcome.written, "Cannot save " + path + ": File too large");
  EXPECT_EQ(Contents(path), "old\r\n");
  EXPECT_THAT(Names(), ElementsAre("old.txt"));
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

TEST_F(ListFilesTest, SaveThroughADanglingLinkCreatesTheFileItNames) {
  fs::create_directory(dir_ / "sub");
  // Relative targets count from the link's folder, not the working one.
  fs::create_symlink("new.txt", dir_ / "sub" / "link.txt");
  fs::create_symlink("sub/link.txt", PathOf("outer.txt"));
  ASSERT_EQ(SaveListFile(ListOf({"x"}), PathOf("outer.txt"), ui_),
            SaveOutcome::kSaved);
  EXPECT_TRUE(fs::is_symlink(PathOf("outer.txt")));
  EXPECT_TRUE(fs::is_symlink(dir_ / "sub" / "link.txt"));
  EXPECT_EQ(Contents(dir_ / "sub" / "new.txt"), "x\r\n");

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
  EXPECT_THAT(Names(), UnorderedElementsAre("sub", "outer.txt", "loop1",
                                            "loop2", "nowhere"));
}

// Standard output is a pipe here: it has no name to open again, so only the
// descriptor itself reaches it. The shell's appending is checked with the
// command-line tool.
TEST_F(ListFilesTest, SaveToOwnDescriptorsWritesThroughThem) {
  const std::string link = PathOf("out-link");
  fs::create_symlink("/dev/stdout", link);
  const auto outcome = RunInChild([&link] {
    // Descriptors above whatever the test runner left open.
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0 ||
        dup2(ends[1], 40) < 0 || fcntl(41, F_GETFD) != -1) {
      return std::string("no pipe");
    }
    std::string said;
    for (const std::string& name :
         {std::string("/dev/stdout"), std::string("/dev/fd/1"),
          std::string("/proc/self/fd/1"), link, std::string("/dev/fd/40"),
          std::string("/proc/self/fd/40"), std::string("/dev/fd/41")}) {
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
  EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
  EXPECT_THAT(Names(), ElementsAre("out-link"));
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

  const auto outcome = RunInChild(
      [&] {
        std::string said;
        for (const std::string& path :
             {own_read_only, others, shared, locked, own}) {
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
                                 locked + denied + "saved|");
  EXPECT_EQ(Contents(own_read_only), "own\r\n");
  EXPECT_EQ(Contents(others), "others\r\n");
  EXPECT_EQ(Contents(shared), "shared\r\n");
  EXPECT_EQ(Contents(locked), "locked\r\n");
  EXPECT_THAT(Names("locked"), ElementsAre("own.txt"));
  EXPECT_EQ(Contents(own), "new\r\n");
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
                                   "shared.txt", "locked"));
}

// The writer's system calls, made to fail one at a time.
struct InjectedFaults {
  static inline std::vector<std::string> steps;
  static inline int fail_at = -1;  // index into steps, -1 for none
  static inline bool fail_unlink = false;

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
  }
  static void Reset(int at) {
    steps.clear();
    fail_at = at;
    fail_unlink = false;
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

TEST_F(FaultInjectionTest, EveryFailedStepKeepsTheOldFile) {
  // Each call of a replace, in order, and whether its failure must fail the
  // save. The owner is kept only when it differs, so give the old file
  // another owner where the test may.
  const bool other_owner = CanSwitchUsers();
  struct Step {
    const char* call;
    bool fails_save;
  };
  std::vector<Step> plan = {{"openat", true},   // the folder
                            {"openat", true},   // the old file, for writing
                            {"close", false},   // ... closed, never written
                            {"openat", true}};  // the temporary
  if (other_owner) plan.push_back({"fchown", true});
  const std::vector<Step> rest = {
      {"fchmod", true},   {"write", true},  {"fsync", true}, {"close", true},
      {"renameat", true}, {"fsync", false}, {"close", false}};  // the folder
  plan.insert(plan.end(), rest.begin(), rest.end());

  std::vector<std::string> calls;
  for (const Step& step : plan) calls.emplace_back(step.call);
  const std::size_t temporary_opened = 3;
  const std::size_t temporary_closed = plan.size() - 4;

  const std::string path = PathOf("old.txt");
  const ItemList list = ListOf({"new", "items"});
  for (std::size_t at = 0; at < plan.size(); ++at) {
    SCOPED_TRACE(::testing::Message()
                 << "failing call " << at << ", " << plan[at].call);
    Write("old.txt", "old\r\n");
    chmod(path.c_str(), 0604);
    if (other_owner) {
      ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    }
    FakeUi ui;
    const int open_before = OpenDescriptorCount();
    InjectedFaults::Reset(static_cast<int>(at));
    const SaveOutcome saved = SaveListFile(list, path, ui);
    EXPECT_EQ(OpenDescriptorCount(), open_before);
    if (plan[at].fails_save) {
      EXPECT_EQ(saved, SaveOutcome::kFailed);
      EXPECT_THAT(ui.errors,
                  ElementsAre("Cannot save " + path + ": Input/output error"));
      EXPECT_EQ(Contents(path), "old\r\n");
      // The calls up to the failed one, then the cleanup: the temporary
      // closed if still open and removed if made, the folder closed.
      std::vector<std::string> expected(calls.begin(), calls.begin() + at + 1);
      if (at > temporary_opened) {
        if (at < temporary_closed) expected.emplace_back("close");
        expected.emplace_back("unlinkat");
      }
      if (at > 0) expected.emplace_back("close");
      EXPECT_EQ(InjectedFaults::steps, expected);
    } else {
      EXPECT_EQ(saved, SaveOutcome::kSaved);
      EXPECT_THAT(ui.errors, IsEmpty());
      EXPECT_EQ(Contents(path), "new\r\nitems\r\n");
      EXPECT_EQ(InjectedFaults::steps, calls);
    }
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    if (other_owner) {
      EXPECT_EQ(info.st_uid, kNobody);
    }
    EXPECT_THAT(Names(), ElementsAre("old.txt"));
  }
}

TEST_F(FaultInjectionTest, FailedSaveOfANewFileLeavesNothing) {
  const std::string path = PathOf("new.txt");
  // folder, free name, temporary, write, fsync, close, rename, fsync, close
  for (int at : {0, 1, 2, 3, 4, 5, 6}) {
    SCOPED_TRACE(at);
    FakeUi ui;
    InjectedFaults::Reset(at);
    EXPECT_EQ(SaveListFile(ListOf({"a"}), path, ui), SaveOutcome::kFailed);
    EXPECT_THAT(ui.errors,
                ElementsAre("Cannot save " + path + ": Input/output error"));
    EXPECT_THAT(Names(), IsEmpty());
  }
  // When even the removal fails, the temporary is all that is left: the
  // error still names the first failure.
  FakeUi ui;
  InjectedFaults::Reset(3);
  InjectedFaults::fail_unlink = true;
  const int open_before = OpenDescriptorCount();
  EXPECT_EQ(SaveListFile(ListOf({"a"}), path, ui), SaveOutcome::kFailed);
  EXPECT_EQ(OpenDescriptorCount(), open_before);
  EXPECT_THAT(ui.errors,
              ElementsAre("Cannot save " + path + ": Input/output error"));
  const std::vector<std::string> left = Names();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_THAT(left[0], ::testing::StartsWith(".karvello-"));
}

// A signal that ends the process half-way through the write, sent by the
// write itself so that it always lands at the same point.
TEST_F(FaultInjectionTest, SignalDuringTheWriteRemovesTheTemporary) {
  const std::string path = PathOf("old.txt");
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    Write("old.txt", "old\r\n");
    const auto outcome = RunInChild([&] {
      static int to_send;
      to_send = signal_number;
      internal::Calls().write = [](int fd, const void* data, size_t size) {
        const ssize_t n = internal::RealCalls().write(fd, data, size / 2);
        kill(getpid(), to_send);
        return n;
      };
      FakeUi ui;
      SaveListFile(ListOf({"new", "items"}), path, ui);
      return std::string("not stopped");
    });
    EXPECT_TRUE(WIFSIGNALED(outcome.status));
    EXPECT_EQ(WTERMSIG(outcome.status), signal_number);
    EXPECT_EQ(Contents(path), "old\r\n");
    EXPECT_THAT(Names(), ElementsAre("old.txt"));
  }

  // A process that ignores the signal, as under nohup, goes on and saves.
  const auto outcome = RunInChild([&] {
    std::signal(SIGHUP, SIG_IGN);
    internal::Calls().write = [](int fd, const void* data, size_t size) {
      kill(getpid(), SIGHUP);
      return internal::RealCalls().write(fd, data, size);
    };
    FakeUi ui;
    return std::string(SaveListFile(ListOf({"new"}), path, ui) ==
                               SaveOutcome::kSaved
                           ? "saved"
                           : "failed");
  });
  EXPECT_TRUE(WIFEXITED(outcome.status));
  EXPECT_EQ(outcome.written, "saved");
  EXPECT_EQ(Contents(path), "new\r\n");
  EXPECT_THAT(Names(), ElementsAre("old.txt"));
}

}  // namespace
}  // namespace karvello
