// A piece of work on a thread of its own, so that a command on millions of
// items never holds up the window.
//
// The work runs once, to its end: a cancel only tells the caller to drop
// what it gives, since the list operations cannot stop halfway. Whatever the
// work reads must stay as it is until Finished() says the thread is done
// with it, also after a cancel; the window waits for that before it changes
// a list (see Form1::ListsFree). An exception that leaves the work is kept
// and thrown again by Rethrow() on the caller's thread.
//
//   auto work = BackgroundWork::Start([&] { Mark(op, {}, list, "", {}, m); });
//   if (work->WaitFor(std::chrono::milliseconds(500))) work->Rethrow();

#ifndef KARVELLO_APP_BACKGROUNDWORK_H_
#define KARVELLO_APP_BACKGROUNDWORK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <type_traits>

#include "app/Dialogs.h"

namespace karvello {

class BackgroundWork {
 public:
  // Starts `work` on a new thread. Throws std::system_error when no thread
  // can be started.
  static std::shared_ptr<BackgroundWork> Start(std::function<void()> work);

  BackgroundWork(const BackgroundWork&) = delete;
  BackgroundWork& operator=(const BackgroundWork&) = delete;

  // Waits until the work is done or `timeout` has passed; true when done.
  bool WaitFor(std::chrono::milliseconds timeout);
  bool Finished() const;
  // Done yet; the part done is never known.
  Progress Poll() const;
  // The caller gives up on the result. The thread still runs to its end.
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_; }
  // Throws what the work threw, if anything; call once it is done.
  void Rethrow() const;

 private:
  explicit BackgroundWork(std::function<void()> work)
      : work_(std::move(work)) {}
  void Run();

  std::function<void()> work_;
  std::atomic<bool> cancelled_ = false;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;           // guarded by mutex_
  std::exception_ptr failure_;  // set before done_
};

// Frees `spent`, moved in, on a thread of its own: giving back the memory
// of ten million items holds the window's thread long enough to be seen.
// Without a thread, it is freed here.
template <typename T>
void FreeElsewhere(T&& spent) {
  static_assert(!std::is_reference_v<T>, "FreeElsewhere takes what it frees");
  auto held = std::make_shared<T>(std::move(spent));
  try {
    BackgroundWork::Start([held = std::move(held)] {});
  } catch (const std::system_error&) {
  }
}

}  // namespace karvello

#endif  // KARVELLO_APP_BACKGROUNDWORK_H_
