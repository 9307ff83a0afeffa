#include "app/BackgroundWork.h"

#include <thread>
#include <utility>

#include "lists/Threads.h"

namespace karvello {

std::shared_ptr<BackgroundWork> BackgroundWork::Start(
    std::function<void()> work) {
  std::shared_ptr<BackgroundWork> started(new BackgroundWork(std::move(work)));
  // The thread keeps the work alive after the caller lets go of it.
  StartThread([started] { started->Run(); }).detach();
  return started;
}

void BackgroundWork::Run() {
  std::exception_ptr failure;
  try {
    work_();
  } catch (...) {
    failure = std::current_exception();
  }
  // What the work captured goes with it, on this thread.
  work_ = nullptr;
  std::lock_guard lock(mutex_);
  failure_ = failure;
  done_ = true;
  finished_.notify_all();
}

bool BackgroundWork::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, timeout, [this] { return done_; });
}

bool BackgroundWork::Finished() const {
  std::lock_guard lock(mutex_);
  return done_;
}

Progress BackgroundWork::Poll() const { return {Finished(), -1.0}; }

void BackgroundWork::Rethrow() const {
  std::lock_guard lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
}

}  // namespace karvello
