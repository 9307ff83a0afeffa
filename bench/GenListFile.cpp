// Helper of bench/peers.sh.
//
//   gen_list_file N DISTINCT [SEED [OFFSET]]
//     Writes a list file of N items (LF after each) to standard output: the
//     texts BenchText(OFFSET + k) for the k of BenchTextNumbers(N, DISTINCT,
//     SEED), so that every run gives the same bytes.
//   gen_list_file --time-load FILE [RUNS]
//     Loads FILE into a fresh list RUNS times (default 5) and prints the
//     median time in seconds and the item count.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "BenchData.h"
#include "listfiles/ListFiles.h"

namespace {

int TimeLoad(const std::string& path, int runs) {
  std::vector<double> seconds;
  std::int64_t count = 0;
  for (int r = 0; r < runs; ++r) {
    karvello::ItemList list;
    const auto start = std::chrono::steady_clock::now();
    if (const int error = karvello::AppendListFile(list, path)) {
      std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(),
                   std::strerror(error));
      return 1;
    }
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    count = list.ListCount();
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.3f %lld\n", seconds[seconds.size() / 2],
              static_cast<long long>(count));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string_view(argv[1]) == "--time-load") {
    return TimeLoad(argv[2], argc >= 4 ? std::max(1, std::atoi(argv[3])) : 5);
  }
  if (argc < 3 || argc > 5) {
    std::cerr << "usage: gen_list_file N DISTINCT [SEED [OFFSET]]\n"
                 "       gen_list_file --time-load FILE [RUNS]\n";
    return 2;
  }
  const bool written = karvello::bench::WriteBenchLines(
      stdout, std::strtoull(argv[1], nullptr, 10),
      std::strtoull(argv[2], nullptr, 10),
      argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 1,
      argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 0, "\n");
  return written && std::fflush(stdout) == 0 ? 0 : 1;
}
