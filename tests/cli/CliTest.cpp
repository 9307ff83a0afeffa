// Runs the built karvello-cli as a script, a user and an attacker would: every
// operation in every mode against the run in memory, with the peak memory of
// each run held to its mode's bound, and then the cases that broke one mode
// or another, each in its group with the command it came from.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "listfiles/ListFileReader.h"
#include "lists/Operations.h"
#include "support/FolderTest.h"
#include "support/ItemLists.h"
#include "support/KeyTexts.h"
#include "support/ReferenceScan.h"

extern char** environ;

namespace karvello {
namespace {

namespace fs = std::filesystem;
using ::karvello::testing::ListOf;
using ::karvello::testing::ReferenceKey;
using ::karvello::testing::ReferenceOrder;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // peaks and address limits mean nothing
#else
constexpr bool kSanitized = false;
#endif

// Besides what the program itself takes: room for two blocks (one read
// ahead of the one worked on), the buffers of the reader and the writer,
// and the spill files' buffers.
constexpr long kSlackKib = 8 << 10;

struct Outcome {
  int status = -1;
  std::string out, err;
  long peak_kib = 0;  // of the tool, when the line does not close a stream
};

// A list file of about `bytes` bytes: items drawn from `distinct` texts, one
// of which is very common, in upper or lower case, with empty items, quoted
// fields holding commas, long items, blanks around some, and every kind of
// line end.
std::string RandomListFile(unsigned seed, std::size_t bytes,
                           std::size_t distinct) {
  std::mt19937 random(seed);
  std::string file;
  while (file.size() < bytes) {
    const std::size_t n = random() % 5 == 0 ? 7 : random() % distinct;
    if (n % 211 == 5) {
      file += std::string(3000 + n % 5000, static_cast<char>('A' + n % 26));
    } else if (n % 53 != 6) {
      file += (n % 3 == 0   ? " Text-"
               : n % 3 == 1 ? "text-"
                            : "TEXT-\t") +
              std::to_string(n * 2654435761u % 1000003);
    }
    if (n % 17 == 3) file += ",\"quoted, \"\"" + std::to_string(n) + "\"\"\"";
    if (n % 19 == 4) file += ",\"open, " + std::to_string(n % 7);
    if (n % 23 == 5) {
      // é as one code point, as e and an accent, in capitals; a broken one.
      static const char* const kCafe[] = {"caf\xC3\xA9", "cafe\xCC\x81",
                                          "CAF\xC3\x89", "caf\xCC\xFF"};
      file += kCafe[n % 4];
    }
    using std::literals::operator""sv;
    static constexpr std::string_view kEnds[] = {"\n", "\r\n", "\r", ",",
                                                 "\0"sv};
    file += kEnds[random() % 5];
  }
  return file;
}

// Long stretches of lines that already end as an output does, which cat
// passes on unparsed, around every other kind of line, field, byte-order
// mark and NUL.
std::string MixedListFile() {
  std::string crlf, lf;
  for (int i = 0; i < 20000; ++i) {
    // A NUL now and then, so that -z finds items of a few lines in them.
    const std::string nul(i % 100 == 99 ? 1 : 0, '\0');
    crlf += "user" + std::to_string(i) + "@example.com" + nul + "\r\n";
    lf += "name " + std::to_string(i % 7000) + nul + "\n";
  }
  return "\xEF\xBB\xBF" + crlf + RandomListFile(5, 1 << 20, 60000) + lf +
         "\r\n\r\n" + crlf + "no line end";
}

bool HasWord(const std::string& command, const std::string& word) {
  return (" " + command + " ").find(" " + word + " ") != std::string::npos;
}

// What the run in memory writes for `command` on `inputs` (files of the
// folder, in order): the inputs read into one list, the operation of the
// table run on it, the items written; and the line of --stats.
struct InMemory {
  std::string bytes;
  std::string stats;
};
class CliTest : public testing::FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    fs::create_directory(dir_ / "spill");
    if (base_kib_ == 0) base_kib_ = Shell("CLI cat </dev/null").peak_kib;
  }
  void TearDown() override {
    if (mounted_) umount2((dir_ / "spill").c_str(), MNT_DETACH);
    FolderTest::TearDown();
  }

  // Runs `line` with /bin/sh in the test's folder, CLI standing for the
  // tool; standard output and error go to the files "stdout" and "stderr"
  // unless `line` sends them elsewhere. The tool's peak is measured by
  // time(1): a process started from this one would count this one's.
  Outcome Shell(std::string line) {
    const std::string tool =
        "/usr/bin/time -f %M -o peak '" KARVELLO_CLI_PATH "'";
    for (std::size_t at; (at = line.find("CLI")) != std::string::npos;) {
      line.replace(at, 3,
                   line.find("&-") == std::string::npos ? tool
                                                        : "'" KARVELLO_CLI_PATH
                                                          "'");
    }
    chmod(Write("peak", "0").c_str(), 0666);
    const std::string script =
        "cd '" + dir_.string() + "' && { " + line + "\n} >stdout 2>stderr";
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t pid;
    Outcome outcome;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv),
                    environ) != 0) {
      return outcome;
    }
    int status;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Contents("stdout");
    outcome.err = Contents("stderr");
    // After "Command exited with non-zero status N", when it did.
    std::istringstream peak(Contents("peak"));
    for (std::string word; peak >> word;)
      outcome.peak_kib = std::atol(word.c_str());
    return outcome;
  }

  // Checks that `run` kept within `kib` above what the program takes alone.
  void ExpectPeakWithin(const Outcome& run, long kib) {
    if (kSanitized) return;
    EXPECT_LE(run.peak_kib, base_kib_ + kib) << "KiB at peak";
  }

  InMemory RunInMemory(const std::string& command,
                       const std::vector<std::string>& inputs);

  bool mounted_ = false;
  static long base_kib_;
};

long CliTest::base_kib_ = 0;

// The word after `flag` in `command`, or "".
std::string ValueAfter(const std::string& command, const std::string& flag) {
  std::istringstream words(command);
  for (std::string word; words >> word;) {
    if (word == flag && words >> word) return word;
  }
  return "";
}

InMemory CliTest::RunInMemory(const std::string& command,
                              const std::vector<std::string>& inputs) {
  std::istringstream words(command);
  std::string name, argument;
  words >> name;
  const Operation& op = *FindOperation(name);
  if (op.argument != Argument::kNone) words >> argument;
  if (argument.starts_with('\''))
    argument = argument.substr(1, argument.size() - 2);
  const std::string field = ValueAfter(command, "--field");
  const std::string delimiter = ValueAfter(command, "--delimiter");
  const KeyRules rules{
      .ignore_case = HasWord(command, "--ignore-case"),
      .trim = HasWord(command, "--trim"),
      .normalize = HasWord(command, "--normalize"),
      .field =
          field.empty() ? 0u : static_cast<std::uint32_t>(std::stoul(field)),
      .delimiter = delimiter.empty() ? '\t' : delimiter[0]};
  const KeyRules used = op.takes.keys ? rules : KeyRules{};
  const bool zero = HasWord(command, "-z");
  // The items of a file: with -z, the bytes between NULs.
  auto read = [&](const std::string& file, std::vector<std::string>& items) {
    const std::string bytes = Contents(file);
    if (!zero) {
      ItemList list;
      ReadListFields(bytes, list,
                     HasWord(command, "--lines") ? FieldSplit::kLines
                                                 : FieldSplit::kCommasAndLines);
      for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
        items.emplace_back(list.List(i));
      }
      return;
    }
    std::size_t start = 0;
    for (std::size_t nul; (nul = bytes.find('\0', start)) != bytes.npos;) {
      items.push_back(bytes.substr(start, nul - start));
      start = nul + 1;
    }
    if (start < bytes.size()) items.push_back(bytes.substr(start));
  };
  std::vector<std::string> list, other;
  for (const std::string& input : inputs) read(input, list);
  std::vector<std::string> keys, other_keys;
  for (const std::string& item : list) keys.push_back(ReferenceKey(item, used));
  if (op.argument == Argument::kOther) read(argument, other);
  for (const std::string& item : other) {
    other_keys.push_back(ReferenceKey(item, used.ForKeys()));
  }
  // Keys written out plainly, then the table's exact operation on them; a
  // pattern through the standard library's expressions, the last copies as
  // the first of the keys read backwards.
  std::vector<std::uint8_t> marks(list.size());
  const bool last = HasWord(command, "--keep-last");
  if (op.kind == Kind::kReorders) {
    std::vector<std::string> placed;
    for (const std::size_t i :
         ReferenceOrder(name, keys, HasWord(command, "--descending"),
                        HasWord(command, "--natural"))) {
      placed.push_back(list[i]);
    }
    list = std::move(placed);
  } else if (HasWord(command, "--regex")) {
    const std::regex pattern(
        argument, rules.ignore_case ? std::regex::ECMAScript | std::regex::icase
                                    : std::regex::ECMAScript);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      marks[i] = std::regex_search(keys[i], pattern) == op.removes_found;
    }
  } else {
    op.mark(ListOf(last ? std::vector(keys.rbegin(), keys.rend()) : keys),
            ReferenceKey(argument, used.ForKeys()), ListOf(other_keys), marks);
    if (last) std::reverse(marks.begin(), marks.end());
  }
  std::map<std::string, std::uint64_t> copies;
  for (const std::string& key : keys) ++copies[key];
  const std::string end = zero                       ? std::string(1, '\0')
                          : HasWord(command, "--lf") ? "\n"
                                                     : "\r\n";
  InMemory result;
  std::size_t written = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (marks[i] != 0) continue;
    result.bytes.append(list[i]);
    if (HasWord(command, "--count")) {
      result.bytes += "\t" + std::to_string(copies[keys[i]]);
    }
    result.bytes += end;
    ++written;
  }
  if (HasWord(command, "--stats")) {
    const std::size_t files = inputs.size();
    result.stats = "karvello-cli: " + name + ": " +
                   std::to_string(list.size()) + " items read from " +
                   std::to_string(files) +
                   (files == 1 ? " file, " : " files, ") +
                   std::to_string(list.size() - written) + " removed, " +
                   std::to_string(written) + " written\n";
  }
  return result;
}

// Command lines that run every row of the table with each option that
// applies to it, alone or beside others, as the row's `takes` says; every
// row also with the options of every command. A new row is run by them
// with no edit here.
std::vector<std::string> CommandsFromTable() {
  // One word for each field of Takes: a new kind of choice needs its
  // options written here.
  static_assert(sizeof(Takes) == 6);
  std::vector<std::string> commands;
  for (const Operation& op : kOperations) {
    const std::string name(op.name);
    std::string line = name;
    if (op.argument == Argument::kString) line += " 7";
    if (op.argument == Argument::kOther) line += " other";
    std::vector<std::string> options = {"--stats", "--lines --lf", "-z"};
    if (op.takes.keys) {
      options.insert(options.end(),
                     {"--ignore-case --trim --stats", "--normalize --lines",
                      "--lines --field 2 --delimiter , --trim",
                      "-z --field 1 --delimiter - --ignore-case"});
    }
    if (op.argument == Argument::kOther && op.takes.keys) {
      // OTHER's items as the keys of the lines' second fields.
      commands.push_back(name + " keys --lines --field 2 --delimiter - --trim");
    }
    if (op.takes.pattern) {
      commands.push_back(name + " '[0-9]7$' --regex --lines");
      commands.push_back(
          name + " '^\\s?(text|caf)' --regex --ignore-case --normalize");
      commands.push_back(name +
                         " '7\"?$' --regex --lines --field 2 --delimiter ,");
    }
    if (op.takes.keep_last) {
      options.insert(options.end(),
                     {"--keep-last", "--keep-last --ignore-case"});
    }
    if (op.takes.count) {
      options.insert(options.end(), {"--count --lines", "--count --lf -z"});
      if (op.takes.keep_last) {
        options.push_back("--keep-last --count --ignore-case --normalize");
      }
    }
    if (op.takes.descending) {
      options.insert(options.end(),
                     {"--descending", "--descending --ignore-case --trim"});
    }
    if (op.takes.natural) {
      options.insert(options.end(),
                     {"--natural --lines --field 2 --delimiter ,",
                      "--natural -z --normalize"});
      if (op.takes.descending) options.push_back("--natural --descending");
    }
    for (const std::string& option : options) {
      commands.push_back(line + " " + option);
    }
  }
  return commands;
}

TEST_F(CliTest, EveryOperationInEveryModeWritesWhatTheRunInMemoryWrites) {
  Write("big", MixedListFile());
  Write("small", RandomListFile(7, 200 << 10, 60000));
  Write("other", RandomListFile(8, 1 << 20, 90000));
  std::string keys;
  for (unsigned n = 0; n < 60000; n += 3) {
    keys += std::to_string(n * 2654435761u % 1000003) + "\n";
  }
  Write("keys", keys);
  const std::vector<std::string> commands = CommandsFromTable();
  struct Mode {
    const char* line;  // {} is the command
    std::vector<std::string> inputs;
    bool past_the_budget;
  };
  const Mode modes[] = {
      {"CLI {} big --memory 64M -o out", {"big"}, false},
      {"cat big | CLI {} --memory 64M -o - >out", {"big"}, false},
      {"cat big | CLI {} small - small --memory 64M >out",
       {"small", "big", "small"},
       false},
      {"CLI {} big small --memory 1M --temp-dir spill -o out",
       {"big", "small"},
       true},
      // One CPU: the blocks are read in the thread that works on them.
      {"taskset -c 0 CLI {} small big --memory 64M >out",
       {"small", "big"},
       false},
      // Below the floor of 1M, which it keeps to.
      {"cat big | CLI {} --memory 64K --temp-dir spill >out", {"big"}, true},
  };
  for (const std::string& command : commands) {
    SCOPED_TRACE(command);
    const Operation& op = *FindOperation(command.substr(0, command.find(' ')));
    const bool streams =
        op.stream == Stream::kCopy || op.stream == Stream::kPerItem;
    for (const Mode& mode : modes) {
      SCOPED_TRACE(mode.line);
      std::string line = mode.line;
      line.replace(line.find("{}"), 2, command);
      const Outcome run = Shell(line);
      const InMemory expected = RunInMemory(command, mode.inputs);
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(Contents("out") == expected.bytes);
      EXPECT_EQ(run.err, expected.stats);
      ExpectPeakWithin(run, streams                ? kSlackKib
                            : mode.past_the_budget ? kSlackKib + 1024
                                                   : kSlackKib + (64 << 10));
      EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
    }
    // Any input missing: nothing written, whatever the mode.
    Write("out", "old");
    const Outcome run = Shell("CLI " + command + " big missing -o out");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "karvello-cli: cannot read missing: No such file or directory\n");
    EXPECT_EQ(Contents("out"), "old");
  }
}

TEST_F(CliTest, EveryInputIsCheckedBeforeAnythingIsWritten) {
  Write("a", "a\n");
  Write("out", "old\n");
  fs::create_symlink("loop", dir_ / "loop");
  const std::string too_long(256, 'n');
  // karvello-cli cat a nope '' . loop nnn... -o out
  Outcome run = Shell("CLI cat a nope '' . loop " + too_long + " -o out");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.err,
      "karvello-cli: cannot read nope: No such file or directory\n"
      "karvello-cli: cannot read '': No such file or directory\n"
      "karvello-cli: cannot read .: Is a directory\n"
      "karvello-cli: cannot read loop: Too many levels of symbolic links\n"
      "karvello-cli: cannot read " +
          too_long + ": File name too long\n");
  EXPECT_EQ(Contents("out"), "old\n");
  // OTHER is checked with them, and - is standard input there too.
  run = Shell("CLI subtract nope2 a nope -o out");
  EXPECT_EQ(run.err,
            "karvello-cli: cannot read nope2: No such file or directory\n"
            "karvello-cli: cannot read nope: No such file or directory\n");
  run = Shell("echo a | CLI subtract - a --lf");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  // Standard input that cannot be read, or is closed, is no empty list:
  // karvello-cli cat a.txt - <&-, karvello-cli subtract b.txt - <&-
  // Its names too: karvello-cli dedupe /dev/stdin -o out.txt <&- read the
  // /dev/null that stands in for it and emptied out.txt.
  const std::pair<const char*, const char*> cases[] = {
      {"CLI cat a - <.", "standard input: Is a directory"},
      {"CLI cat a - <&-", "standard input: Bad file descriptor"},
      {"CLI subtract a - <&-", "standard input: Bad file descriptor"},
      {"CLI dedupe <&-", "standard input: Bad file descriptor"},
      {"CLI dedupe /dev/stdin -o out <&-", "/dev/stdin: Bad file descriptor"},
      {"CLI subtract /dev/fd/0 a -o out <&-", "/dev/fd/0: Bad file descriptor"},
      {"CLI cat a /proc/self/fd/0 <&-",
       "/proc/self/fd/0: Bad file descriptor"}};
  for (const auto& [line, reason] : cases) {
    SCOPED_TRACE(line);
    run = Shell(line);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "karvello-cli: cannot read " + std::string(reason) + "\n");
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(Contents("out"), "old\n");
  }
  // More files than descriptors, and 100,000 names of one file.
  std::string names, expected;
  for (int i = 0; i < 1100; ++i) {
    const std::string name = std::string("f") + std::to_string(i);
    Write(name, std::to_string(i % 700) + "\n");
    names += " " + name;
    if (i < 700) expected += std::to_string(i) + "\n";
  }
  run = Shell("ulimit -n 1024; CLI dedupe --lf" + names);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out == expected);
  run = Shell("CLI cat --stats $(yes a | head -n 100000) >/dev/null");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "karvello-cli: cat: 100000 items read from 100000 files, 0 "
            "removed, 100000 written\n");
}

TEST_F(CliTest, OutputIsRefusedWhenItIsAnInputAndWrittenIntoAPipe) {
  Write("ap", "a\nb\n");
  // karvello-cli cat ap.txt >> ap.txt read its own output until the disk
  // was full; so did remove-blanks, the filters and keep-matches.
  for (const char* line :
       {"CLI cat ap >>ap", "CLI remove-blanks <ap >>ap",
        "CLI remove-with x ap >>ap", "CLI keep-matches ap ap >>ap",
        "CLI dedupe ap -o /dev/stdout >>ap",
        // Through any descriptor it names, which the writer writes
        // through: karvello-cli cat ap.txt -o /dev/fd/3 3>>ap.txt.
        "ulimit -f 100; CLI cat ap -o /dev/fd/3 3>>ap",
        "ulimit -f 100; CLI dedupe ap -o /proc/self/fd/3 3>>ap",
        "ulimit -f 100; CLI subtract /dev/fd/3 ap -o /dev/fd/3 3>>ap"}) {
    SCOPED_TRACE(line);
    Outcome run = Shell(line);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Contents("ap"), "a\nb\n");
  }
  EXPECT_THAT(Shell("CLI cat ap >>ap").err,
              "karvello-cli: cannot read ap: it is also the output\n");
  // OUT that is an input is replaced only once the result is complete.
  EXPECT_EQ(Shell("CLI dedupe ap ap --lf -o ap").status, 0);
  EXPECT_EQ(Contents("ap"), "a\nb\n");
  // A pipe or a device is written to, never replaced by a file.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(Shell("timeout 9 cat fifo >got & CLI cat ap -o fifo; wait").status,
            0);
  EXPECT_EQ(Contents("got"), "a\r\nb\r\n");
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
}

TEST_F(CliTest, FailuresAreReportedOnceWithTheToolsNameAndOutKept) {
  Write("big", RandomListFile(4, 3 << 20, 100000));
  Write("small", "b\na\nb\n");
  Write("empty", "");
  Write("out", "old");
  struct Case {
    const char* line;
    int status;
    const char* message;  // standard error, or its start without a line end
  };
  const Case cases[] = {
      // Only a run in parts needs the temporary folder.
      {"CLI dedupe small --memory 1M --temp-dir nowhere -o out2", 0, ""},
      {"CLI dedupe big --memory 1M --temp-dir nowhere -o out", 1,
       "karvello-cli: cannot create a file in the temporary folder nowhere: "
       "No such file or directory\n"},
      {"TMPDIR=nowhere CLI remove-all-dupes big --memory 1M -o out", 1,
       "karvello-cli: cannot create a file in the temporary folder nowhere"},
      // 200,000 keys of 8 bytes take more than 1M in a set, and go to
      // parts: far more than the block read ahead can still hold when the
      // set outgrows the budget, however the pipe splits them.
      {"seq -w 10000000 10200000 | CLI dedupe --memory 1M --temp-dir nowhere "
       "-o out",
       1, "karvello-cli: cannot create a file in the temporary folder"},
      // A read that fails part-way, in the list and in OTHER.
      {"CLI dedupe big /proc/self/mem -o out", 1,
       "karvello-cli: cannot read /proc/self/mem: Input/output error\n"},
      {"CLI subtract /proc/self/mem big -o out", 1,
       "karvello-cli: cannot read /proc/self/mem: Input/output error\n"},
      {"CLI cat big --stats >/dev/full", 1,
       "karvello-cli: cannot write to standard output: No space left on "
       "device\n"},
      {"CLI subtract small big >/dev/full", 1,
       "karvello-cli: cannot write to standard output: No space left on "
       "device\n"},
      // The output fails while the reading, a block ahead, waits for a
      // pipe that stays open: both stop at once.
      {"mkfifo fifo; { cat big; exec sleep 600; } >fifo & timeout 60 CLI "
       "dedupe fifo >/dev/full; status=$?; kill $!; exit $status",
       1,
       "karvello-cli: cannot write to standard output: No space left on "
       "device\n"},
      {"ulimit -f 1; CLI cat big -o out", 1,
       "karvello-cli: cannot save out: File too large\n"},
      // seq 1 300000 | karvello-cli remove-all-dupes --memory 64K >&- wrote
      // its result into a spill file. Now it is found before any reading.
      {"CLI remove-all-dupes big missing --memory 64K --temp-dir spill >&-", 1,
       "karvello-cli: cannot write to standard output: Bad file descriptor\n"
       "karvello-cli: cannot read missing: No such file or directory\n"},
      // karvello-cli subtract empty.txt empty.txt gave memset a null pointer.
      {"CLI subtract empty empty", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Outcome run = Shell(c.line);
    EXPECT_EQ(run.status, c.status);
    if (std::string_view(c.message).ends_with('\n')) {
      EXPECT_EQ(run.err, c.message);
    } else {
      EXPECT_THAT(run.err, StartsWith(c.message));
    }
    if (c.status != 0) {
      EXPECT_EQ(Contents("out"), "old");
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
  }
  if (mount("tmpfs", (dir_ / "spill").c_str(), "tmpfs", 0, "size=256k") == 0) {
    mounted_ = true;
    const Outcome run =
        Shell("CLI subtract big big --memory 1M --temp-dir spill -o out");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "karvello-cli: cannot write to the temporary folder spill: No "
              "space left on device\n");
    EXPECT_EQ(Contents("out"), "old");
    EXPECT_TRUE(fs::is_empty(dir_ / "spill"));
  }
}

TEST_F(CliTest, MemoryKeepsToItsBoundWhateverTheItems) {
  // 110 MB of empty lines took 1.3 GB in cat and 2.3 GB in subtract;
  // yes '' | karvello-cli remove-blanks grew without end; commas too.
  // Under an address-space limit, remove-all-dupes and dedupe --count ran
  // out of memory in memory instead of going to parts.
  Write("empty", std::string(8 << 20, '\n'));
  Write("commas", std::string(8 << 20, ','));
  Write("other", "x\n");
  // Under the limit, the default budget is a quarter of what it leaves.
  const std::string limit = kSanitized ? "" : "ulimit -v 150000; ";
  const std::string budget = kSanitized ? " --memory 8M" : "";
  struct Case {
    const char* line;
    std::string out;
    bool streams;
  };
  const Case cases[] = {
      {"CLI cat empty", std::string(8 << 20, '\n'), true},
      {"cat commas | CLI cat", std::string((8 << 20) + 1, '\n'), true},
      {"cat empty | CLI remove-blanks", "", true},
      {"CLI subtract other empty", std::string(8 << 20, '\n'), true},
      {"cat empty | CLI dedupe", "\n", true},
      {"CLI remove-all-dupes empty --temp-dir spill", "", false},
      {"cat commas | CLI dedupe --count --temp-dir spill",
       "\t" + std::to_string((8 << 20) + 1) + "\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Outcome run = Shell(limit + c.line + budget + " --lf >out");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, IsEmpty());
    EXPECT_TRUE(Contents("out") == c.out);
    ExpectPeakWithin(run, kSlackKib + (c.streams ? 0 : 40 << 10));
  }
  // --memory 64K took 56 MB on 106 MB of input, more the more input.
  if (!kSanitized) {
    std::string numbers;
    std::size_t lines = 0;
    for (; numbers.size() < (24u << 20); ++lines) {
      numbers += std::to_string(lines) + "\n";
    }
    Write("numbers", numbers);
    const Outcome run = Shell(
        "CLI remove-all-dupes numbers --memory 64K --temp-dir spill >out");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Contents("out").size(), numbers.size() + lines);
    ExpectPeakWithin(run, kSlackKib + 1024);
  }
  // --ignore-case on 2,000,000 case variants of one word took 507 MB under
  // --memory 8M: a part that no split makes smaller is worked on by keys.
  std::string variants;
  for (unsigned i = 0; i < (1u << 18); ++i) {
    std::string word = "abcdefghijklmnopqr";
    for (int bit = 0; bit < 18; ++bit) {
      if (i >> bit & 1) word[bit] = static_cast<char>(word[bit] - 32);
    }
    variants += word + "\n";
  }
  Write("variants", variants);
  for (const char* line : {"CLI dedupe --count --ignore-case variants",
                           "CLI remove-all-dupes --ignore-case variants"}) {
    SCOPED_TRACE(line);
    const Outcome run =
        Shell(std::string(line) + " --lf --memory 1M --temp-dir spill >out");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Contents("out"),
              HasWord(line, "--count") ? "abcdefghijklmnopqr\t262144\n" : "");
    ExpectPeakWithin(run, kSlackKib + 1024);
  }
}

// Runs the tool on `args` with its standard input and output pipes to this
// process, in non-blocking mode; writes `first`, then expects it back before
// writing `second`, as a slow producer and a reader that waits would.
struct PipedOutcome {
  std::string before_second;
  std::string all;
  int status = -1;
};
PipedOutcome RunPiped(std::vector<std::string> args, const std::string& first,
                      const std::string& second) {
  int in[2], out[2];
  PipedOutcome outcome;
  signal(SIGPIPE, SIG_IGN);  // a tool that stops early closes its input
  if (pipe(in) != 0 || pipe(out) != 0) return outcome;
  for (const int fd : {in[0], out[1]}) fcntl(fd, F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  args.insert(args.begin(), KARVELLO_CLI_PATH);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int spawned = posix_spawn(&pid, KARVELLO_CLI_PATH, &actions, nullptr,
                                  argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) return outcome;
  auto read_for = [&](int milliseconds) {
    std::string got;
    pollfd ready{out[0], POLLIN, 0};
    char buffer[1 << 16];
    while (poll(&ready, 1, milliseconds) > 0) {
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
      if (milliseconds > 0 && got.size() >= first.size()) break;
    }
    return got;
  };
  if (write(in[1], first.data(), first.size()) == ssize_t(first.size())) {
    outcome.before_second = read_for(5000);
  }
  // The rest is written while the output is read, as a pipeline would.
  std::thread writer([&] {
    for (std::size_t done = 0; done < second.size();) {
      const ssize_t n =
          write(in[1], second.data() + done, second.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(in[1]);
  });
  outcome.all = outcome.before_second + read_for(-1);
  writer.join();
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

TEST_F(CliTest, StreamsReachASlowReaderAndWaitOnNonBlockingPipes) {
  // (echo first; sleep 3; echo second) | karvello-cli cat --lf showed
  // "first" only after 3 s; non-blocking output was cut at 64 KiB.
  std::string lines;
  for (int i = 0; i < 40000; ++i) lines += "line " + std::to_string(i) + "\n";
  for (const char* command : {"cat", "dedupe", "remove-with", "subtract"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command};
    if (std::string(command) == "remove-with") args.push_back("#");
    if (std::string(command) == "subtract") args.push_back(Write("o", "x\n"));
    args.push_back("--lf");
    const PipedOutcome run = RunPiped(args, "first\n", lines);
    EXPECT_EQ(run.before_second, "first\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.all == "first\n" + lines);
  }
}

TEST_F(CliTest, AProgressLineShowsOnATerminalAndIsClearedAtTheEnd) {
  std::string numbers;
  for (int i = 0; i < 1000000; ++i) numbers += std::to_string(i) + "\n";
  Write("big", numbers);
  // script(1) gives the tool a terminal as standard error, whose bytes go to
  // the file "stdout"; the reader of its result waits for the line there, so
  // the run lasts until the line has come, however fast the machine.
  const std::string wait = "until grep -q read stdout; do sleep 0.1; done";
  const auto terminal = [&](const std::string& line) {
    return Shell("script -qfec \"" + line + "\" /dev/null </dev/null");
  };
  // Sizes known: how much of them, the rate, the time left.
  Outcome run =
      terminal("CLI cat big --lf | { " + wait + "; cat >/dev/null; }");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_search(
      run.out,
      std::regex("^\rkarvello-cli: [0-9.]+ (B|KiB|MiB) of 6.6 MiB read "
                 "\\([0-9]+%\\), [0-9.]+ (B|KiB|MiB)/s, [0-9]+ s left"
                 "\x1b\\[K")))
      << run.out;
  EXPECT_THAT(run.out, ::testing::EndsWith("\r\x1b[K"));
  // A pipe: only what was read, and its rate.
  run = terminal("{ head -c 100000 big; " + wait +
                 "; tail -c +100001 big; } | CLI dedupe --lf -o out");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_search(
      run.out, std::regex("^\rkarvello-cli: [0-9.]+ (B|KiB) read, [0-9.]+ "
                          "(B|KiB)/s\x1b\\[K")))
      << run.out;
  EXPECT_TRUE(Contents("out") == numbers);
  // Forced where standard error is a file.
  run = Shell(
      "CLI cat big --progress | { until grep -q read stderr; do sleep "
      "0.1; done; cat >/dev/null; }");
  EXPECT_THAT(run.err, StartsWith("\rkarvello-cli: "));
  // No line where it is not asked for, or would fall among the result:
  // OUT the terminal that standard error is, by any of its names, or the
  // same open file even when the line is asked for.
  for (const char* line :
       {"{ sleep 1.5; cat big; } | CLI cat --lf -o out",
        "script -qfec \"{ sleep 1.5; cat big; } | CLI cat --lf -o out "
        "--no-progress\" /dev/null </dev/null",
        "script -qfec \"{ sleep 1.5; echo x; } | CLI cat --lf\" /dev/null "
        "</dev/null",
        "script -qfec \"{ sleep 1.5; echo x; } | CLI cat --lf -o "
        "/dev/stdout\" /dev/null </dev/null",
        "script -qfec \"{ sleep 1.5; echo x; } | CLI cat --lf -o "
        "\\$(readlink /proc/self/fd/2)\" /dev/null </dev/null",
        "script -qfec \"{ sleep 1.5; echo x; } | CLI cat --lf -o /dev/tty\" "
        "/dev/null </dev/null",
        "{ sleep 1.5; echo x; } | CLI cat --lf --progress >out 2>&1"}) {
    SCOPED_TRACE(line);
    Write("out", "");
    run = Shell(line);
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out + run.err + Contents("out"),
                ::testing::Not(HasSubstr("read")));
  }
}

// A copy of the tool in the test's folder, for a run as the user nobody:
// the build's own folder may lie where that user cannot go (a clone under a
// private mktemp -d). Returns the command that runs it as that user.
std::string ToolForNobody(const fs::path& dir) {
  chmod(dir.c_str(), 0777);
  fs::create_directory(dir / "bin");
  fs::copy_file(KARVELLO_CLI_PATH, dir / "bin" / "karvello-cli",
                fs::copy_options::overwrite_existing);
  chmod((dir / "bin").c_str(), 0755);
  chmod((dir / "bin" / "karvello-cli").c_str(), 0755);
  return "setpriv --reuid=65534 --regid=65534 --clear-groups "
         "bin/karvello-cli";
}

TEST_F(CliTest, TheProgressThreadNeitherStopsTheRunNorTakesItsSignals) {
  std::string numbers;
  for (int i = 0; i < 300000; ++i) numbers += std::to_string(i) + "\n";
  Write("big", numbers);
  // karvello-cli cat --progress ended with std::system_error (exit 134)
  // where no thread could be started: under an address-space limit that
  // leaves no room for a thread's stack, or as a user with no process left
  // to start (ulimit -u 1).
  // (The leak checker at the end needs a thread of its own.)
  std::vector<std::string> lines;
  if (!kSanitized) {
    lines.push_back("ulimit -s 4000000; ulimit -v 1000000; CLI");
    if (geteuid() == 0) {
      lines.push_back("prlimit --nproc=1 " + ToolForNobody(dir_));
    }
  }
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const Outcome run = Shell(line + " cat big --lf --progress >out");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, IsEmpty());
    EXPECT_TRUE(Contents("out") == numbers);
  }
  // The line's thread, caught while the run waits for its input, blocks
  // SIGINT, SIGTERM and SIGHUP, so that only the thread that holds them
  // back during a save takes them; it took them and left a .karvello-*
  // temporary file behind.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  const Outcome run = Shell(
      "exec 3<>fifo; '" KARVELLO_CLI_PATH
      "' cat --progress fifo -o out 3>&- & "
      "tasks=/proc/$!/task; n=0; "
      "while [ $(ls $tasks | wc -l) -lt 2 ] && [ $n -lt 600 ]; do "
      "sleep 0.05; n=$((n+1)); done; "
      "for t in $tasks/*; do [ $t = $tasks/$! ] || grep SigBlk $t/status; "
      "done >masks; echo x >&3; exec 3>&-; wait $!");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Contents("out"), "x\r\n");
  const std::string masks = Contents("masks");
  ASSERT_THAT(masks, StartsWith("SigBlk:"));
  const unsigned long long mask = std::stoull(masks.substr(7), nullptr, 16);
  const unsigned long long stop_signals =
      1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1) | 1ull << (SIGHUP - 1);
  EXPECT_EQ(mask & stop_signals, stop_signals) << masks;
}

TEST_F(CliTest, BadUsageIsReportedWithTheUsageAndExitsWithTwo) {
  // clang-format off
  for (const char* args :
       {"", "frobnicate a", "remove-with", "remove-with ''", "subtract",
        "cat --bogus", "cat -o ''", "cat - -", "subtract - ",
        "cat --ignore-case", "remove-blanks --trim", "subtract x --count",
        "remove-all-dupes --count", "dedupe --memory 0", "dedupe --memory 12Q",
        "dedupe --memory M", "dedupe --memory 99999999999999999999",
        "keep-dupes --keep-last", "dedupe --regex", "remove-with 'a(' --regex",
        "dedupe --field 2", "dedupe --lines --field 0",
        "dedupe --lines --field x", "dedupe --lines --delimiter ,",
        "dedupe --lines --field 2 --delimiter ab",
        "dedupe --lines --field 2 --delimiter '\"'",
        "cat --progress --no-progress", "remove-with ' ' --trim </dev/null",
        "remove-without '\t ' --trim --ignore-case </dev/null"}) {
    // clang-format on
    SCOPED_TRACE(args);
    const Outcome run = Shell(std::string("CLI ") + args);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, StartsWith("karvello-cli: "));
    EXPECT_THAT(run.err, HasSubstr("\nUsage: karvello-cli COMMAND"));
    EXPECT_THAT(run.out, IsEmpty());
  }
  EXPECT_THAT(Shell("CLI frobnicate a").err,
              StartsWith("karvello-cli: unknown command 'frobnicate'\n"));
  // A STRING that --trim empties: remove-with and remove-without each kept
  // every item, so that the two did not split the list.
  EXPECT_THAT(Shell("CLI remove-with ' ' --trim").err,
              StartsWith("karvello-cli: STRING is empty after --trim\n"));
  EXPECT_THAT(Shell("CLI remove-with ' ' --regex --trim </dev/null").status, 0);
  EXPECT_THAT(Shell("CLI remove-with 'a(' --regex").err,
              StartsWith("karvello-cli: invalid regular expression: missing ): "
                         "a(\n"));
  const Outcome help = Shell("CLI --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("A --memory below 1M counts as\n1M"));
  EXPECT_THAT(Shell("CLI --version").out, StartsWith("karvello-cli "));
}

TEST_F(CliTest, UnreadableInputsAsAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as the user nobody";
  Write("a", "a\n");
  Write("secret", "s\n");
  chmod((dir_ / "secret").c_str(), 0600);
  const Outcome run = Shell(ToolForNobody(dir_) + " cat a secret");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "karvello-cli: cannot read secret: Permission denied\n");
  EXPECT_THAT(run.out, IsEmpty());
}

}  // namespace
}  // namespace karvello
