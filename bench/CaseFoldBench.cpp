// --ignore-case's folding: the generated table that the program folds with
// (Table/...) against ICU's u_foldCase through the same loop (Icu/...), in
// the same run, on one million items of three kinds of text: ASCII with
// capitals (the shortcut), Latin with accents, and Greek and Cyrillic
// (every letter through the decoder).

#include <benchmark/benchmark.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "BenchData.h"
#include "lists/ItemKey.h"

namespace karvello::bench {
namespace {

constexpr KeyRules kFold{.ignore_case = true};

// The same loop as the program's, folding through ICU instead.
// Out of line, as the program's AppendKey is a call into the library.
[[gnu::noinline]] void IcuAppendFolded(std::string_view text,
                                       std::string& out) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::uint8_t byte = bytes[i];
    if (byte < 0x80) {
      out += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte);
      ++i;
      continue;
    }
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      out.append(text.data() + start, static_cast<std::size_t>(i - start));
      continue;
    }
    char encoded[U8_MAX_LENGTH];
    std::int32_t n = 0;
    U8_APPEND_UNSAFE(encoded, n, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    out.append(encoded, static_cast<std::size_t>(n));
  }
}

// Items of about 19 bytes from BenchData, their letters replaced by the
// letters of `alphabet` (UTF-8 letters, upper and lower case).
std::vector<std::string> Texts(const std::vector<std::string_view>& alphabet) {
  std::vector<std::string> texts;
  texts.reserve(1000000);
  for (std::uint64_t number : BenchTextNumbers(1000000, 430000)) {
    std::string text;
    for (char c : BenchText(number)) {
      text += alphabet[static_cast<unsigned char>(c) % alphabet.size()];
    }
    texts.push_back(std::move(text));
  }
  return texts;
}

const std::vector<std::string>& Kind(int kind) {
  static const std::vector<std::string> ascii =
      Texts({"a", "B", "c", "D", "e", "F", "g", "H", "1", "@", ".", "x"});
  static const std::vector<std::string> latin =
      Texts({"a", "B", "\xC3\xA9", "\xC3\x89", "\xC3\xBC", "\xC3\x9C", "n",
             "\xC3\x91", "s", "\xC3\x9F", "o", "\xC3\x98"});
  static const std::vector<std::string> greek_cyrillic = Texts(
      {"\xCE\xA3", "\xCF\x83", "\xCF\x82", "\xCE\x91", "\xCE\xB1", "\xD0\x96",
       "\xD0\xB6", "\xD0\xAF", "\xD1\x8F", "\xD0\x81", "\xD1\x91", "\xCE\xA9"});
  return kind == 0 ? ascii : kind == 1 ? latin : greek_cyrillic;
}

template <bool kTable>
void BM_Fold(benchmark::State& state) {
  const std::vector<std::string>& texts =
      Kind(static_cast<int>(state.range(0)));
  std::string out;
  std::size_t bytes = 0;
  for (auto _ : state) {
    out.clear();
    for (const std::string& text : texts) {
      if constexpr (kTable) {
        AppendKey(text, kFold, out);
      } else {
        IcuAppendFolded(text, out);
      }
    }
    bytes += out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetLabel(state.range(0) == 0   ? "ascii"
                 : state.range(0) == 1 ? "latin"
                                       : "greek+cyrillic");
}

BENCHMARK(BM_Fold<true>)
    ->Name("Table")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fold<false>)
    ->Name("Icu")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace karvello::bench

BENCHMARK_MAIN();
