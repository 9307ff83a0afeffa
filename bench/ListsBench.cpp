// Speed and memory of the list operations on generated lists of about
// 19-byte items (43% distinct texts; 32,767 all-distinct items for the small
// case). Only the operation is timed: each iteration works on a fresh copy
// made outside the timed region.
//
// Beside each hashing operation at 1,000,000 items runs the same marking
// pass with a hash that gives every item the same value (ConstantHash/...),
// and with the real hash through the same path (RealHash/...), so that the
// worst case a hash can cause is measured against the usual case in the
// same run.
//
// Before the timings, the peak memory of one 10-million-item list plus one
// operation on it is measured in a child process of its own (so that the
// lists cached here for timing do not count); --peak_memory=false skips it.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BenchData.h"
#include "lists/ItemList.h"
#include "lists/Main.h"
#include "lists/internal/Marking.h"
#include "lists/internal/Parallel.h"

namespace karvello::bench {
namespace {

constexpr std::uint64_t kSmall = 32767;
constexpr std::uint64_t kMillion = 1000000;
constexpr std::uint64_t kTenMillion = 10000000;

ItemList BuildList(std::uint64_t n, std::uint64_t seed) {
  // The small case is the scan's worst case: every item distinct.
  return BenchList(n, n == kSmall ? n : DefaultDistinct(n), seed);
}

// Lists are costly to build at 10 million items: build each once.
const ItemList& CachedList(std::uint64_t n, std::uint64_t seed) {
  static std::map<std::pair<std::uint64_t, std::uint64_t>,
                  std::unique_ptr<ItemList>>
      cache;
  auto& slot = cache[{n, seed}];
  if (!slot) slot = std::make_unique<ItemList>(BuildList(n, seed));
  return *slot;
}

// The other list of a two-list operation: a million items (as many as the
// target for the small case), from a different seed, so that about a tenth
// of the target's items match.
std::uint64_t OtherSize(std::uint64_t n) { return n == kSmall ? n : kMillion; }

using Operation = std::function<void(ItemList&, const ItemList&)>;

const std::vector<std::pair<std::string, Operation>>& Operations() {
  static const std::vector<std::pair<std::string, Operation>> operations = {
      {"RemoveDupesExceptFirst",
       [](ItemList& l, const ItemList&) { RemoveDupesExceptFirst(l); }},
      {"RemoveAllDupes",
       [](ItemList& l, const ItemList&) { RemoveAllDupes(l); }},
      // "abc" is in about 1% of the items, "a" in about 40%.
      {"RemoveItemsWith/abc",
       [](ItemList& l, const ItemList&) { RemoveItemsWith(l, "abc"); }},
      {"RemoveItemsWith/a",
       [](ItemList& l, const ItemList&) { RemoveItemsWith(l, "a"); }},
      {"RemoveItemsWithout/abc",
       [](ItemList& l, const ItemList&) { RemoveItemsWithout(l, "abc"); }},
      {"RemoveBlanks", [](ItemList& l, const ItemList&) { RemoveBlanks(l); }},
      {"SubtractList",
       [](ItemList& l, const ItemList& o) { SubtractList(l, o); }},
      {"KeepOnlyMatches",
       [](ItemList& l, const ItemList& o) { KeepOnlyMatches(l, o); }},
  };
  return operations;
}

bool TakesOther(const std::string& name) {
  return name == "SubtractList" || name == "KeepOnlyMatches";
}

// CPU time of the whole process, every thread included.
double ProcessSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

void RunOperation(benchmark::State& state, const Operation& operation,
                  std::uint64_t n, bool with_other) {
  const ItemList& prepared = CachedList(n, 1);
  const ItemList empty;
  const ItemList& other = with_other ? CachedList(OtherSize(n), 2) : empty;
  std::int64_t items_left = 0;
  double cpu_seconds = 0;
  for (auto _ : state) {
    ItemList list = prepared;
    const double cpu_start = ProcessSeconds();
    const auto start = std::chrono::steady_clock::now();
    operation(list, other);
    const auto stop = std::chrono::steady_clock::now();
    cpu_seconds += ProcessSeconds() - cpu_start;
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    items_left = list.ListCount();
  }
  // The machine may be shared: the CPU time that all threads spent on the
  // operation, per iteration, shows the work done even when the wall time
  // includes waiting for a core.
  state.counters["cpu_ms"] =
      cpu_seconds * 1000 / static_cast<double>(state.iterations());
  state.counters["items"] = static_cast<double>(n);
  state.counters["left"] = static_cast<double>(items_left);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void RegisterTimings() {
  for (const auto& [name, operation] : Operations()) {
    for (const std::uint64_t n : {kSmall, kMillion, kTenMillion}) {
      const bool with_other = TakesOther(name);
      auto* b = benchmark::RegisterBenchmark(
          (name + "/" + std::to_string(n)).c_str(),
          [operation = operation, n, with_other](benchmark::State& state) {
            RunOperation(state, operation, n, with_other);
          });
      b->UseManualTime()->Unit(benchmark::kMillisecond);
      if (n == kTenMillion) b->Iterations(3);
    }
  }
}

// Hashing operations under a constant hash -------------------------------

struct ConstantHasher {
  std::uint64_t operator()(const char*, std::size_t) const { return 0; }
};

// The hashing operations as Main.cpp runs them, with `hasher` in place of
// the real hash.
template <typename Hasher>
std::vector<std::pair<std::string, Operation>> MarkingOperations(
    const Hasher& hasher) {
  auto repeats = [hasher](bool first_too) {
    return [hasher, first_too](ItemList& l, const ItemList&) {
      std::vector<std::uint8_t> marks(static_cast<std::size_t>(l.ListCount()));
      internal::MarkRepeats(l, marks.data(), first_too,
                            internal::PartsFor(l.ListCount()), hasher);
      l.RemoveMarked(marks);
    };
  };
  auto matches = [hasher](bool present) {
    return [hasher, present](ItemList& l, const ItemList& o) {
      std::vector<std::uint8_t> marks(static_cast<std::size_t>(l.ListCount()));
      internal::MarkMatches(l, o, marks.data(), present,
                            internal::PartsFor(l.ListCount() + o.ListCount()),
                            hasher);
      l.RemoveMarked(marks);
    };
  };
  return {{"RemoveDupesExceptFirst", repeats(false)},
          {"RemoveAllDupes", repeats(true)},
          {"SubtractList", matches(true)},
          {"KeepOnlyMatches", matches(false)}};
}

void RegisterHashComparison() {
  const std::pair<std::string, std::vector<std::pair<std::string, Operation>>>
      variants[] = {{"RealHash", MarkingOperations(internal::ItemHasher())},
                    {"ConstantHash", MarkingOperations(ConstantHasher())}};
  for (const auto& [hash_name, operations] : variants) {
    for (const auto& [name, operation] : operations) {
      auto* b = benchmark::RegisterBenchmark(
          (hash_name + "/" + name + "/" + std::to_string(kMillion)).c_str(),
          [operation = operation,
           with_other = TakesOther(name)](benchmark::State& state) {
            RunOperation(state, operation, kMillion, with_other);
          });
      b->UseManualTime()->Unit(benchmark::kMillisecond);
    }
  }
}

// Peak memory -------------------------------------------------------------

std::uint64_t StatusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::stoull(line.substr(std::strlen(field)));
    }
  }
  return 0;
}

struct PeakReport {
  double list_mb = 0;  // resident after building the lists
  double peak_mb = 0;  // highest resident during the operation
  double seconds = 0;
  bool reset_worked = false;
};

// In a child: builds the lists, forgets the high-water mark of building them
// (the generator's scratch), runs the operation once and reports.
PeakReport MeasurePeak(const Operation& operation, bool with_other) {
  PeakReport report;
  ItemList list = BuildList(kTenMillion, 1);
  ItemList other = with_other ? BuildList(kMillion, 2) : ItemList();
  report.list_mb = StatusKilobytes("VmRSS:") / 1024.0;
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    report.reset_worked = static_cast<bool>(clear);
  }
  const auto start = std::chrono::steady_clock::now();
  operation(list, other);
  const auto stop = std::chrono::steady_clock::now();
  report.seconds = std::chrono::duration<double>(stop - start).count();
  if (report.reset_worked) {
    report.peak_mb = StatusKilobytes("VmHWM:") / 1024.0;
  } else {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    report.peak_mb = usage.ru_maxrss / 1024.0;
  }
  return report;
}

void ReportPeakMemory() {
  std::printf(
      "Peak memory, one 10,000,000-item list (+ a 1,000,000-item other list "
      "where the operation takes one) plus one operation:\n");
  for (const auto& [name, operation] : Operations()) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_ends[0]);
      const PeakReport report = MeasurePeak(operation, TakesOther(name));
      const ssize_t written = write(pipe_ends[1], &report, sizeof report);
      _exit(written == sizeof report ? 0 : 1);
    }
    close(pipe_ends[1]);
    PeakReport report;
    const bool got = child > 0 && read(pipe_ends[0], &report, sizeof report) ==
                                      static_cast<ssize_t>(sizeof report);
    close(pipe_ends[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    if (!got) {
      std::printf("  %-24s measurement failed\n", name.c_str());
      continue;
    }
    std::printf("  %-24s lists %6.0f MB   peak %6.0f MB%s   (%.3f s)\n",
                name.c_str(), report.list_mb, report.peak_mb,
                report.reset_worked ? "" : " (incl. building)", report.seconds);
  }
  std::fflush(stdout);
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  bool peak_memory = true;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--peak_memory=false" || arg == "--peak_memory=0") {
      peak_memory = false;
    } else if (arg == "--peak_memory" || arg == "--peak_memory=true" ||
               arg == "--peak_memory=1") {
      peak_memory = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  int remaining = static_cast<int>(args.size());
  benchmark::Initialize(&remaining, args.data());
  if (benchmark::ReportUnrecognizedArguments(remaining, args.data())) return 1;
  // Measured first, while this process is still small: the children start
  // as copies of it.
  if (peak_memory) karvello::bench::ReportPeakMemory();
  karvello::bench::RegisterTimings();
  karvello::bench::RegisterHashComparison();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
