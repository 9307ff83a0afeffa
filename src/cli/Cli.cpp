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

#include "listfiles/ListFileReader.h"
#include "listfiles/ListFileWriter.h"
#include "listfiles/ListFiles.h"
#include "lists/Main.h"

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
bool LoadAll(ItemList& list, const std::vector<std::string>& paths) {
  if (paths.empty()) return LoadAll(list, {kStdin});
  bool all = true;
  for (const std::string& path : paths) {
    const int error = path == kStdin ? ReadListFd(STDIN_FILENO, list, 0)
                                     : AppendListFile(list, path);
    if (error != 0) {
      std::cerr << LoadErrorText(path, error) << '\n';
      all = false;
    }
  }
  return all;
}

// Declares the command line on `app`; the parse fills `options`.
void DeclareCommands(CLI::App& app, Options& options) {
  app.set_version_flag("--version", "karvello-cli " KARVELLO_VERSION);
  app.require_subcommand(1);
  app.footer(
      "Each FILE is read as comma- or line-separated fields, one item per\n"
      "field; none, or -, reads standard input. When any FILE or OTHER is\n"
      "missing or unreadable, each is reported and nothing at all is written:\n"
      "no output, OUT untouched.\n"
      "The result goes to standard output (also with -o -), one item per line\n"
      "followed by CR LF (LF with --lf). A file OUT is replaced only once the\n"
      "new one is complete, only when you may write to it, and keeps its mode\n"
      "and owner; a link is followed, and another hard link keeps the old\n"
      "text. OUT naming standard output or error (/dev/stdout) is written\n"
      "through it, appending when the shell appends.\n"
      "Exit status: 0 done, 1 a missing or unreadable input or an unwritable\n"
      "OUT, 2 bad usage, 128 + N when signal N stops the write.\n");

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
  }
}

void RunOperation(const Options& options, ItemList& list,
                  const ItemList& other) {
  const std::string& c = options.command;
  if (c == "dedupe") {
    RemoveDupesExceptFirst(list);
  } else if (c == "remove-all-dupes") {
    RemoveAllDupes(list);
  } else if (c == "remove-with") {
    RemoveItemsWith(list, options.argument);
  } else if (c == "remove-without") {
    RemoveItemsWithout(list, options.argument);
  } else if (c == "remove-blanks") {
    RemoveBlanks(list);
  } else if (c == "subtract") {
    SubtractList(list, other);
  } else if (c == "keep-matches") {
    KeepOnlyMatches(list, other);
  }
}

int Run(const Options& options) {
  const bool other_list =
      options.command == "subtract" || options.command == "keep-matches";
  ItemList other;
  ItemList list;
  // Output built from part of the input would pass for the real result, so
  // a missing or unreadable input stops the run before anything is written.
  // Every input is still tried, so that one run names all that are wrong.
  bool loaded = !other_list || LoadAll(other, {options.argument});
  loaded = LoadAll(list, options.files) && loaded;
  if (!loaded) return kExitFailure;

  RunOperation(options, list, other);

  const std::string_view line_end = options.lf ? "\n" : kCrLf;
  if (options.out.empty() || options.out == kStdin) {
    if (int error = WriteListFd(list, STDOUT_FILENO, line_end)) {
      std::cerr << "Cannot write to standard output: " << std::strerror(error)
                << '\n';
      return kExitFailure;
    }
  } else if (int error = ReplaceWithList(list, options.out, line_end)) {
    std::cerr << SaveErrorText(options.out, std::strerror(error)) << '\n';
    return kExitFailure;
  }
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
