#include "listfiles/ListFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
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
using ::testing::UnorderedElementsAre;

// Records what SaveListFile asks and tells; AskYesNo answers with `answer`.
struct FakeUi : ListFileUi {
  bool AskYesNo(std::string_view question) override {
    questions.emplace_back(question);
    return answer;
  }
  void Error(const Status& status) override { errors.push_back(status); }
  bool answer = true;
  std::vector<std::string> questions;
  std::vector<Status> errors;
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

TEST_F(ListFilesTest, AppendAddsInFileOrder) {
  const std::string file = Write("a.txt", "a,b\r\n\r\nc\r\n");
  ItemList list = ListOf({"kept"});
  EXPECT_EQ(AppendListFile(list, file), 0);
  EXPECT_EQ(AppendListFile(list, file), 0);
  EXPECT_THAT(ItemsOf(list),
              ElementsAre("kept", "a", "b", "", "c", "a", "b", "", "c"));
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
  }
  EXPECT_THAT(ItemsOf(list), ElementsAre("a", "a", "a"));
  EXPECT_EQ(OpenDescriptorCount(), open_before);
}

TEST_F(ListFilesTest, SaveAsksThenWritesEveryItemWithCrLf) {
  const std::string path = Write("out.txt", "old");
  for (const bool answer : {false, true}) {
    ui_.answer = answer;
    EXPECT_EQ(SaveListFile(ListOf({"a", "", "b"}), path, ui_),
              answer ? SaveOutcome::kSaved : SaveOutcome::kDeclined);
    EXPECT_EQ(Contents(path), answer ? "a\r\n\r\nb\r\n" : "old");
  }
  EXPECT_THAT(ui_.questions,
              ElementsAre("Are you sure you wish to overwrite " + path + " ?",
                          "Are you sure you wish to overwrite " + path + " ?"));
  // A new name asks nothing.
  EXPECT_EQ(SaveListFile(ItemList(), PathOf("empty.txt"), ui_),
            SaveOutcome::kSaved);
  EXPECT_EQ(fs::file_size(PathOf("empty.txt")), 0u);
  EXPECT_EQ(ui_.questions.size(), 2u);

  // Random bytes, far past a 16-bit count. A first item that starts like a
  // byte-order mark would lose it.
  std::mt19937 random(3);
  std::vector<std::string> items = {"x"};
  for (int i = 0; i < 70000; ++i) {
    std::string item;
    for (int k = static_cast<int>(random() % 12); k > 0; --k) {
      char c = static_cast<char>(random() % 256);
      if (c == ',' || c == '"' || c == '\r' || c == '\n') c = '.';
      item += c;
    }
    items.push_back(item);
  }
  ASSERT_EQ(SaveListFile(ListOf(items), path, ui_), SaveOutcome::kSaved);
  const std::string first = Contents(path);
  ItemList back;
  ASSERT_EQ(AppendListFile(back, path), 0);
  EXPECT_EQ(ItemsOf(back), items);
  ASSERT_EQ(SaveListFile(back, path, ui_), SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), first);

  ASSERT_EQ(SaveListFile(ListOf({"x,y"}), path, ui_), SaveOutcome::kSaved);
  ItemList split;
  ASSERT_EQ(AppendListFile(split, path), 0);
  EXPECT_THAT(ItemsOf(split), ElementsAre("x", "y"));
  EXPECT_THAT(Names(), UnorderedElementsAre("out.txt", "empty.txt"));
}

// The window runs the writing on a thread of its own and may cancel it.
TEST_F(ListFilesTest, ACancelledSaveLeavesTheOldFileOrNoneAndTellsNothing) {
  const std::string path = Write("out.txt", "old");
  std::thread::id ran_on;
  auto cancelling = [&](const SaveWrite& write) {
    int error = 0;
    std::thread thread([&] {
      ran_on = std::this_thread::get_id();
      const std::atomic<bool> cancel = true;
      error = write(cancel);
    });
    thread.join();
    return error;
  };
  EXPECT_EQ(SaveListFile(ListOf({"a", "b"}), path, ui_, cancelling),
            SaveOutcome::kCancelled);
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_EQ(Contents(path), "old");
  EXPECT_EQ(SaveListFile(ListOf({"a"}), PathOf("new.txt"), ui_, cancelling),
            SaveOutcome::kCancelled);
  EXPECT_TRUE(ui_.errors.empty());
  EXPECT_THAT(Names(), UnorderedElementsAre("out.txt"));

  // Run to its end where the runner says, the same as in place.
  auto running = [](const SaveWrite& write) {
    const std::atomic<bool> cancel = false;
    return write(cancel);
  };
  EXPECT_EQ(SaveListFile(ListOf({"a", "b"}), path, ui_, running),
            SaveOutcome::kSaved);
  EXPECT_EQ(Contents(path), "a\r\nb\r\n");
  EXPECT_EQ(SaveListFile(ListOf({"a"}), dir_, ui_, running),
            SaveOutcome::kFailed);
  ASSERT_EQ(ui_.errors.size(), 1u);
  EXPECT_EQ(ui_.errors[0].error(), EISDIR);
}

TEST_F(ListFilesTest, FailedSaveGivesTheRealReasonAndLeavesNothing) {
  fs::create_symlink("loop2", PathOf("loop1"));
  fs::create_symlink("loop1", PathOf("loop2"));
  fs::create_symlink("no/such/folder/f.txt", PathOf("nowhere"));
  const std::pair<std::string, int> cases[] = {
      {PathOf("no/such/folder.txt"), ENOENT},
      {dir_, EISDIR},
      // A file that root may open for writing but not replace: its folder
      // takes no new file.
      {"/proc/version", EACCES},
      {PathOf("loop1"), ELOOP},
      {PathOf("nowhere"), ENOENT},
      {PathOf(std::string(256, 'n')), ENAMETOOLONG},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path);
    FakeUi ui;
    EXPECT_EQ(SaveListFile(ListOf({"a"}), path, ui), SaveOutcome::kFailed);
    ASSERT_EQ(ui.errors.size(), 1u);
    EXPECT_EQ(ui.errors[0].error(), error);
  }
  // The window's words for it.
  FakeUi ui;
  ASSERT_EQ(SaveListFile(ListOf({"a"}), dir_, ui), SaveOutcome::kFailed);
  EXPECT_EQ(ui.errors[0].Sentence(),
            "Cannot save " + dir_.string() + ": Is a directory");
  EXPECT_THAT(Names(), UnorderedElementsAre("loop1", "loop2", "nowhere"));
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
    for (const int fd : {STDOUT_FILENO, 40, ends[1]}) close(fd);
    char bytes[512];
    const ssize_t n = read(ends[0], bytes, sizeof bytes);
    return said + std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
  });
  EXPECT_EQ(outcome.written,
            "/dev/fd/41: Bad file descriptor\n"
            "/dev/stdout\n/dev/fd/1\n/proc/self/fd/1\n" +
                link + "\n/dev/fd/40\n/proc/self/fd/40\n");
  EXPECT_EQ(Contents("log"), "old\n" + log + "\n");
  EXPECT_THAT(Names(), UnorderedElementsAre("out-link", "log"));
}

// Permissions are those of the user who saves: each case runs as nobody in
// a folder anyone may write, like a shared /srv/lists without a sticky bit.
TEST_F(ListFilesTest, SaveReplacesOnlyWhatTheUserMayWrite) {
  if (!CanSwitchUsers()) {
    GTEST_SKIP() << "needs root to act as the user nobody and as another";
  }
  // The name, the owner and mode of the file (0: none), what a save says,
  // the mode afterwards.
  const std::tuple<const char*, uid_t, mode_t, const char*, mode_t> cases[] = {
      {"own-ro.txt", kNobody, 0444, "Permission denied", 0444},
      // Root's file that anyone may write would pass to nobody.
      {"shared.txt", 0, 0666, "Operation not permitted", 0666},
      // No room for a temporary file: no rewrite in place either.
      {"locked/own.txt", kNobody, 0644, "Permission denied", 0644},
      {"own.txt", kNobody, 0640, "saved", 0640},
      // Written and searched but not read, like a drop box: fine.
      {"wx/own.txt", kNobody, 0604, "saved", 0604},
      {"wx/new.txt", 0, 0, "saved", 0},
      // A write clears the set-ID bits of a program (the set-group-ID bit
      // only where the group may execute), and so does a save; as nobody,
      // chmod 4755 s.bin and a save left 4755.
      {"setuid.bin", kNobody, 04755, "saved", 0755},
      {"setgid.bin", kNobody, 02775, "saved", 0775},
      {"both.bin", kNobody, 06711, "saved", 0711},
      {"locking.txt", kNobody, 02744, "saved", 02744},
  };
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  fs::create_directory(dir_ / "locked");
  fs::create_directory(dir_ / "wx");
  std::string expected;
  for (const auto& [name, owner, mode, reason, after] : cases) {
    if (mode != 0) {
      Write(name, "old");
      ASSERT_EQ(chown(PathOf(name).c_str(), owner, owner), 0);
      ASSERT_EQ(chmod(PathOf(name).c_str(), mode), 0);
    }
    expected += reason + std::string("|");
  }
  ASSERT_EQ(chmod((dir_ / "wx").c_str(), 0333), 0);
  const auto outcome = RunInChild(
      [&] {
        std::string said;
        for (const auto& [name, owner, mode, reason, after] : cases) {
          const int error = ReplaceWithList(ListOf({"new"}), PathOf(name), "");
          said += (error ? std::strerror(error) : "saved") + std::string("|");
        }
        return said;
      },
      /*as_nobody=*/true);
  EXPECT_EQ(outcome.written, expected);
  for (const auto& [name, owner, mode, reason, after] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Contents(name), std::string(reason) == "saved" ? "new" : "old");
    struct stat info {};
    ASSERT_EQ(stat(PathOf(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, mode != 0 ? owner : kNobody);
    EXPECT_EQ(info.st_mode & 07777, mode != 0 ? after : info.st_mode & 07777);
  }
  // Root may keep them, as a write by root does.
  Write("root.bin", "old");
  ASSERT_EQ(chmod(PathOf("root.bin").c_str(), 06755), 0);
  ASSERT_EQ(ReplaceWithList(ListOf({"new"}), PathOf("root.bin"), ""), 0);
  struct stat info {};
  ASSERT_EQ(stat(PathOf("root.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 06755u);
  EXPECT_EQ(Names("locked").size() + Names("wx").size(), 3u);
}

// Sets the kernel's protections for links, files and FIFOs in shared folders
// (to Debian's values, from procps, or all off) for one test. A process of
// its own, in a session of its own, puts the old values back as soon as the
// test ends, even when the test process is killed.
class KernelProtections {
 public:
  KernelProtections() {
    for (const auto& [name, on] : kNames)
      std::ifstream(Path(name)) >> old_[name];
    int ends[2];
    if (pipe(ends) != 0 || (guardian_ = fork()) < 0) return;
    if (guardian_ == 0) {
      setsid();
      close(ends[1]);
      // Blocks until the test process closes its end, or ends.
      for (char byte; read(ends[0], &byte, 1) > 0;) {
      }
      for (const auto& [name, value] : old_) std::ofstream(Path(name)) << value;
      _exit(0);
    }
    close(ends[0]);
    done_ = ends[1];
  }
  ~KernelProtections() {
    close(done_);
    if (guardian_ > 0) waitpid(guardian_, nullptr, 0);
  }
  // Returns why they could not be set, or nothing.
  std::string Set(bool on) {
    for (const auto& [name, value] : kNames) {
      std::ofstream file(Path(name));
      if (guardian_ <= 0 || !(file << (on ? value : "0") << std::flush)) {
        return "cannot set " + Path(name) + ": " + std::strerror(errno);
      }
    }
    return "";
  }

 private:
  static constexpr std::pair<const char*, const char*> kNames[] = {
      {"symlinks", "1"}, {"hardlinks", "1"}, {"regular", "2"}, {"fifos", "1"}};
  static std::string Path(const std::string& name) {
    return "/proc/sys/fs/protected_" + name;
  }
  std::map<std::string, std::string> old_;
  pid_t guardian_ = -1;
  int done_ = -1;
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
  // What the save through each name said, then what the link's target, the
  // dangling link's new file, the other user's file and the FIFO's reader
  // hold; with the protections on, and off as root and as nobody, who may
  // write the other user's file but not keep its owner.
  const std::string refused = "Permission denied|";
  const std::string expected[2][2] = {
      {refused + refused + refused + refused + "old||old|",
       refused + refused + refused + refused + "old||old|"},
      {"saved|saved|saved|saved|link|dangling|file|fifo",
       "saved|saved|Operation not permitted|saved|link|dangling|old|fifo"}};
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  for (const bool on : {true, false}) {
    for (const uid_t saver : {uid_t{0}, kNobody}) {
      SCOPED_TRACE(::testing::Message() << "on " << on << ", uid " << saver);
      ASSERT_EQ(protections.Set(on), "");
      for (const char* folder : {"tmp", "mine"}) {
        fs::remove_all(dir_ / folder);
        fs::create_directory(dir_ / folder);
      }
      ASSERT_EQ(chmod(PathOf("tmp").c_str(), 01777), 0);
      Write("mine/target.txt", "old");
      Write("tmp/file", "old");
      fs::create_symlink("../mine/target.txt", PathOf("tmp/link"));
      fs::create_symlink("../mine/created.txt", PathOf("tmp/dangling"));
      ASSERT_EQ(mkfifo(PathOf("tmp/fifo").c_str(), 0), 0);
      for (const char* mine : {"mine", "mine/target.txt"}) {
        ASSERT_EQ(chown(PathOf(mine).c_str(), saver, saver), 0);
      }
      for (const std::string& name : names) {
        ASSERT_EQ(lchown(PathOf("tmp/" + name).c_str(), kOther, kOther), 0);
        if (name == "file" || name == "fifo") {
          ASSERT_EQ(chmod(PathOf("tmp/" + name).c_str(), 0666), 0);
        }
      }
      // A reader, so that a FIFO that may be opened is never waited on.
      const int reader =
          open(PathOf("tmp/fifo").c_str(), O_RDONLY | O_NONBLOCK);
      const auto outcome = RunInChild(
          [&] {
            std::string said;
            for (const std::string& name : names) {
              const int error =
                  ReplaceWithList(ListOf({name}), PathOf("tmp/" + name), "");
              said +=
                  (error ? std::strerror(error) : "saved") + std::string("|");
            }
            return said;
          },
          saver == kNobody);
      char fifo[64];
      const ssize_t n = read(reader, fifo, sizeof fifo);
      close(reader);
      EXPECT_EQ(outcome.written + Contents("mine/target.txt") + "|" +
                    Contents("mine/created.txt") + "|" + Contents("tmp/file") +
                    "|" + std::string(fifo, n > 0 ? n : 0),
                expected[!on][saver == kNobody]);
      struct stat info {};
      ASSERT_EQ(stat(PathOf("tmp/file").c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, kOther);
      EXPECT_EQ(info.st_mode & 07777, 0666u);
      EXPECT_EQ(Names("tmp").size(), 4u);
      EXPECT_EQ(Names("mine").size(), on ? 1u : 2u);
    }
  }
}

// An access ACL as the kernel stores it in system.posix_acl_access: a
// version, then each entry's tag, permissions and id, little-endian.
std::string AccessAcl(std::initializer_list<
                      std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>>
                          entries) {
  std::string acl;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>(value >> 8 * i);
  };
  put(2, 4);
  for (const auto& [tag, permissions, id] : entries) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return acl;
}

std::string AttributeOf(const std::string& path, const char* name) {
  std::string value(4096, '\0');
  const ssize_t n = getxattr(path.c_str(), name, value.data(), value.size());
  value.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return value;
}

// A redirection keeps the file, and with it its ACL and extended
// attributes; a replace copies them. After setfacl -m u:nobody:--- on a
// 0644 list, a save let nobody read it again.
TEST_F(ListFilesTest, SaveKeepsTheAccessListAndUserAttributes) {
  const std::string path = Write("acl.txt", "old");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  constexpr std::uint32_t kNoId = 0xFFFFFFFF;
  // user::rw- user:nobody:--- group::r-- mask::r-- other::r--
  const std::string acl = AccessAcl({{0x01, 6, kNoId},
                                     {0x02, 0, kNobody},
                                     {0x04, 4, kNoId},
                                     {0x10, 4, kNoId},
                                     {0x20, 4, kNoId}});
  if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(),
               0) != 0) {
    GTEST_SKIP() << "no ACLs on this file system";
  }
  ASSERT_EQ(setxattr(path.c_str(), "user.origin", "crm", 3, 0), 0);
  ASSERT_EQ(ReplaceWithList(ListOf({"new"}), path, ""), 0);
  EXPECT_EQ(Contents("acl.txt"), "new");
  EXPECT_EQ(AttributeOf(path, "system.posix_acl_access"), acl);
  EXPECT_EQ(AttributeOf(path, "user.origin"), "crm");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  if (CanSwitchUsers()) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const auto outcome = RunInChild(
        [&] {
          const int fd = open(path.c_str(), O_RDONLY);
          return std::string(fd < 0 ? std::strerror(errno) : "read");
        },
        /*as_nobody=*/true);
    EXPECT_EQ(outcome.written, "Permission denied");
  }
}

// The writer's system calls, made to fail one at a time.
struct InjectedFaults {
  static inline std::vector<std::string> steps;
  static inline int fail_at = -1;           // index into steps, -1 for none
  static inline int first_write_mode = -1;  // of the file written first

  // Makes the call `kCall` record itself as `name`, and fail with EIO when
  // its turn comes.
  template <auto kCall, typename R, typename... Args>
  static void Wrap(const char* name, R (*)(Args...)) {
    static std::string_view called;
    called = name;
    internal::Calls().*kCall = [](Args... args) -> R {
      const auto real = internal::RealCalls().*kCall;
      struct stat info {};
      if (called == "write" && first_write_mode < 0 &&
          fstat(std::get<0>(std::tie(args...)), &info) == 0) {
        first_write_mode = static_cast<int>(info.st_mode & 07777);
      }
      steps.emplace_back(called);
      if (static_cast<int>(steps.size()) - 1 != fail_at) return real(args...);
      // A failed close still frees the descriptor, as on Linux.
      if (called == "close") real(args...);
      errno = EIO;
      return -1;
    };
  }
  static void Install() {
    steps.clear();
    fail_at = -1;
    using internal::WriterCalls;
    WriterCalls& calls = internal::Calls();
    Wrap<&WriterCalls::openat>("openat", calls.openat);
    Wrap<&WriterCalls::write>("write", calls.write);
    Wrap<&WriterCalls::fchown>("fchown", calls.fchown);
    Wrap<&WriterCalls::fchmod>("fchmod", calls.fchmod);
    Wrap<&WriterCalls::fsync>("fsync", calls.fsync);
    Wrap<&WriterCalls::renameat>("renameat", calls.renameat);
    Wrap<&WriterCalls::close>("close", calls.close);
    Wrap<&WriterCalls::unlinkat>("unlinkat", calls.unlinkat);
    Wrap<&WriterCalls::fstatat>("fstatat", calls.fstatat);
    Wrap<&WriterCalls::readlinkat>("readlinkat", calls.readlinkat);
    Wrap<&WriterCalls::flistxattr>("flistxattr", calls.flistxattr);
    Wrap<&WriterCalls::fgetxattr>("fgetxattr", calls.fgetxattr);
    Wrap<&WriterCalls::fsetxattr>("fsetxattr", calls.fsetxattr);
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
// (the old file byte for byte, with its mode, owner, group and other hard
// link; no new file; no temporary), closing every descriptor; the temporary
// file is 0600 until its text is complete.
TEST_F(FaultInjectionTest, EveryFailedStepKeepsWhatWasThere) {
  // As root, the old file has another group than the saver's, and through
  // the link another owner too, both of which the new file keeps.
  const bool as_root = CanSwitchUsers();
  const mode_t umask_now = umask(0);
  umask(umask_now);
  // The calls of a save in order; the failure of one marked ? fails nothing.
  // The old file has an extended attribute to keep.
  const std::string create =
      " openat write flistxattr fchmod fsync close fstatat renameat fsync? "
      "close? close?";
  const std::string replace =
      " openat write" + std::string(as_root ? " fchown" : "") +
      " flistxattr fgetxattr fsetxattr fchmod fsync close fstatat renameat "
      "fsync? close? close?";
  const std::string link = " fstatat close? readlinkat openat fstatat";
  // The temporary file's name must not push a name at the limit over it.
  const std::string longest(255, 'n');
  const std::vector<std::array<std::string, 3>> cases = {
      // the name saved to, the file written, the calls
      {"old.txt", "old.txt", "openat fstatat? openat openat fstatat" + replace},
      {longest, longest, "openat openat fstatat" + create},
      {"link.txt", "old.txt", "openat fstatat? openat openat" + link + replace},
      {"dangling", "new.txt", "openat fstatat? openat openat" + link + create},
  };
  for (const auto& [out, target, plan] : cases) {
    std::vector<std::string> calls;
    std::vector<bool> fails_save;
    std::istringstream words(plan);
    for (std::string call; words >> call;) {
      fails_save.push_back(call.back() != '?');
      if (!fails_save.back()) call.pop_back();
      calls.push_back(call);
    }
    const bool old = target == "old.txt";
    for (std::size_t at = 0; at <= calls.size(); ++at) {
      SCOPED_TRACE(::testing::Message() << plan << ", failing call " << at);
      for (const std::string& name : Names()) fs::remove(dir_ / name);
      if (old) {
        Write("old.txt", "old");
        chmod(PathOf("old.txt").c_str(), 0604);
        const uid_t owner = out == "link.txt" ? kNobody : 0;
        ASSERT_TRUE(!as_root ||
                    chown(PathOf("old.txt").c_str(), owner, kNobody) == 0);
        ASSERT_EQ(setxattr(PathOf("old.txt").c_str(), "user.kept", "k", 1, 0),
                  0);
        fs::create_hard_link(PathOf("old.txt"), PathOf("hard"));
      }
      if (out != target) fs::create_symlink(target, PathOf(out));
      const std::vector<std::string> before = Names();
      const int open_before = OpenDescriptorCount();
      InjectedFaults::steps.clear();
      InjectedFaults::fail_at = at < calls.size() ? static_cast<int>(at) : -1;
      InjectedFaults::first_write_mode = -1;
      const int error = ReplaceWithList(ListOf({"new"}), PathOf(out), "");
      EXPECT_EQ(OpenDescriptorCount(), open_before);
      const bool failed = at < calls.size() && fails_save[at];
      EXPECT_EQ(error, failed ? EIO : 0);
      EXPECT_EQ(Contents(target), failed ? (old ? "old" : "") : "new");
      EXPECT_EQ(Contents("hard"), old ? "old" : "");
      EXPECT_EQ(Names().size(), before.size() + (!failed && !old));
      // The calls up to the failed one, then only looks and cleanup.
      const std::vector<std::string>& steps = InjectedFaults::steps;
      const std::size_t made = failed ? at + 1 : calls.size();
      ASSERT_GE(steps.size(), made);
      EXPECT_EQ(std::vector(steps.begin(), steps.begin() + made),
                std::vector(calls.begin(), calls.begin() + made));
      EXPECT_TRUE(failed || steps.size() == made);
      for (std::size_t i = made; i < steps.size(); ++i) {
        EXPECT_THAT(steps[i], ::testing::Not(::testing::AnyOf(
                                  "write", "fchown", "fchmod", "fsync",
                                  "renameat", "fsetxattr")));
      }
      if (InjectedFaults::first_write_mode >= 0) {
        EXPECT_EQ(InjectedFaults::first_write_mode, 0600);
      }
      struct stat info {};
      if (stat(PathOf(target).c_str(), &info) == 0) {
        EXPECT_EQ(info.st_mode & 07777, old ? 0604u : 0666u & ~umask_now);
        const bool other = as_root && old;
        EXPECT_EQ(info.st_uid, other && out == "link.txt" ? kNobody : getuid());
        EXPECT_EQ(info.st_gid, other ? kNobody : getgid());
        EXPECT_EQ(AttributeOf(PathOf(target), "user.kept"), old ? "k" : "");
      }
    }
  }
}

// A signal that ends the process half-way through the write, sent by the
// write itself so that it always lands at the same point, to a save over an
// old file and to a new name, which the save has made by then.
TEST_F(FaultInjectionTest, SignalDuringTheWriteRemovesWhatTheSaveMade) {
  Write("old.txt", "old");
  // 0: SIGHUP to a process that ignores it, as under nohup, which goes on.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, 0}) {
    for (const char* name : {"new.txt", "old.txt"}) {
      SCOPED_TRACE(::testing::Message() << signal_number << " " << name);
      const auto outcome = RunInChild([&] {
        static int to_send;
        to_send = signal_number == 0 ? SIGHUP : signal_number;
        std::signal(to_send, signal_number == 0 ? SIG_IGN : SIG_DFL);
        internal::Calls().write = [](int fd, const void* data, size_t size) {
          const ssize_t n =
              internal::RealCalls().write(fd, data, (size + 1) / 2);
          kill(getpid(), to_send);
          return n;
        };
        return std::to_string(
            ReplaceWithList(ListOf({"new", "items"}), PathOf(name), ""));
      });
      if (signal_number == 0) {
        EXPECT_EQ(outcome.written, "0");
        EXPECT_EQ(Contents(name), "newitems");
      } else {
        EXPECT_TRUE(WIFSIGNALED(outcome.status) &&
                    WTERMSIG(outcome.status) == signal_number);
        EXPECT_EQ(Contents("old.txt"), "old");
        EXPECT_THAT(Names(), ElementsAre("old.txt"));
      }
    }
  }
}

}  // namespace
}  // namespace karvello
