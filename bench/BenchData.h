// What the benchmarks share. Deterministic lists: items of 15 to 23 bytes
// (about 19 on average) of which about 43% are distinct texts, in random
// order. And the small helpers every benchmark program would otherwise
// write again: a list-file UI on standard error, a Qt path as bytes.

#ifndef KARVELLO_BENCH_BENCHDATA_H_
#define KARVELLO_BENCH_BENCHDATA_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "listfiles/ListFiles.h"
#include "lists/ItemList.h"

#ifdef QT_CORE_LIB
#include <QFile>
#include <QString>
#endif

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

// A list of the texts BenchText(offset + k) for the k of
// BenchTextNumbers(n, distinct, seed): lists made with offsets half their
// distinct count apart share about half their texts.
inline ItemList BenchList(std::uint64_t n, std::uint64_t distinct,
                          std::uint64_t seed = 1, std::uint64_t offset = 0) {
  ItemList list;
  list.Reserve(static_cast<ItemList::Index>(n), n * 19);
  for (std::uint64_t number : BenchTextNumbers(n, distinct, seed)) {
    list.AddItem(BenchText(offset + number));
  }
  return list;
}

// Writes the texts of BenchList(n, distinct, seed, offset) to `out`, each
// followed by `line_end`. False when a write fails.
inline bool WriteBenchLines(std::FILE* out, std::uint64_t n,
                            std::uint64_t distinct, std::uint64_t seed,
                            std::uint64_t offset, std::string_view line_end) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::string chunk;
  chunk.reserve(2 * kChunk);
  for (std::uint64_t number : BenchTextNumbers(n, distinct, seed)) {
    chunk += BenchText(offset + number);
    chunk += line_end;
    if (chunk.size() >= kChunk) {
      if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) {
        return false;
      }
      chunk.clear();
    }
  }
  return std::fwrite(chunk.data(), 1, chunk.size(), out) == chunk.size();
}

#ifdef QT_CORE_LIB
// A path from Qt as the bytes the file system gets.
inline std::string Bytes(const QString& path) {
  return QFile::encodeName(path).toStdString();
}
#endif

}  // namespace karvello::bench

#endif  // KARVELLO_BENCH_BENCHDATA_H_
