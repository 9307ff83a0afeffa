// The progress line of a long run: from about a second after it starts, one
// line on standard error, redrawn a few times a second, tells how much has
// been read (of how much, when the inputs' sizes are known), at what rate,
// and how long the rest will take; it is cleared at the end.
//
//   karvello-cli: 312 MiB of 1.2 GiB read (25%), 95 MiB/s, 10 s left
//
// The line is drawn by a thread of its own, so it moves on also while the
// run waits for its input or works on spill files.

#ifndef KARVELLO_PIPELINE_PROGRESS_H_
#define KARVELLO_PIPELINE_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace karvello {

class Progress {
 public:
  // Draws the line on the descriptor `fd` until destroyed; `read` gives the
  // bytes read so far (from any thread), `total` the bytes there are to
  // read, 0 when unknown. Where no thread can be started for it, no line is
  // drawn and nothing fails.
  Progress(int fd, std::uint64_t total, std::function<std::uint64_t()> read);
  // Clears the line, if it was drawn.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // From now on the line also says what the run is doing, such as "working
  // through the parts on disk"; `stage` must outlive the line.
  void SetStage(const char* stage) { stage_.store(stage); }

  // The line for `read` bytes of `total` (0: unknown) after `seconds`.
  static std::string Line(std::uint64_t read, std::uint64_t total,
                          double seconds, const char* stage);

 private:
  void Draw();

  const int fd_;
  const std::uint64_t total_;
  const std::function<std::uint64_t()> read_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<const char*> stage_{nullptr};
  bool drawn_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace karvello

#endif  // KARVELLO_PIPELINE_PROGRESS_H_
