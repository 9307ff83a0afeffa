#include "cli/Cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "lists/Operations.h"
#include "pipeline/Inputs.h"
#include "pipeline/Pipeline.h"

namespace karvello {

namespace {

constexpr char kProgram[] = "karvello-cli";

struct Options {
  Job job;
  std::string memory;  // SIZE of --memory; empty for the default
  bool lf = false;
  bool lines = false;
  bool stats = false;
};

bool EveryCommand(const Operation&) { return true; }
bool ComparesItems(const Operation& op) { return op.compares; }
bool KeepsFirstCopies(const Operation& op) {
  return op.stream == Stream::kFirstCopies;
}

// The flags, and the commands each is for.
struct Flag {
  const char* name;
  const char* help;
  bool (*applies)(const Operation&);
  bool& (*field)(Options&);
};
constexpr Flag kFlags[] = {
    {"--lf", "End each item with LF, not CR LF", EveryCommand,
     [](Options& o) -> bool& { return o.lf; }},
    {"--lines", "One item per line: commas and quotes are part of the item",
     EveryCommand, [](Options& o) -> bool& { return o.lines; }},
    {"--stats",
     "After the result, write the counts of items read, removed and written "
     "to standard error",
     EveryCommand, [](Options& o) -> bool& { return o.stats; }},
    {"--ignore-case",
     "Compare after Unicode simple case folding; the items written are "
     "unchanged",
     ComparesItems, [](Options& o) -> bool& { return o.job.keys.ignore_case; }},
    {"--trim",
     "Compare without leading and trailing blanks and tabs; the items "
     "written are unchanged",
     ComparesItems, [](Options& o) -> bool& { return o.job.keys.trim; }},
    {"--count", "Follow each item written by a tab and its number of copies",
     KeepsFirstCopies, [](Options& o) -> bool& { return o.job.count_copies; }},
};

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
  std::vector<std::pair<std::string, std::string>> groups = {
      {"every command", "-o OUT, --memory SIZE, --temp-dir DIR"}};
  for (const Flag& flag : kFlags) {
    const std::string where = CommandsFor(flag.applies);
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& g) { return g.first == where; });
    if (group == groups.end()) {
      groups.emplace_back(where, flag.name);
    } else {
      group->second.append(", ").append(flag.name);
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

constexpr char kFooter[] =
    "Each FILE is read as comma- or line-separated fields, one item per\n"
    "field (one per line with --lines); none, or -, reads standard input.\n"
    "Items compare exactly unless --ignore-case or --trim is given. With\n"
    "--stats the counts are of the items of FILE..., not of OTHER. Every\n"
    "FILE and OTHER is checked before anything is written: when any is\n"
    "missing or unreadable, each is reported and nothing is written.\n"
    "The result goes to standard output (also with -o -), one item per line\n"
    "followed by CR LF (LF with --lf). A file OUT is replaced only once the\n"
    "new one is complete, only when you may write to it, and keeps its mode\n"
    "and owner; a link is followed, and another hard link keeps the old\n"
    "text. OUT naming standard output or error (/dev/stdout) is written\n"
    "through it, appending when the shell appends; a FILE that is that\n"
    "same file is refused.\n"
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
                   : std::string("must be a size such as 64M, 512M or 2G");
      },
      "", "Size");
  for (const Operation& op : kOperations) {
    CLI::App* sub =
        app.add_subcommand(std::string(op.name), std::string(op.summary));
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
    sub->add_option("-o,--output", options.job.output,
                    "Write the result to OUT instead of standard output")
        ->option_text("OUT")
        ->check(non_empty);
    for (const Flag& flag : kFlags) {
      if (flag.applies(op))
        sub->add_flag(flag.name, flag.field(options), flag.help);
    }
    sub->add_option("--memory", options.memory,
                    "Work through larger input in parts on disk (default: "
                    "half the available memory; at least 1M)")
        ->option_text("SIZE")
        ->check(memory_size);
    sub->add_option("--temp-dir", options.job.temp_dir,
                    "Folder for those parts (default: $TMPDIR or /tmp)")
        ->option_text("DIR")
        ->check(non_empty);
  }
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
  DeclareCommands(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    exit = app.exit(e);
    return Status();
  } catch (const CLI::ParseError& e) {
    return Status::Usage(e.what());
  }
  Job& job = options.job;
  job.operation = FindOperation(app.get_subcommands().front()->get_name());
  if (job.output == kStdin) job.output.clear();
  if (options.lf) job.line_end = "\n";
  if (options.lines) job.split = FieldSplit::kLines;
  if (!options.memory.empty()) {
    static_cast<void>(ParseMemorySize(options.memory, job.budget));
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
