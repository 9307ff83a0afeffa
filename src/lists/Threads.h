// Starting helper threads that leave the signals which end the program to
// the thread that started the work, and how many of them can run at once.
//
// A save holds SIGINT, SIGTERM and SIGHUP back on its own thread while it
// creates, renames or removes a file, and handles them by removing what it
// made. The kernel hands a process-wide signal to any thread that does not
// block it, so a helper thread that took one would end the process in the
// middle of such a step. Every thread the program starts therefore starts
// with these signals blocked, and only the thread that holds and releases
// them takes them.
//
//   std::thread drawer = StartThread([&] { Draw(); });
//   drawer.join();

#ifndef KARVELLO_LISTS_THREADS_H_
#define KARVELLO_LISTS_THREADS_H_

#include <thread>
#include <utility>

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#endif

namespace karvello {

// How many CPUs this process may run on, at least 1: those of its affinity
// (as taskset(1) sets it), and no more than the CPU quota of its cgroups
// allows, rounded up (a container given 1.5 CPUs may use 2).
int UsableCpus();

// Blocks SIGINT, SIGTERM and SIGHUP on this thread for its lifetime, then
// restores the mask it found. A thread started meanwhile inherits the mask.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
#ifndef _WIN32
    sigset_t stop;
    sigemptyset(&stop);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&stop, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &stop, &saved_);
#endif
  }
  ~StopSignalsBlocked() {
#ifndef _WIN32
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
#endif
  }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
#ifndef _WIN32
  sigset_t saved_{};
#endif
};

// std::thread(function, args...), the new thread with SIGINT, SIGTERM and
// SIGHUP blocked. Throws std::system_error, as std::thread does, when no
// thread can be started; this thread's mask is restored either way.
template <typename Function, typename... Args>
[[nodiscard]] std::thread StartThread(Function&& function, Args&&... args) {
  const StopSignalsBlocked blocked;
  return std::thread(std::forward<Function>(function),
                     std::forward<Args>(args)...);
}

}  // namespace karvello

#endif  // KARVELLO_LISTS_THREADS_H_
