// Deterministic lists for the benchmarks: items of 15 to 23 bytes (about 19
// on average) of which about 43% are distinct texts, in random order.

#ifndef KARVELLO_BENCH_BENCHDATA_H_
#define KARVELLO_BENCH_BENCHDATA_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace karvello::bench {

inline std::uint64_t SplitMix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The text number `j` stands for: lower-case letters and digits.
inline std::string BenchText(std::uint64_t j) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t h = SplitMix64(j);
  const int length = 15 + static_cast<int>(h % 9);
  std::string text;
  text.reserve(length);
  for (int k = 0; k < length; ++k) {
    if (k % 8 == 0) h = SplitMix64(h + k);
    text.push_back(kAlphabet[(h >> (8 * (k % 8))) % 36]);
  }
  return text;
}

// The text numbers of a list of `n` items with `distinct` different texts:
// every text at least once, the rest drawn at random, then shuffled.
inline std::vector<std::uint64_t> BenchTextNumbers(std::uint64_t n,
                                                   std::uint64_t distinct,
                                                   std::uint64_t seed = 1) {
  std::vector<std::uint64_t> numbers(n);
  std::uint64_t state = seed;
  for (std::uint64_t i = 0; i < n; ++i) {
    numbers[i] = i < distinct ? i : (state = SplitMix64(state)) % distinct;
  }
  for (std::uint64_t i = n; i > 1; --i) {
    state = SplitMix64(state);
    std::swap(numbers[i - 1], numbers[state % i]);
  }
  return numbers;
}

// About 43% distinct, as the benchmarks use.
inline std::uint64_t DefaultDistinct(std::uint64_t n) { return n * 43 / 100; }

}  // namespace karvello::bench

#endif  // KARVELLO_BENCH_BENCHDATA_H_
