#include "cli/Cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ExternalMode.h"
#include "cli/Operations.h"
#include "listfiles/ListFileReader.h"
#include "listfiles/ListFileWriter.h"
#include "listfiles/ListFiles.h"
#include "lists/ItemKey.h"

namespace karvello {

namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  karvello-cli cat                    [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli dedupe                 [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli remove-all-dupes       [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli remove-with STRING     [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli remove-without STRING  [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli remove-blanks          [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli subtract OTHER         [FILE...] [-o OUT] [--lf]\n"
    "  karvello-cli keep-matches OTHER     [FILE...] [-o OUT] [--lf]\n"
    "Options: --lines --stats; --ignore-case --trim where items are compared;\n"
    "--count with dedupe; --memory SIZE, --temp-dir DIR with every command.\n"
    "Run 'karvello-cli --help' for more.\n";

constexpr char kStdin[] = "-";

struct Command {
  const char* name;
  const char* help;
  const char* argument;  // nullptr when the command takes none
};
constexpr Command kCommands[] = {
    {"cat", "Load and save unchanged", nullptr},
    {"dedupe", "Remove every copy of a text after its first", nullptr},
    {"remove-all-dupes", "Remove every text that occurs more than once",
     nullptr},
    {"remove-with", "Remove the items that contain STRING", "STRING"},
    {"remove-without", "Remove the items that do not contain STRING", "STRING"},
    {"remove-blanks", "Remove the empty items", nullptr},
    {"subtract", "Keep the items that do not occur in OTHER", "OTHER"},
    {"keep-matches", "Keep the items that also occur in OTHER", "OTHER"},
};

struct Options {
  std::string command;
  std::string argument;  // STRING or OTHER
  std::vector<std::string> files;
  std::string out;
  bool lf = false;
  bool lines = false;
  bool stats = false;
  bool count = false;
  KeyRules keys;
  std::string memory;  // SIZE of --memory; empty for the default
  std::string temp_dir;

  std::string_view line_end() const { return lf ? "\n" : kCrLf; }
  FieldSplit split() const {
    return lines ? FieldSplit::kLines : FieldSplit::kCommasAndLines;
  }
};

// A path as the messages show it: an empty one would vanish from the line.
std::string Shown(const std::string& path) {
  return path.empty() ? "''" : path;
}

// "File not found" only when no file has the name; any other failure gives
// its reason, since the file is there and the user must fix something else.
std::string LoadErrorText(const std::string& path, int error) {
  if (path == kStdin) {
    return ReadErrorText("standard input", std::strerror(error));
  }
  if (error == ENOENT || error == ENOTDIR) {
    return "File not found: " + Shown(path);
  }
  return ReadErrorText(Shown(path), std::strerror(error));
}

// Loads `paths` in order into `list`; none means standard input. Reports
// every path that cannot be read, one line each, and returns false if there
// was any.
bool LoadAll(ItemList& list, const std::vector<std::string>& paths,
             FieldSplit split) {
  if (paths.empty()) return LoadAll(list, {kStdin}, split);
  bool all = true;
  for (const std::string& path : paths) {
    const int error = path == kStdin ? ReadListFd(STDIN_FILENO, list, 0, split)
                                     : AppendListFile(list, path, split);
    if (error != 0) {
      std::cerr << LoadErrorText(path, error) << '\n';
      all = false;
    }
  }
  return all;
}

// The options beside -o and --lf: how items are read and compared, and
// what is reported.
void DeclareListOptions(CLI::App& sub, std::string_view command,
                        Options& options) {
  sub.add_flag("--lines", options.lines,
               "One item per line: commas and quotes are part of the item");
  sub.add_flag("--stats", options.stats,
               "After the result, write the counts of items read, removed "
               "and written to standard error");
  if (command != "cat" && command != "remove-blanks") {
    sub.add_flag("--ignore-case", options.keys.ignore_case,
                 "Compare after Unicode simple case folding; the items "
                 "written are unchanged");
    sub.add_flag("--trim", options.keys.trim,
                 "Compare without leading and trailing blanks and tabs; the "
                 "items written are unchanged");
  }
  if (command == "dedupe") {
    sub.add_flag("--count", options.count,
                 "Follow each item written by a tab and its number of copies");
  }
}

// Declares the command line on `app`; the parse fills `options`.
void DeclareCommands(CLI::App& app, Options& options) {
  app.set_version_flag("--version", "karvello-cli " KARVELLO_VERSION);
  app.require_subcommand(1);
  app.footer(
      "Each FILE is read as comma- or line-separated fields, one item per\n"
      "field (one per line with --lines); none, or -, reads standard input.\n"
      "Items compare exactly unless --ignore-case or --trim is given. With\n"
      "--stats the counts are of the items of FILE..., not of OTHER. When\n"
      "any FILE or OTHER is missing or unreadable, each is reported and\n"
      "nothing at all is written: no output, OUT untouched.\n"
      "The result goes to standard output (also with -o -), one item per line\n"
      "followed by CR LF (LF with --lf). A file OUT is replaced only once the\n"
      "new one is complete, only when you may write to it, and keeps its mode\n"
      "and owner; a link is followed, and another hard link keeps the old\n"
      "text. OUT naming standard output or error (/dev/stdout) is written\n"
      "through it, appending when the shell appends.\n"
      "Exit status: 0 done, 1 a missing or unreadable input or an unwritable\n"
      "OUT, 2 bad usage, 128 + N when signal N stops the write.\n"
      "Input larger than --memory is worked through in parts, in spill files\n"
      "under --temp-dir, with the same result.\n");

  const CLI::Validator non_empty(
      [](std::string& value) {
        return value.empty() ? std::string("must not be empty") : std::string();
      },
      "", "NonEmpty");
  const CLI::Validator memory_size(
      [](std::string& value) {
        std::size_t bytes;
        return ParseMemorySize(value, bytes)
                   ? std::string()
                   : std::string("must be a size such as 64K, 512M or 2G");
      },
      "", "Size");
  for (const Command& command : kCommands) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    sub->callback([&options, name = command.name] { options.command = name; });
    if (command.argument != nullptr) {
      const std::string what = command.argument;
      sub->add_option(what, options.argument,
                      what == "STRING" ? "The text to look for, exactly"
                                       : "The list file to compare with")
          ->required()
          ->check(non_empty);
    }
    sub->add_option("FILE", options.files, "Input list files, loaded in order");
    sub->add_option("-o,--output", options.out,
                    "Write the result to OUT instead of standard output")
        ->option_text("OUT")
        ->check(non_empty);
    sub->add_flag("--lf", options.lf, "End each item with LF, not CR LF");
    DeclareListOptions(*sub, command.name, options);
    sub->add_option("--memory", options.memory,
                    "Work through larger input in parts on disk (default: "
                    "half the available memory)")
        ->option_text("SIZE")
        ->check(memory_size);
    sub->add_option("--temp-dir", options.temp_dir,
                    "Folder for those parts (default: $TMPDIR or /tmp)")
        ->option_text("DIR")
        ->check(non_empty);
  }
}

// Writes `list` to OUT or standard output; returns the exit status.
int WriteOutput(const Options& options, const ItemList& list) {
  const std::string_view line_end = options.line_end();
  const bool to_stdout = options.out.empty() || options.out == kStdin;
  const int error = to_stdout ? WriteListFd(list, STDOUT_FILENO, line_end)
                              : ReplaceWithList(list, options.out, line_end);
  if (error == 0) return kExitOk;
  std::cerr << OutputErrorText(to_stdout ? std::string() : options.out, error)
            << '\n';
  return kExitFailure;
}

void WriteStats(const Options& options, ItemList::Index read,
                ItemList::Index written) {
  // Standard input counts as one file, named or not.
  const int files =
      options.files.empty() ? 1 : static_cast<int>(options.files.size());
  std::cerr << StatsLine(options.command, read, files, written) << '\n';
}

// The command's work on lists held in memory.
void RunCommand(const Options& options, ItemList& list, const ItemList& other) {
  if (options.count) {
    DedupeWithCounts(options.keys, list);
  } else {
    RunOperation(options.command, options.argument, options.keys, list, other);
  }
}

// Runs the command through the streaming or external mode when it streams
// or its inputs may not fit in memory; false otherwise.
bool RunLarge(const Options& options, bool other_list, int& status) {
  std::size_t budget = 0;
  if (options.memory.empty() || !ParseMemorySize(options.memory, budget)) {
    budget = DefaultMemoryBudget();
  }
  std::vector<std::string> inputs = options.files;
  if (inputs.empty()) inputs.push_back(kStdin);
  if (other_list) inputs.push_back(options.argument);
  const std::string& c = options.command;
  using Stream = ExternalJob::Stream;
  ExternalJob job;
  // Counts are only known once the whole list has been read.
  job.stream = c == "remove-all-dupes" || options.count ? Stream::kNo
               : c == "dedupe"                          ? Stream::kFirstCopies
               : c == "subtract"                        ? Stream::kNotInOther
               : c == "keep-matches"                    ? Stream::kInOther
                                                        : Stream::kPerItem;
  if (job.stream == Stream::kNo && InputsFitInMemory(inputs, budget)) {
    return false;
  }
  job.files = options.files;
  if (other_list) job.other = options.argument;
  job.budget = budget;
  job.temp_dir = options.temp_dir.empty() ? DefaultTempDir() : options.temp_dir;
  job.out = options.out == kStdin ? std::string() : options.out;
  job.load_error_text = LoadErrorText;
  job.line_end = options.line_end();
  job.keeps_every_item = c == "cat";
  job.split = options.split();
  job.keys = options.keys;
  job.count_copies = options.count;
  job.operation = [&options](ItemList& list, const ItemList& other) {
    RunOperation(options.command, options.argument, options.keys, list, other);
  };
  job.in_memory = [&options](ItemList& list, const ItemList& other) {
    RunCommand(options, list, other);
    return WriteOutput(options, list);
  };
  ItemCounts counts;
  status = RunExternal(job, counts);
  if (status == kExitOk && options.stats) {
    WriteStats(options, static_cast<ItemList::Index>(counts.read),
               static_cast<ItemList::Index>(counts.written));
  }
  return true;
}

int Run(const Options& options) {
  const bool other_list =
      options.command == "subtract" || options.command == "keep-matches";
  if (int status; RunLarge(options, other_list, status)) return status;
  const FieldSplit split = options.split();
  ItemList other;
  ItemList list;
  // Output built from part of the input would pass for the real result, so
  // a missing or unreadable input stops the run before anything is written.
  // Every input is still tried, so that one run names all that are wrong.
  bool loaded = !other_list || LoadAll(other, {options.argument}, split);
  loaded = LoadAll(list, options.files, split) && loaded;
  if (!loaded) return kExitFailure;

  const ItemList::Index read = list.ListCount();
  RunCommand(options, list, other);

  if (int status = WriteOutput(options, list); status != kExitOk) {
    return status;
  }
  if (options.stats) WriteStats(options, read, list.ListCount());
  return kExitOk;
}

// The first word when it should name a command and names none, else null.
const char* UnknownCommand(int argc, const char* const* argv) {
  if (argc < 2 || argv[1][0] == '-') return nullptr;
  for (const Command& command : kCommands) {
    if (std::strcmp(argv[1], command.name) == 0) return nullptr;
  }
  return argv[1];
}

}  // namespace

int RunCli(int argc, const char* const* argv) {
  // Past a file-size limit, a write should fail with EFBIG and leave the
  // old OUT in place rather than kill the process.
  std::signal(SIGXFSZ, SIG_IGN);

  if (const char* word = UnknownCommand(argc, argv)) {
    std::cerr << "karvello-cli: unknown command '" << word << "'\n" << kUsage;
    return kExitUsage;
  }

  CLI::App app("Cleans and compares lists of short texts.", "karvello-cli");
  Options options;
  DeclareCommands(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "karvello-cli: " << e.what() << "\n" << kUsage;
    return kExitUsage;
  }

  int reads_of_stdin = options.files.empty() ? 1 : 0;
  for (const std::string& file : options.files)
    reads_of_stdin += file == kStdin;
  if ((options.command == "subtract" || options.command == "keep-matches") &&
      options.argument == kStdin) {
    ++reads_of_stdin;
  }
  if (reads_of_stdin > 1) {
    std::cerr << "karvello-cli: standard input can be read only once\n"
              << kUsage;
    return kExitUsage;
  }

  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    std::cerr << "karvello-cli: not enough memory\n";
  } catch (const std::exception& e) {
    std::cerr << "karvello-cli: " << e.what() << '\n';
  }
  return kExitFailure;
}

}  // namespace karvello
