// Running a loop over the items of a list in parts on two threads.

#ifndef KARVELLO_LISTS_PARALLEL_H_
#define KARVELLO_LISTS_PARALLEL_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lists/Threads.h"

namespace karvello {

// Below this many items a second thread's start and join cost about what it
// saves (the */32767 cases of bench/ListsBench.cpp run on one thread, the
// others on two).
inline constexpr std::uint64_t kTwoThreadsFrom = 100000;

// How many parts to split work on `items` items into: 2 from
// kTwoThreadsFrom items when the process may use two CPUs or more
// (UsableCpus), else 1.
inline int PartsFor(std::uint64_t items) {
  return items >= kTwoThreadsFrom && UsableCpus() >= 2 ? 2 : 1;
}

// Runs `work(part)` for part 0 .. parts - 1, part 0 on this thread and the
// others on threads of their own (or here, when no thread can be started),
// which take none of the signals that end the program (Threads.h);
// returns when all are done and rethrows the first exception of any part.
template <typename Work>
void RunParts(int parts, Work work) {
  if (parts <= 1) {
    work(0);
    return;
  }
  std::vector<std::exception_ptr> errors(parts);
  std::vector<std::thread> threads;
  threads.reserve(parts - 1);
  auto guarded = [&](int part) {
    try {
      work(part);
    } catch (...) {
      errors[part] = std::current_exception();
    }
  };
  std::vector<int> inline_parts;
  for (int part = 1; part < parts; ++part) {
    try {
      threads.push_back(StartThread(guarded, part));
    } catch (const std::system_error&) {
      // No thread to be had: the part runs here instead, only slower.
      inline_parts.push_back(part);
    }
  }
  guarded(0);
  for (const int part : inline_parts) guarded(part);
  for (auto& thread : threads) thread.join();
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

// The range [begin, end) of indices below `count` that part `part` of
// `parts` works on. Every part but the last starts and ends at a multiple of
// `align`, so that parts never share a word of a bitmap with one bit an
// item (align 64).
inline std::pair<std::size_t, std::size_t> PartRange(std::size_t count,
                                                     int part, int parts,
                                                     std::size_t align = 1) {
  const std::size_t share =
      count / static_cast<std::size_t>(parts) / align * align;
  const std::size_t begin = share * static_cast<std::size_t>(part);
  return {begin, part + 1 == parts ? count : begin + share};
}

}  // namespace karvello

#endif  // KARVELLO_LISTS_PARALLEL_H_
