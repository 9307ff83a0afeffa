// Runs the built karvello-cli as a script would and checks its exit status
// and the exact bytes it writes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/FolderTest.h"
#include "support/Processes.h"

namespace {

namespace fs = std::filesystem;
using ::karvello::testing::CanSwitchUsers;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class CliTest : public karvello::testing::FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    Write("in", "");
  }

  // Runs the tool in the test's folder with `args` (shell words) and
  // `streams` as the redirections of standard input and output; standard
  // error goes to the file "stderr". `prefix` runs first in the same shell.
  Outcome Cli(const std::string& args, const std::string& prefix = "",
              const std::string& streams = "<in >stdout") {
    Write("stdout", "");
    const std::string command = "cd '" + dir_.string() + "' && " + prefix +
                                "'" KARVELLO_CLI_PATH "' " + args + " " +
                                streams + " 2>stderr";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Contents("stdout"),
            Contents("stderr")};
  }
};

TEST_F(CliTest, CatLoadsFilesInOrderAndWritesCrLf) {
  Write("a", "x,y\n\"p,q\"\r\n");
  Write("b", "z");
  Write("in", "s\n");
  Outcome run = Cli("cat a b");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "x\r\ny\r\np,q\r\nz\r\n");
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_EQ(Cli("cat a - b --lf").out, "x\ny\np,q\ns\nz\n");
  EXPECT_EQ(Cli("cat").out, "s\r\n");
}

TEST_F(CliTest, EachCommandRunsItsOperation) {
  Write("a", "a\nb\na\n\nd\nb\na\nab\n");
  Write("other", "b\nq\n");
  EXPECT_EQ(Cli("dedupe a --lf").out, "a\nb\n\nd\nab\n");
  EXPECT_EQ(Cli("remove-all-dupes a --lf").out, "\nd\nab\n");
  EXPECT_EQ(Cli("remove-with b a --lf").out, "a\na\n\nd\na\n");
  EXPECT_EQ(Cli("remove-without b a --lf").out, "b\nb\nab\n");
  EXPECT_EQ(Cli("remove-blanks a --lf").out, "a\nb\na\nd\nb\na\nab\n");
  EXPECT_EQ(Cli("subtract other a --lf").out, "a\na\n\nd\na\nab\n");
  EXPECT_EQ(Cli("keep-matches other a --lf").out, "b\nb\n");
}

TEST_F(CliTest, LinesKeepsCommasAndQuotesInTheItem) {
  Write("names", "Smith, John\r\n\"Doe, Jane\"\rSmith, John\n\n");
  Write("seen", "Smith, John\n");
  EXPECT_EQ(Cli("dedupe --lines names --lf").out,
            "Smith, John\n\"Doe, Jane\"\n\n");
  EXPECT_EQ(Cli("cat names --lf").out,
            "Smith\n John\nDoe, Jane\nSmith\n John\n\n");
  // OTHER is read the same way.
  EXPECT_EQ(Cli("subtract seen names --lines --lf").out, "\"Doe, Jane\"\n\n");
  Write("in", "a,b\n");
  EXPECT_EQ(Cli("cat --lines").out, "a,b\r\n");
}

TEST_F(CliTest, StatsAddOneLineToStandardErrorOnly) {
  Write("a", "x\ny\nx\n");
  Write("in", "y\nz\n");  // standard input counts as a file
  Outcome run = Cli("dedupe a - --stats --lf");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "x\ny\nz\n");
  EXPECT_EQ(run.err,
            "karvello-cli: dedupe: 5 items read from 2 files, 2 removed, 3 "
            "written\n");
  // A failed write reports the failure, not the counts.
  run = Cli("cat a --stats", "", "<in >/dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("No space left on device"));
  EXPECT_THAT(run.err, Not(HasSubstr("written")));
}

TEST_F(CliTest, CountFollowsEachFirstCopyWithATab) {
  Write("words", "red\nRed\nblue\nred\n RED\n");
  EXPECT_EQ(Cli("dedupe words --count --ignore-case --trim").out,
            "red\t4\r\nblue\t1\r\n");
  Outcome run = Cli("dedupe words --count --stats -o out --lf");
  EXPECT_EQ(Contents("out"), "red\t2\nRed\t1\nblue\t1\n RED\t1\n");
  EXPECT_EQ(run.err,
            "karvello-cli: dedupe: 5 items read from 1 file, 1 removed, 4 "
            "written\n");
}

TEST_F(CliTest, AnyMissingOrUnreadableInputWritesNothing) {
  Write("a", "a\n");
  Write("all", "x@example.com\nunsubscribed@example.com\n");
  Write("out", "old\n");
  fs::create_symlink("loop", dir_ / "loop");
  const std::string too_long(256, 'n');
  Outcome run = Cli("cat a nope '' a/x . loop " + too_long + " -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "File not found: nope\n"
            "File not found: ''\n"
            "File not found: a/x\n"
            "Cannot read .: Is a directory\n"
            "Cannot read loop: Too many levels of symbolic links\n"
            "Cannot read " +
                too_long + ": File name too long\n");
  EXPECT_EQ(Contents("out"), "old\n");

  run = Cli("subtract unsubscribd all");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "File not found: unsubscribd\n");
  EXPECT_THAT(run.out, IsEmpty());

  // Standard input that cannot be read is no empty list either.
  run = Cli("cat a -", "", "<. >stdout");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Cannot read standard input: Is a directory\n");
  EXPECT_THAT(run.out, IsEmpty());
}

TEST_F(CliTest, UnreadableAndUnwritableFilesAsAnotherUser) {
  if (!CanSwitchUsers()) {
    GTEST_SKIP() << "needs root to run the tool as the user nobody";
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  Write("a", "a\n");
  Write("secret", "s\n");
  Write("read-only", "old\n");
  chmod((dir_ / "secret").c_str(), 0600);
  chmod((dir_ / "read-only").c_str(), 0444);
  const std::string as_nobody =
      "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  Outcome run = Cli("cat a secret", as_nobody);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Cannot read secret: Permission denied\n");
  EXPECT_THAT(run.out, IsEmpty());

  run = Cli("cat a -o read-only", as_nobody);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Cannot save read-only: Permission denied\n");
  EXPECT_EQ(Contents("read-only"), "old\n");
  // Root may write it, as a redirection could.
  EXPECT_EQ(Cli("cat a -o read-only --lf").status, 0);
  EXPECT_EQ(Contents("read-only"), "a\n");
}

TEST_F(CliTest, OutputToOwnStandardOutputAppendsWhereTheShellDoes) {
  Write("a", "a\n");
  Write("log", "old\n");
  fs::create_symlink("/dev/stdout", dir_ / "link");
  for (const char* out :
       {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "link"}) {
    Outcome run = Cli(std::string("cat a --lf -o ") + out, "", "<in >>log");
    EXPECT_EQ(run.status, 0) << out;
    EXPECT_THAT(run.err, IsEmpty()) << out;
  }
  EXPECT_EQ(Contents("log"), "old\na\na\na\na\na\n");
  EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(Cli("cat a --lf -o /dev/stderr").err, "a\n");
}

TEST_F(CliTest, OutputReplacesOutOnlyWhenComplete) {
  Write("a", "a\n");
  Write("out", "old\n");
  Outcome run = Cli("cat a -o out");
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, IsEmpty());
  EXPECT_EQ(Contents("out"), "a\r\n");

  // A write that fails half-way, past a file-size limit of 512 bytes.
  Write("big", std::string(100000, 'x') + "\n");
  run = Cli("cat big -o out", "ulimit -f 1; ");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Cannot save out: File too large\n");
  EXPECT_EQ(Contents("out"), "a\r\n");

  run = Cli("cat a -o no/such/out");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("Cannot save no/such/out: No such file"));
  EXPECT_THAT(Names(), ::testing::UnorderedElementsAre("a", "big", "in", "out",
                                                       "stdout", "stderr"));

  // A device is written to, not replaced by a file.
  EXPECT_EQ(Cli("cat a -o /dev/null").status, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(CliTest, BadUsageExitsWithTwo) {
  for (const char* args :
       {"", "frobnicate", "remove-with", "remove-with ''", "subtract",
        "cat --bogus", "cat -o ''", "cat - -", "subtract - ",
        // Options only where they mean something.
        "cat --ignore-case", "remove-blanks --trim", "subtract x --count",
        "remove-all-dupes --count"}) {
    Outcome run = Cli(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_THAT(run.err, HasSubstr("Usage:")) << args;
    EXPECT_THAT(run.out, IsEmpty()) << args;
  }
  Outcome unknown = Cli("frobnicate a");
  EXPECT_THAT(unknown.err,
              StartsWith("karvello-cli: unknown command 'frobnicate'\n"));
  Outcome help = Cli("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("keep-matches"));
  EXPECT_THAT(help.out, HasSubstr("nothing at all is written"));
  Outcome dedupe_help = Cli("dedupe --help");
  for (const char* option :
       {"--lines", "--stats", "--ignore-case", "--trim", "--count"}) {
    EXPECT_THAT(dedupe_help.out, HasSubstr(option));
  }
  Outcome version = Cli("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, StartsWith("karvello-cli "));
}

}  // namespace
