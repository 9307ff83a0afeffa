#include "cli/Cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

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
    "--count with dedupe.\n"
    "Run 'karvello-cli --help' for more.\n";

constexpr char kStdin[] = "-";

// Reports to standard error, one line per problem. "File not found" gets the
// path the tool is loading, since several files may be named on one line.
class CliUi : public ListFileUi {
 public:
  void SetPath(const std::string& path) { path_ = path; }
  void Message(std::string_view text) override {
    std::cerr << text << ": " << path_ << '\n';
    missing_ = true;
  }
  bool AskYesNo(std::string_view) override { return true; }
  void Error(std::string_view text) override {
    std::cerr << text << '\n';
    unreadable_ = true;
  }
  bool missing() const { return missing_; }
  bool unreadable() const { return unreadable_; }

 private:
  std::string path_;
  bool missing_ = false;
  bool unreadable_ = false;
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
};

// Loads `paths` in order into `list`; none means standard input. Returns
// how many were read whole.
int LoadAll(ItemList& list, const std::vector<std::string>& paths, CliUi& ui,
            FieldSplit split) {
  if (paths.empty()) return LoadAll(list, {kStdin}, ui, split);
  int read = 0;
  for (const std::string& path : paths) {
    if (path == kStdin) {
      if (int error = ReadListFd(STDIN_FILENO, list, 0, split)) {
        ui.Error(ReadErrorText("standard input", std::strerror(error)));
      } else {
        ++read;
      }
      continue;
    }
    ui.SetPath(path);
    read += LoadListFile(list, path, ui, split) ? 1 : 0;
  }
  return read;
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
      "Items compare exactly unless --ignore-case or --trim is given. The\n"
      "result goes to standard output, or replaces OUT only once it is\n"
      "complete, one item per line followed by CR LF (LF with --lf). With\n"
      "--stats the counts are of the items of FILE..., not of OTHER. Exit\n"
      "status: 0 done, 1 a missing or unreadable FILE or an unwritable OUT,\n"
      "2 bad usage.\n");

  struct Command {
    const char* name;
    const char* help;
    const char* argument;  // nullptr when the command takes none
  };
  static constexpr Command kCommands[] = {
      {"cat", "Load and save unchanged", nullptr},
      {"dedupe", "Remove every copy of a text after its first", nullptr},
      {"remove-all-dupes", "Remove every text that occurs more than once",
       nullptr},
      {"remove-with", "Remove the items that contain STRING", "STRING"},
      {"remove-without", "Remove the items that do not contain STRING",
       "STRING"},
      {"remove-blanks", "Remove the empty items", nullptr},
      {"subtract", "Keep the items that do not occur in OTHER", "OTHER"},
      {"keep-matches", "Keep the items that also occur in OTHER", "OTHER"},
  };
  const CLI::Validator non_empty(
      [](std::string& value) {
        return value.empty() ? std::string("must not be empty") : std::string();
      },
      "", "NonEmpty");
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
  }
}

int Run(const Options& options) {
  const bool other_list =
      options.command == "subtract" || options.command == "keep-matches";
  const FieldSplit split =
      options.lines ? FieldSplit::kLines : FieldSplit::kCommasAndLines;
  CliUi ui;
  ItemList other;
  if (other_list) LoadAll(other, {options.argument}, ui, split);
  ItemList list;
  const int files = LoadAll(list, options.files, ui, split);
  // Output built from part of an input would pass for the real result, so
  // an unreadable input stops the run before anything is written. A missing
  // one does not: the other files still count, as in the window.
  if (ui.unreadable()) return kExitFailure;

  const ItemList::Index read = list.ListCount();
  if (options.count) {
    DedupeWithCounts(options.keys, list);
  } else {
    RunOperation(options.command, options.argument, options.keys, list, other);
  }

  const std::string_view line_end = options.lf ? "\n" : kCrLf;
  if (options.out.empty()) {
    if (int error = WriteListFd(list, STDOUT_FILENO, line_end)) {
      std::cerr << "Cannot write to standard output: " << std::strerror(error)
                << '\n';
      return kExitFailure;
    }
  } else if (int error = ReplaceWithList(list, options.out, line_end)) {
    std::cerr << SaveErrorText(options.out, std::strerror(error)) << '\n';
    return kExitFailure;
  }
  if (options.stats) {
    std::cerr << StatsLine(options.command, read, files, list.ListCount())
              << '\n';
  }
  return ui.missing() ? kExitFailure : kExitOk;
}

}  // namespace

int RunCli(int argc, const char* const* argv) {
  // Past a file-size limit, a write should fail with EFBIG and leave the
  // old OUT in place rather than kill the process.
  std::signal(SIGXFSZ, SIG_IGN);

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
