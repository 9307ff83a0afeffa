// Runs the built karvello-cli on inputs larger than the memory it is given
// and checks that the result is byte for byte that of the in-memory run.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FolderTest.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct Outcome {
  int status = -1;
  std::string err;
};

class ExternalModeTest : public karvello::testing::FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    fs::create_directory(dir_ / "spill");
  }
  void TearDown() override {
    if (mounted_) umount2((dir_ / "spill").c_str(), MNT_DETACH);
    FolderTest::TearDown();
  }

  // Runs `command` (shell words; CLI stands for the tool) in the test's
  // folder, standard error going to the file "stderr".
  Outcome Shell(const std::string& command) {
    std::string line = command;
    for (std::size_t at; (at = line.find("CLI")) != std::string::npos;) {
      line.replace(at, 3, "'" KARVELLO_CLI_PATH "'");
    }
    const int status = std::system(
        ("cd '" + dir_.string() + "' && " + line + " 2>stderr").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Contents("stderr")};
  }

  bool mounted_ = false;
};

// A list file of about `bytes` bytes: items drawn from `distinct` texts, one
// of which is very common, with empty items, quoted fields holding commas,
// a few long items, and LF, CR LF and lone CR line ends.
std::string RandomListFile(unsigned seed, std::size_t bytes,
                           std::size_t distinct) {
  std::mt19937 random(seed);
  std::string file;
  while (file.size() < bytes) {
    const std::size_t n = random() % 5 == 0 ? 7 : random() % distinct;
    if (n % 211 == 5) {
      file += std::string(3000 + n % 5000, static_cast<char>('A' + n % 26));
    } else if (n % 53 != 6) {
      file += "text-" + std::to_string(n * 2654435761u % 1000003);
    }
    if (n % 17 == 3) file += ",\"quoted, " + std::to_string(n) + "\"";
    static const char* const kEnds[] = {"\n", "\r\n", "\r", ","};
    file += kEnds[random() % 4];
  }
  return file;
}

TEST_F(ExternalModeTest, EveryOperationWritesWhatTheInMemoryRunWrites) {
  for (const unsigned seed : {11u, 12u}) {
    SCOPED_TRACE(seed);
    Write("big", RandomListFile(seed, 3 << 20, 60000));
    Write("more", RandomListFile(seed + 100, 1 << 20, 60000));
    Write("other", RandomListFile(seed + 200, 2 << 20, 90000));
    const std::string commands[] = {
        "cat",
        "dedupe",
        "dedupe --count",
        "remove-all-dupes",
        "remove-with 7",
        "remove-without 1",
        "remove-blanks",
        "subtract other",
        "keep-matches other",
    };
    for (const std::string& command : commands) {
      SCOPED_TRACE(command);
      // Through a pipe, whose size is unknown, the whole list is loaded and
      // the list operation runs on it: that is the result to match.
      ASSERT_EQ(
          Shell("cat big | CLI " + command + " - more -o expected").status, 0);
      const std::string expected = Contents("expected");
      ASSERT_GT(expected.size(), 0u);
      // Files of known size: streamed where the command allows.
      Outcome run = Shell("CLI " + command + " big more -o out");
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(Contents("out") == expected);
      // Past the budget: in parts on disk.
      run = Shell("CLI " + command +
                  " big more --memory 1M --temp-dir spill -o out");
      EXPECT_EQ(run.status, 0);
      EXPECT_THAT(run.err, IsEmpty());
      EXPECT_TRUE(Contents("out") == expected);
      // A pipe that reaches the budget part-way, between two files; and LF
      // line ends.
      ASSERT_EQ(Shell("cat big | CLI " + command + " big - more --lf >expected")
                    .status,
                0);
      run = Shell("cat big | CLI " + command +
                  " big - more --lf --memory 1M --temp-dir spill >out");
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(Contents("out") == Contents("expected"));
      EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
    }
  }
}

// A copy passes long stretches of lines that already end as the output's do
// straight through; around them, every other kind of line end, field and
// byte-order mark must still come out as the items would.
TEST_F(ExternalModeTest, CopiesWriteWhatTheItemsWouldAroundCleanStretches) {
  std::string crlf_lines;
  std::string lf_lines;
  for (int i = 0; i < 40000; ++i) {
    crlf_lines += "user" + std::to_string(i) + "@example.com\r\n";
    lf_lines += "name " + std::to_string(i) + "\n";
  }
  Write("clean", crlf_lines);
  Write("mixed", "\xEF\xBB\xBF" + crlf_lines + RandomListFile(5, 1 << 20, 900) +
                     lf_lines + "\r\n\r\n" + crlf_lines + "no line end");
  // remove-with a string that no item holds keeps every item too, but
  // reads and writes each one: the result to match.
  const std::string by_items = " remove-with '#none#'";
  auto counts = [](const std::string& stats) {
    return stats.substr(stats.find(" items read"));
  };
  for (const std::string input : {"clean", "mixed"}) {
    SCOPED_TRACE(input);
    for (const std::string options : {"", " --lf"}) {
      SCOPED_TRACE(options);
      const Outcome expected = Shell("CLI" + by_items + " " + input + options +
                                     " --stats >expected");
      ASSERT_EQ(expected.status, 0);
      Outcome run = Shell("CLI cat " + input + options + " --stats -o out");
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(Contents("out") == Contents("expected"));
      EXPECT_EQ(counts(run.err), counts(expected.err));
      run = Shell("cat " + input + " | CLI cat" + options + " >out");
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(Contents("out") == Contents("expected"));
    }
  }
  EXPECT_TRUE(Contents("out") != Contents("clean"));
  const Outcome run = Shell("CLI cat clean clean --stats -o out");
  ASSERT_EQ(run.status, 0);
  EXPECT_TRUE(Contents("out") == crlf_lines + crlf_lines);
  EXPECT_EQ(run.err,
            "karvello-cli: cat: 80000 items read from 2 files, 0 removed, "
            "80000 written\n");
}

// Options that change how items are read, compared or reported: a run given
// a budget must honour them as the run in memory does.
TEST_F(ExternalModeTest, OptionsThatChangeTheComparisonKeepTheirMeaning) {
  Write("small", "Anna,ANNA \n Bo\nanna\nBo,x\nBo\n");
  Write("other", "ANNA\nbo\n");
  Write("big", RandomListFile(21, 2 << 20, 60000));
  struct Case {
    const char* command;
    const char* small_result;  // of the small file alone, with --lf
  };
  const Case cases[] = {
      {"dedupe --ignore-case", "Anna\nANNA \n Bo\nBo\nx\n"},
      {"dedupe --trim", "Anna\nANNA \n Bo\nanna\nx\n"},
      {"dedupe --ignore-case --trim", "Anna\n Bo\nx\n"},
      {"dedupe --count", "Anna\t1\nANNA \t1\n Bo\t1\nanna\t1\nBo\t2\nx\t1\n"},
      {"dedupe --lines", "Anna,ANNA \n Bo\nanna\nBo,x\nBo\n"},
      {"cat --lines", "Anna,ANNA \n Bo\nanna\nBo,x\nBo\n"},
      {"dedupe --stats", "Anna\nANNA \n Bo\nanna\nBo\nx\n"},
      {"remove-all-dupes --lines --stats", "Anna,ANNA \n Bo\nanna\nBo,x\nBo\n"},
      {"subtract other --lines --stats", "Anna,ANNA \n Bo\nanna\nBo,x\nBo\n"},
      {"keep-matches small --stats", "Anna\nANNA \n Bo\nanna\nBo\nx\nBo\n"},
      {"remove-with bo --ignore-case", "Anna\nANNA \nanna\nx\n"},
      {"remove-all-dupes --trim", "Anna\nANNA \nanna\nx\n"},
      {"subtract other --ignore-case", "ANNA \n Bo\nx\n"},
      {"keep-matches other --trim", "ANNA \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string command = c.command;
    // The small file streams where the command allows, whatever the
    // budget; a missing temporary folder would stop a run in parts.
    Outcome run = Shell("CLI " + command + " small --lf -o out");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Contents("out"), c.small_result);
    Outcome budgeted = Shell("CLI " + command +
                             " small --lf --memory 1M --temp-dir nowhere"
                             " -o out");
    EXPECT_EQ(budgeted.status, 0);
    EXPECT_EQ(Contents("out"), c.small_result);
    EXPECT_EQ(budgeted.err, run.err);

    // Past the budget, the same bytes as the run in memory: through a
    // pipe, whose size is unknown, the list is loaded whole while it fits.
    run = Shell("cat big | CLI " + command + " - small -o expected");
    ASSERT_EQ(run.status, 0);
    budgeted = Shell("CLI " + command +
                     " big small --memory 1M --temp-dir spill -o out");
    EXPECT_EQ(budgeted.status, 0);
    EXPECT_TRUE(Contents("out") == Contents("expected"));
    EXPECT_EQ(budgeted.err, run.err);
    EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
  }
  EXPECT_EQ(Shell("CLI dedupe --stats small --memory 1M >/dev/null").err,
            "karvello-cli: dedupe: 7 items read from 1 file, 1 removed, "
            "6 written\n");
}

// Items that differ only in case or in the blanks around them: in every
// mode, the items whose keys are equal must meet, in one part or one set.
TEST_F(ExternalModeTest, LooserComparisonsHoldInEveryMode) {
  std::mt19937 random(31);
  auto variant = [&](std::size_t n) {
    static const char* const kNames[] = {"anna", "\xC3\xA9mile", "\xCF\x83",
                                         "bo"};
    std::string item = kNames[n % 4] + std::to_string(n);
    if (random() % 2 == 0) {  // ASCII and two-byte letters in upper case
      for (char& c : item) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
      if (item[0] == '\xC3') item[1] = '\x89';
      if (item[0] == '\xCF') item = "\xCE\xA3" + item.substr(2);
    }
    static const char* const kBlanks[] = {"", "", " ", "\t", "  "};
    return kBlanks[random() % 5] + item + kBlanks[random() % 5];
  };
  std::string big;
  std::string other;
  while (big.size() < (3u << 20)) big += variant(random() % 40000) + "\n";
  while (other.size() < (1u << 20)) other += variant(random() % 80000) + "\n";
  Write("big", big);
  Write("other", other);
  for (const std::string keys :
       {"--ignore-case", "--trim", "--ignore-case --trim"}) {
    for (const std::string command :
         {"dedupe", "dedupe --count", "remove-all-dupes", "subtract other",
          "keep-matches other", "remove-with ANNA1"}) {
      SCOPED_TRACE(command + " " + keys);
      const std::string line = command + " " + keys + " --stats";
      // Through a pipe the list is loaded whole: the result to match.
      const Outcome expected = Shell("cat big | CLI " + line + " -o expected");
      ASSERT_EQ(expected.status, 0);
      const Outcome streamed = Shell("CLI " + line + " big -o out");
      EXPECT_EQ(streamed.status, 0);
      EXPECT_TRUE(Contents("out") == Contents("expected"));
      EXPECT_EQ(streamed.err, expected.err);
      const Outcome parts =
          Shell("CLI " + line + " big --memory 1M --temp-dir spill -o out");
      EXPECT_EQ(parts.status, 0);
      EXPECT_TRUE(Contents("out") == Contents("expected"));
      EXPECT_EQ(parts.err, expected.err);
    }
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
}

TEST_F(ExternalModeTest, GoesExternalOnlyPastTheBudget) {
  // A temporary folder that does not exist shows which mode ran: only the
  // external mode needs it.
  Write("small", "b\na\nb\n");
  Write("big", RandomListFile(3, 2 << 20, 1000));
  Outcome run = Shell("CLI dedupe small --memory 1M --temp-dir nowhere >out");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Contents("out"), "b\r\na\r\n");
  run = Shell("cat small | CLI dedupe --memory 1M --temp-dir nowhere >out");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Contents("out"), "b\r\na\r\n");

  Write("out", "old");
  run = Shell("CLI dedupe big --memory 1M --temp-dir nowhere -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("temporary folder nowhere: No such file"));
  EXPECT_EQ(Contents("out"), "old");
  run = Shell("cat big | CLI dedupe --memory 1M --temp-dir nowhere -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Contents("out"), "old");
  // TMPDIR is the default folder.
  run = Shell("TMPDIR=nowhere CLI dedupe big --memory 1M -o out");
  EXPECT_THAT(run.err, HasSubstr("temporary folder nowhere: No such file"));

  EXPECT_EQ(Shell("CLI dedupe big --memory 0 >out").status, 2);
  EXPECT_EQ(Shell("CLI dedupe big --memory 12Q >out").status, 2);
  EXPECT_EQ(Shell("CLI dedupe big --memory M >out").status, 2);
  EXPECT_EQ(Shell("CLI dedupe big --memory 99999999999999999999 >out").status,
            2);
}

TEST_F(ExternalModeTest, InputProblemsStopTheRunBeforeAnyOutput) {
  Write("big", RandomListFile(4, 2 << 20, 1000));
  Write("out", "old");
  Outcome run = Shell("CLI dedupe big . --memory 1M --temp-dir spill -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("Cannot read .: Is a directory"));
  EXPECT_EQ(Contents("out"), "old");
  // A missing file is reported and nothing is written, as in memory; every
  // input is named.
  run = Shell("cat big | CLI dedupe - gone --memory 1M --temp-dir spill >out");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("File not found: gone"));
  EXPECT_EQ(Contents("out"), "");
  Write("out", "old");
  run = Shell(
      "CLI subtract nothing big gone2 --memory 1M --temp-dir spill -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("File not found: nothing"));
  EXPECT_THAT(run.err, HasSubstr("File not found: gone2"));
  EXPECT_EQ(Contents("out"), "old");
}

// A read or a write that fails part-way through a streamed run, after
// blocks have gone through the set, ends the run, reported, with OUT as it
// was.
TEST_F(ExternalModeTest, AFailurePartWayThroughAStreamStopsTheRun) {
  Write("big", RandomListFile(21, 3 << 20, 80000));
  Write("out", "old");
  // Reading /proc/self/mem from its start fails with EIO: as an input after
  // a file, as the list read past the other, and as the other list.
  for (const std::string command :
       {"dedupe big /proc/self/mem", "keep-matches big /proc/self/mem",
        "subtract /proc/self/mem big"}) {
    SCOPED_TRACE(command);
    const Outcome run = Shell("CLI " + command + " -o out");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("Cannot read /proc/self/mem"));
    EXPECT_EQ(Contents("out"), "old");
  }
  const Outcome run = Shell("CLI dedupe big >/dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("No space left on device"));
}

TEST_F(ExternalModeTest, AFullTemporaryDiskLeavesOutAsItWas) {
  if (mount("tmpfs", (dir_ / "spill").c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  mounted_ = true;
  Write("big", RandomListFile(5, 4 << 20, 100000));
  Write("out", "old");
  for (const char* command : {"dedupe", "subtract big"}) {
    SCOPED_TRACE(command);
    Outcome run = Shell(std::string("CLI ") + command +
                        " big --memory 1M --temp-dir spill -o out");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("cannot write to the temporary folder "
                                   "spill: No space left on device"));
    EXPECT_EQ(Contents("out"), "old");
    EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    names.push_back(entry.path().filename());
  }
  EXPECT_THAT(names,
              ::testing::UnorderedElementsAre("big", "out", "spill", "stderr"));
}

// The paths that process `pid` holds open; empty once it has ended.
std::vector<std::string> OpenFiles(pid_t pid) {
  std::vector<std::string> paths;
  std::error_code error;
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (fs::directory_iterator it(fds, error), end; !error && it != end;
       it.increment(error)) {
    paths.push_back(fs::read_symlink(it->path(), error).string());
  }
  return paths;
}

TEST_F(ExternalModeTest, ATerminatedRunLeavesNoSpillFileAndOutAsItWas) {
  std::signal(SIGPIPE, SIG_IGN);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Write("out", "old");
  // Not through Shell: the tool must be the background job itself, so that
  // $! is its process id.
  ASSERT_EQ(std::system(("cd '" + dir_.string() +
                         "'; '" KARVELLO_CLI_PATH "' dedupe fifo --memory 1M "
                         "--temp-dir spill -o out >/dev/null 2>&1 & "
                         "echo $! >pid")
                            .c_str()),
            0);
  const pid_t pid = std::stoi(Contents("pid"));
  // The input stays open, so the run is still reading, with its parts on
  // disk, when the signal comes.
  const int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string bytes = RandomListFile(8, 4 << 20, 100000);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  const std::string spill = fs::canonical(dir_ / "spill").string();
  bool spilling = false;
  for (int wait = 0; wait < 200 && !spilling; ++wait) {
    for (const std::string& path : OpenFiles(pid)) {
      spilling = spilling || path.starts_with(spill);
    }
    if (!spilling) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(spilling);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  for (int wait = 0; wait < 200 && !OpenFiles(pid).empty(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  close(fd);
  EXPECT_TRUE(OpenFiles(pid).empty());
  EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
  EXPECT_EQ(Contents("out"), "old");
}

TEST_F(ExternalModeTest, FinishesUnderAnAddressSpaceLimitSmallerThanItsInput) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than "
                  "any limit this test could set";
#endif
  // 64 MB of address space, of which the libraries take about 40, and 400
  // copies of a megabyte of items: the default budget follows the limit,
  // and the worker threads' allocations must not reserve room of their own.
  std::string file = RandomListFile(6, 1 << 20, 1u << 30);
  std::ofstream big(dir_ / "big", std::ios::binary);
  for (int copy = 0; copy < 400; ++copy) {
    big << "copy" << copy << '\n' << file;
  }
  big.close();
  ASSERT_EQ(Shell("CLI dedupe big --lf -o expected").status, 0);
  Outcome run =
      Shell("(ulimit -v 65536 && CLI dedupe big --lf --temp-dir spill -o out)");
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_TRUE(Contents("out") == Contents("expected"));
}

}  // namespace
