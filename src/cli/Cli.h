// karvello-cli: the list operations for scripts and pipelines.
//
//   karvello-cli dedupe a.txt b.txt -o clean.txt
//   producer | karvello-cli subtract seen.txt --lf | consumer
//
// The input files are loaded in order into one list with the same reader as
// the window, one operation runs on it, and the result is written as a list
// file: to standard output, or to OUT by the window's safe replace, which
// leaves OUT as it was when anything fails. When any input is missing or
// unreadable, nothing is written at all.

#ifndef KARVELLO_CLI_CLI_H_
#define KARVELLO_CLI_CLI_H_

namespace karvello {

// Exit statuses: 0 success; 1 a missing or unreadable input, or output that
// could not be written; 2 bad usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the tool on the command line `argv` and returns its exit status.
// Writes the result to standard output or to the file named by -o, and
// every message to standard error.
int RunCli(int argc, const char* const* argv);

}  // namespace karvello

#endif  // KARVELLO_CLI_CLI_H_
