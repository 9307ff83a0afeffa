#include "pipeline/Progress.h"

#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "listfiles/ListFileWriter.h"
#include "lists/Threads.h"

namespace karvello {

namespace {

using namespace std::chrono_literals;

// A run shorter than this shows no line at all.
constexpr auto kFirstDraw = 1s;
constexpr auto kRedraw = 250ms;

std::string Size(double bytes) {
  const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text,
                unit == 0 || bytes >= 100 ? "%.0f %s" : "%.1f %s", bytes,
                units[unit]);
  return text;
}

std::string Duration(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char text[48];
  if (s < 60) {
    std::snprintf(text, sizeof text, "%lld s", s);
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "%lld min %lld s", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld h %lld min", s / 3600,
                  s % 3600 / 60);
  }
  return text;
}

}  // namespace

Progress::Progress(int fd, std::uint64_t total,
                   std::function<std::uint64_t()> read)
    : fd_(fd),
      total_(total),
      read_(std::move(read)),
      start_(std::chrono::steady_clock::now()) {
  try {
    thread_ = StartThread([this] {
      std::unique_lock lock(mutex_);
      auto next = start_ + kFirstDraw;
      while (!wake_.wait_until(lock, next, [this] { return stop_; })) {
        Draw();
        next = std::chrono::steady_clock::now() + kRedraw;
      }
    });
  } catch (const std::system_error&) {
    // Out of threads or address space: the run goes on without its line.
  }
}

Progress::~Progress() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  if (drawn_) static_cast<void>(WriteAllFd(fd_, "\r\033[K", 4));
}

std::string Progress::Line(std::uint64_t read, std::uint64_t total,
                           double seconds, const char* stage) {
  std::string line = "karvello-cli: " + Size(static_cast<double>(read));
  if (total != 0) {
    line += " of " + Size(static_cast<double>(total));
  }
  line += " read";
  if (total != 0) {
    line +=
        " (" + std::to_string(read >= total ? 100 : read * 100 / total) + "%)";
  }
  const double rate = seconds > 0 ? static_cast<double>(read) / seconds : 0;
  line += ", " + Size(rate) + "/s";
  if (stage != nullptr) {
    line.append(", ").append(stage);
  } else if (total != 0 && read < total && rate > 0) {
    line += ", " + Duration(static_cast<double>(total - read) / rate) + " left";
  }
  return line;
}

void Progress::Draw() {
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start_;
  // The line is drawn over the last one, and what that left beyond its end
  // is cleared.
  std::string line = "\r";
  line += Line(read_(), total_, elapsed.count(), stage_.load());
  line += "\033[K";
  drawn_ = true;
  static_cast<void>(WriteAllFd(fd_, line.data(), line.size()));
}

}  // namespace karvello
