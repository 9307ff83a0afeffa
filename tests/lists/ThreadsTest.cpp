#include "lists/Threads.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#include <vector>

#include "lists/Parallel.h"

namespace karvello {
namespace {

// Which of SIGINT, SIGTERM and SIGHUP the calling thread blocks, as a
// string such as "INT TERM HUP" or "".
std::string StopSignalsBlockedHere() {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  std::string blocked;
  for (const auto& [number, name] :
       {std::pair{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}}) {
    if (sigismember(&mask, number) == 1) {
      blocked += blocked.empty() ? name : std::string(" ") + name;
    }
  }
  return blocked;
}

// A save on the starting thread holds these signals only for a moment; a
// helper thread that took one then would end the run half-way through it.
TEST(ThreadsTest, HelperThreadsLeaveTheStopSignalsToTheStartingThread) {
  ASSERT_EQ(StopSignalsBlockedHere(), "");
  std::string in_thread;
  StartThread([&] { in_thread = StopSignalsBlockedHere(); }).join();
  EXPECT_EQ(in_thread, "INT TERM HUP");
  std::vector<std::string> in_parts(3);
  RunParts(3, [&](int part) { in_parts[part] = StopSignalsBlockedHere(); });
  EXPECT_EQ(in_parts,
            (std::vector<std::string>{"", "INT TERM HUP", "INT TERM HUP"}));
  // The starting thread's own mask is as it was.
  EXPECT_EQ(StopSignalsBlockedHere(), "");
}

}  // namespace
}  // namespace karvello
#endif
