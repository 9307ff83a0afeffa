// karvello-cli: the list operations for scripts and pipelines.
//
//   karvello-cli dedupe a.txt b.txt -o clean.txt
//   producer | karvello-cli subtract seen.txt --lf | consumer
//
// The command line becomes a Job of the one pipeline (pipeline/Pipeline.h),
// which checks every input before anything is written, reads the inputs in
// order, streamed, held in memory or in parts on disk as the operation and
// the memory budget allow, and writes the result as a list file: to
// standard output, or to OUT by the window's safe replace, which leaves OUT
// as it was when anything fails. Every failure is one Status, printed once
// on standard error after the tool's name.

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
