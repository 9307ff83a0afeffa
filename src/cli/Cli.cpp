#include "cli/Cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <csignal>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "lists/ItemKey.h"
#include "lists/Operations.h"
#include "pipeline/Inputs.h"
#include "pipeline/Pipeline.h"

namespace karvello {

namespace {

constexpr char kProgram[] = "karvello-cli";

struct Options {
  Job job;
  std::string memory;     // SIZE of --memory; empty for the default
  std::string field;      // N of --field; empty for none
  std::string delimiter;  // C of --delimiter; empty for the default
  bool lf = false;
  bool lines = false;
  bool zero = false;
  bool stats = false;
  bool progress = false;
  bool no_progress = false;
};

bool EveryCommand(const Operation&) { return true; }
bool ComparesItems(const Operation& op) { return op.takes.keys; }
bool TakesPattern(const Operation& op) { return op.takes.pattern; }
bool TakesKeepLast(const Operation& op) { return op.takes.keep_last; }
bool TakesCount(const Operation& op) { return op.takes.count; }
bool TakesDescending(const Operation& op) { return op.takes.descending; }
bool TakesNatural(const Operation& op) { return op.takes.natural; }

// Why `value` means nothing, or "" when it is fine.
using Check = std::string (*)(const std::string& value);

std::string NotEmpty(const std::string& value) {
  return value.empty() ? "must not be empty" : "";
}

// The options, and the commands each is for: a flag sets a bool, an option
// with a value a string.
struct Flag {
  const char* names;            // as CLI11 takes them: "-o,--output"
  const char* value = nullptr;  // the value's name; null for a flag
  const char* help;
  bool (*applies)(const Operation&);
  bool& (*flag)(Options&) = nullptr;
  std::string& (*text)(Options&) = nullptr;
  Check check = nullptr;
};
constexpr Flag kFlags[] = {
    {.names = "-o,--output",
     .value = "OUT",
     .help = "Write the result to OUT instead of standard output",
     .applies = EveryCommand,
     .text = [](Options& o) -> std::string& { return o.job.output; },
     .check = NotEmpty},
    {.names = "--lf",
     .help = "End each item with LF, not CR LF",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.lf; }},
    {.names = "--lines",
     .help = "One item per line: commas and quotes are part of the item",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.lines; }},
    {.names = "-z,--zero-terminated",
     .help = "Items end with NUL, on input and output: line ends, commas, "
             "quotes and byte-order marks are part of the items",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.zero; }},
    {.names = "--stats",
     .help = "After the result, write the counts of items read, removed and "
             "written to standard error",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.stats; }},
    {.names = "--progress",
     .help = "Show the progress line on standard error even when it is no "
             "terminal",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.progress; }},
    {.names = "--no-progress",
     .help = "Show no progress line (by default a run of over a second shows"
             " one when standard error is a terminal and the result goes "
             "elsewhere)",
     .applies = EveryCommand,
     .flag = [](Options& o) -> bool& { return o.no_progress; }},
    {.names = "--ignore-case",
     .help = "Compare after Unicode simple case folding (CaseFolding.txt, C "
             "and S: É equals é, ß does not equal ss, no Turkish rules); "
             "invalid UTF-8 compares as it is",
     .applies = ComparesItems,
     .flag = [](Options& o) -> bool& { return o.job.keys.ignore_case; }},
    {.names = "--trim",
     .help = "Compare without the spaces and tabs at either end; other "
             "blanks, such as no-break spaces and CR, count",
     .applies = ComparesItems,
     .flag = [](Options& o) -> bool& { return o.job.keys.trim; }},
    {.names = "--normalize",
     .help = "Compare after Unicode NFC normalization, so that é as one code"
             " point equals e and a combining accent (case folding comes "
             "after it); invalid UTF-8 compares as it is",
     .applies = ComparesItems,
     .flag = [](Options& o) -> bool& { return o.job.keys.normalize; }},
    {.names = "--field",
     .value = "N",
     .help = "Compare lines by their N-th field (from 1), split at "
             "--delimiter, and write whole lines; a field in double quotes "
             "may hold the delimiter (\"\" in it is one quote); a line with "
             "fewer than N fields has an empty key; STRING and the items of "
             "OTHER are keys themselves. Needs --lines or -z",
     .applies = ComparesItems,
     .text = [](Options& o) -> std::string& { return o.field; },
     .check = [](const std::string& value) -> std::string {
       std::uint32_t n = 0;
       const auto [end, error] =
           std::from_chars(value.data(), value.data() + value.size(), n);
       return error == std::errc() && end == value.data() + value.size() &&
                      n >= 1
                  ? ""
                  : "must be a whole number from 1 on";
     }},
    {.names = "--delimiter",
     .value = "C",
     .help = "The byte that splits a line into fields for --field (default: "
             "TAB)",
     .applies = ComparesItems,
     .text = [](Options& o) -> std::string& { return o.delimiter; },
     .check = [](const std::string& value) -> std::string {
       return value.size() == 1 && value != "\""
                  ? ""
                  : "must be one byte, not a double quote";
     }},
    {.names = "--regex",
     .help = "STRING is a regular expression (RE2's syntax), found anywhere "
             "in the item; it takes linear time, and --ignore-case applies",
     .applies = TakesPattern,
     .flag = [](Options& o) -> bool& { return o.job.regex; }},
    {.names = "--keep-last",
     .help = "Keep the last copy of each text instead of the first; the "
             "copies kept stay in their input order",
     .applies = TakesKeepLast,
     .flag = [](Options& o) -> bool& { return o.job.keep_last; }},
    {.names = "--count",
     .help = "Follow each item written by a tab and its number of copies",
     .applies = TakesCount,
     .flag = [](Options& o) -> bool& { return o.job.count_copies; }},
    {.names = "--descending",
     .help = "The greatest first; items with equal keys still keep their "
             "input order",
     .applies = TakesDescending,
     .flag = [](Options& o) -> bool& { return o.job.descending; }},
    {.names = "--natural",
     .help = "Read each key as runs of ASCII digits and of other bytes, and "
             "compare digit runs by their value, then the one with fewer "
             "leading zeros first (x9, x09, x10; file2 before file10)",
     .applies = TakesNatural,
     .flag = [](Options& o) -> bool& { return o.job.natural; }},
    {.names = "--memory",
     .value = "SIZE",
     .help = "Work through larger input in parts on disk (default: half the "
             "available memory; at least 1M)",
     .applies = EveryCommand,
     .text = [](Options& o) -> std::string& { return o.memory; },
     .check = [](const std::string& value) -> std::string {
       std::size_t bytes;
       return ParseMemorySize(value, bytes)
                  ? ""
                  : "must be a size such as 64M, 512M or 2G";
     }},
    {.names = "--temp-dir",
     .value = "DIR",
#ifdef _WIN32
     .help = "Folder for those parts (default: the system's temporary folder)",
#else
     .help = "Folder for those parts (default: $TMPDIR or /tmp)",
#endif
     .applies = EveryCommand,
     .text = [](Options& o) -> std::string& { return o.job.temp_dir; },
     .check = NotEmpty},
};

// A flag as the usage names it: "-o OUT", "--lf".
std::string Shown(const Flag& flag) {
  std::string name(flag.names);
  name = name.substr(0, name.find(','));
  return flag.value != nullptr ? name + " " + flag.value : name;
}

// The commands `applies` holds for, in the fewest words: "every command",
// "dedupe", "all but cat, remove-blanks".
std::string CommandsFor(bool (*applies)(const Operation&)) {
  std::string yes, no;
  for (const Operation& op : kOperations) {
    std::string& list = applies(op) ? yes : no;
    list.append(list.empty() ? "" : ", ").append(op.name);
  }
  if (no.empty()) return "every command";
  return yes.size() <= no.size() + 8 ? yes : "all but " + no;
}

std::string CommandLine(const Operation& op) {
  std::string line(op.name);
  if (op.argument == Argument::kString) line += " STRING";
  if (op.argument == Argument::kOther) line += " OTHER";
  return line;
}

std::string Usage() {
  std::string usage =
      "Usage: karvello-cli COMMAND [FILE...] [-o OUT] [OPTION...]\n";
  for (const Operation& op : kOperations) {
    const std::string line = CommandLine(op);
    usage += "  " + line +
             std::string(std::max<std::size_t>(24 - line.size(), 2), ' ') +
             std::string(op.summary) + "\n";
  }
  // The flags grouped by the commands they are for, in table order.
  std::vector<std::pair<std::string, std::string>> groups;
  for (const Flag& flag : kFlags) {
    const std::string where = CommandsFor(flag.applies);
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return g.first == where; });
    if (group == groups.end()) {
      groups.emplace_back(where, Shown(flag));
    } else {
      group->second.append(", ").append(Shown(flag));
    }
  }
  for (const auto& [where, flags] : groups) {
    usage += (where == groups.front().first ? "Options for " : "  for ") +
             where + ": " + flags + "\n";
  }
  return usage +
         "Run 'karvello-cli --help' or 'karvello-cli COMMAND --help' for "
         "more.\n";
}

// The tables as the docs are written from them (docs/generate.sh), one
// record a line, fields split by tabs:
//   command NAME ARGUMENT SUMMARY
//   option COMMAND SHORT LONG VALUE HELP     (for each option of COMMAND)
//   flag SHORT LONG VALUE COMMANDS HELP      (each option once)
std::string TablesForDocs() {
  auto names = [](const Flag& flag) {
    const std::string all(flag.names);
    const std::size_t comma = all.find(',');
    return comma == std::string::npos
               ? "\t" + all
               : all.substr(1, comma - 1) + "\t" + all.substr(comma + 1);
  };
  std::string out;
  for (const Operation& op : kOperations) {
    const std::string argument = op.argument == Argument::kString  ? "STRING"
                                 : op.argument == Argument::kOther ? "OTHER"
                                                                   : "";
    out.append("command\t").append(op.name).append("\t" + argument + "\t");
    out.append(op.summary).append("\n");
    for (const Flag& flag : kFlags) {
      if (!flag.applies(op)) continue;
      out.append("option\t").append(op.name).append("\t" + names(flag) + "\t");
      out.append(flag.value != nullptr ? flag.value : "").append("\t");
      out.append(flag.help).append("\n");
    }
  }
  for (const Flag& flag : kFlags) {
    out.append("flag\t" + names(flag) + "\t");
    out.append(flag.value != nullptr ? flag.value : "").append("\t");
    out.append(CommandsFor(flag.applies) + "\t").append(flag.help).append("\n");
  }
  return out;
}

constexpr char kFooter[] =
    "Each FILE is read as comma- or line-separated fields, one item per\n"
    "field (one per line with --lines, one per NUL with -z); none, or -,\n"
    "reads standard input. Items compare exactly, byte for byte, unless\n"
    "--field, --trim, --normalize or --ignore-case is given: an item is\n"
    "then compared by its key, its field trimmed, normalized and folded, in\n"
    "that order; the items written are the items read. With --stats the\n"
    "counts are of the items of FILE..., not of OTHER. Every FILE and OTHER\n"
    "is checked before anything is written: when any is missing or\n"
    "unreadable, each is reported and nothing is written.\n"
    "The result goes to standard output (also with -o -), one item per line\n"
    "followed by CR LF (LF with --lf, NUL with -z). A file OUT is replaced\n"
    "only once the new one is complete, only when you may write to it, and\n"
    "keeps its mode and owner; a link is followed, and another hard link\n"
    "keeps the old text. OUT naming standard output or error (/dev/stdout)\n"
    "is written through it, appending when the shell appends; a FILE that\n"
    "is that same file is refused.\n"
    "Exit status: 0 done, 1 an input or output that could not be used,\n"
    "2 bad usage, 128 + N when signal N stops the write.\n"
    "Input larger than --memory is worked through in parts, in spill files\n"
    "under --temp-dir, with the same result. A --memory below 1M counts as\n"
    "1M; the program itself takes a few megabytes besides.\n";

// Declares the command line on `app`, one subcommand per operation.
void DeclareCommands(CLI::App& app, Options& options) {
  app.set_version_flag("--version", "karvello-cli " KARVELLO_VERSION);
  app.require_subcommand(1);
  app.footer(kFooter);
  for (const Operation& op : kOperations) {
    CLI::App* sub =
        app.add_subcommand(std::string(op.name), std::string(op.summary));
    const CLI::Validator non_empty(
        [](std::string& value) { return NotEmpty(value); }, "", "NonEmpty");
    if (op.argument == Argument::kString) {
      sub->add_option("STRING", options.job.search,
                      "The text to look for, exactly")
          ->required()
          ->check(non_empty);
    } else if (op.argument == Argument::kOther) {
      sub->add_option("OTHER", options.job.other,
                      "The list file to compare with")
          ->required()
          ->check(non_empty);
    }
    sub->add_option("FILE", options.job.inputs,
                    "Input list files, loaded in order");
    for (const Flag& flag : kFlags) {
      if (!flag.applies(op)) continue;
      if (flag.value == nullptr) {
        sub->add_flag(flag.names, flag.flag(options), flag.help);
        continue;
      }
      CLI::Option* option =
          sub->add_option(flag.names, flag.text(options), flag.help)
              ->option_text(flag.value);
      if (flag.check != nullptr) {
        option->check(CLI::Validator(
            [check = flag.check](std::string& value) { return check(value); },
            "", flag.value));
      }
    }
  }
}

// Turns the options that need more than one word of the command line into
// the job.
Status Settle(Options& options) {
  Job& job = options.job;
  if (job.output == kStdin) job.output.clear();
  if (options.lf) job.line_end = "\n";
  if (options.lines) job.split = FieldSplit::kLines;
  if (options.zero) {
    job.split = FieldSplit::kNul;
    job.line_end = std::string_view("\0", 1);
  }
  if (!options.memory.empty()) {
    static_cast<void>(ParseMemorySize(options.memory, job.budget));
  }
  if (options.progress && options.no_progress) {
    return Status::Usage("--progress and --no-progress exclude each other");
  }
  if (options.progress) job.progress = ShowProgress::kAlways;
  if (options.no_progress) job.progress = ShowProgress::kNever;
  if (!options.delimiter.empty() && options.field.empty()) {
    return Status::Usage("--delimiter needs --field");
  }
  if (!options.field.empty()) {
    if (!options.lines && !options.zero) {
      return Status::Usage(
          "--field needs --lines or -z: otherwise commas split the lines");
    }
    std::from_chars(options.field.data(),
                    options.field.data() + options.field.size(),
                    job.keys.field);
    if (!options.delimiter.empty()) job.keys.delimiter = options.delimiter[0];
  }
  // An empty STRING is found in every item, so that remove-with would keep
  // none and remove-without all; trimmed away, it is refused as the empty
  // one is.
  if (job.operation->argument == Argument::kString && !job.regex &&
      job.keys.trim && KeyOf(job.search, job.keys.ForKeys()).empty()) {
    return Status::Usage("STRING is empty after --trim");
  }
  int reads_of_stdin = job.inputs.empty() ? 1 : 0;
  for (const std::string& input : job.inputs) reads_of_stdin += input == kStdin;
  if (job.operation->argument == Argument::kOther && job.other == kStdin) {
    ++reads_of_stdin;
  }
  if (reads_of_stdin > 1) {
    return Status::Usage("standard input can be read only once");
  }
  return Status();
}

// Reads the command line into `options`, or returns why it means nothing.
// Sets `exit` to the exit status when the run ends here, with the help or
// the version shown.
Status Parse(int argc, const char* const* argv, Options& options, int& exit) {
  exit = -1;
  if (argc >= 2 && argv[1][0] != '-' && FindOperation(argv[1]) == nullptr) {
    return Status::Usage("unknown command '" + std::string(argv[1]) + "'");
  }
  CLI::App app("Cleans and compares lists of short texts.", kProgram);
  // A STRING or a path may start with a slash on Windows too.
  app.allow_windows_style_options(false);
  DeclareCommands(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    exit = app.exit(e);
    return Status();
  } catch (const CLI::ParseError& e) {
    return Status::Usage(e.what());
  }
  options.job.operation =
      FindOperation(app.get_subcommands().front()->get_name());
  return Settle(options);
}

// Every message of the tool goes out here, each line after its name.
void Say(const std::string& message) {
  std::string lines;
  std::size_t start = 0;
  while (start <= message.size()) {
    const std::size_t end = std::min(message.find('\n', start), message.size());
    lines.append(kProgram).append(": ").append(message, start, end - start);
    lines += '\n';
    start = end + 1;
  }
  std::cerr << lines << std::flush;
}

std::string StatsLine(const Options& options, const Counts& counts) {
  const std::uint64_t files =
      options.job.inputs.empty() ? 1 : options.job.inputs.size();
  return std::string(options.job.operation->name) + ": " +
         std::to_string(counts.read) + (counts.read == 1 ? " item" : " items") +
         " read from " + std::to_string(files) +
         (files == 1 ? " file, " : " files, ") +
         std::to_string(counts.read - counts.written) + " removed, " +
         std::to_string(counts.written) + " written";
}

}  // namespace

int RunCli(int argc, const char* const* argv) {
  HoldClosedStandardDescriptors();
  // Past a file-size limit, a write should fail with EFBIG and leave the
  // old OUT in place rather than kill the process.
#ifdef SIGXFSZ  // no file-size signal on Windows
  std::signal(SIGXFSZ, SIG_IGN);
#endif

  // Not for users: what the man page and the completions are built from.
  if (argc == 2 && std::string_view(argv[1]) == "--tables-for-docs") {
    std::cout << TablesForDocs() << std::flush;
    return std::cout ? kExitOk : kExitFailure;
  }
  Options options;
  int exit;
  Status status = Parse(argc, argv, options, exit);
  if (exit >= 0) return exit;
  Counts counts;
  if (status.ok()) status = Run(options.job, counts);
  if (!status.ok()) {
    Say(status.Message());
    if (status.exit_status() == kExitUsage) std::cerr << Usage();
    return status.exit_status();
  }
  if (options.stats) Say(StatsLine(options, counts));
  return kExitOk;
}

}  // namespace karvello
