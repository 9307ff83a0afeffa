// Reading list files, or text held in memory, on a thread of its own, so
// that a read that waits (a pipe, a terminal, /proc/kmsg, a slow network
// drive) or takes long (a file of gigabytes) never holds up the window.
//
// Each source is read into an item list of its own by the list-file reader:
// a path that FileExists rejects is kNotFound, a file that cannot be opened
// or read is kFailed with the Status that says why, and the items read
// before a failure are kept. These are the window's only load outcomes. The
// caller looks at the results only once the read is done. Cancel() ends the
// read at once, also while it waits for data that never comes; the thread then
// finishes on its own, with nothing of the caller's, and drops what it read.
//
//   auto read = BackgroundRead::Start({BackgroundRead::File("/a/b.txt")});
//   if (read->WaitFor(std::chrono::milliseconds(500))) {
//     for (BackgroundRead::Result& result : read->Results()) ...
//   }

#ifndef KARVELLO_APP_BACKGROUNDREAD_H_
#define KARVELLO_APP_BACKGROUNDREAD_H_

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "lists/ItemList.h"
#include "status/Status.h"

namespace karvello {

class BackgroundRead {
 public:
  // A list file by its path, or the bytes of a list file held in memory.
  struct Source {
    bool is_file = false;
    std::string path;
    QByteArray bytes;
  };
  static Source File(std::string path) { return {true, std::move(path), {}}; }
  static Source Bytes(QByteArray bytes) { return {false, {}, bytes}; }

  struct Result {
    enum class Outcome { kRead, kNotFound, kFailed };
    Outcome outcome = Outcome::kRead;
    // kFailed: why, such as Status::Read(path, EACCES); bytes held in
    // memory fail only for want of memory, with no path.
    Status status;
    ItemList items;
    int extent = 0;  // of the items, by the `measure` given to Start
  };

  // Starts reading `sources`, in order, on a new thread, which also measures
  // what it read with `measure`, if given (an ExtentMeasure). Throws
  // std::system_error when no thread can be started.
  using Measure = std::function<int(const ItemList&)>;
  static std::shared_ptr<BackgroundRead> Start(std::vector<Source> sources,
                                               Measure measure = {});

  ~BackgroundRead();
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;

  // Waits until the read is done or `timeout` has passed; true when done.
  bool WaitFor(std::chrono::milliseconds timeout);
  // Done yet, and the part of the work done: the bytes read fill half of
  // it, measuring them the other half, which shows only once done.
  Progress Poll() const;
  // Ends the read, even one that waits for data. Results() stays empty.
  void Cancel();
  // One result per source, in order, once WaitFor() returned true.
  std::vector<Result>& Results() { return results_; }

 private:
  BackgroundRead(std::vector<Source> sources, Measure measure);
  void Run();
  void ReadFile(const std::string& path, Result& result);
  void ReadBytes(const QByteArray& bytes, Result& result);
  // read(2) that gives up with ECANCELED once the read is cancelled.
  long ReadSome(int fd, char* buffer, std::size_t size);

  std::vector<Source> sources_;
  const Measure measure_;
  std::vector<Result> results_;
  std::atomic<bool> cancelled_ = false;
  std::atomic<std::uint64_t> bytes_done_ = 0;
  // 0 while a source has no known size.
  std::atomic<std::uint64_t> bytes_total_ = 0;
  int wake_fd_ = -1;  // readable once cancelled
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;  // guarded by mutex_
};

// Moves `items`, a result's items, to the end of `list`. An empty `list`
// that holds no storage at all takes them whole, with nothing copied, so
// that a load of gigabytes does not need twice its memory: the undo history
// keeps nothing in such a list (it makes the same move when it redoes an
// append).
void AppendItems(ItemList& list, ItemList&& items);

}  // namespace karvello

#endif  // KARVELLO_APP_BACKGROUNDREAD_H_
