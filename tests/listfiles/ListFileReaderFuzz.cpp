// libFuzzer target for the list-file reader, built and run by
// scripts/run-fuzz. Besides memory errors, it stops on any input for which
// the reader's items differ from the plain transcription of the rules, or
// depend on how the input is cut into blocks.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ReferenceListReader.h"
#include "listfiles/ListFileReader.h"
#include "support/ItemLists.h"

using karvello::testing::ItemsOf;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // The input's first byte picks the split (bit 0) and the line end of the
  // copy (bit 1), so that the fuzzer explores every pairing.
  if (size == 0) return 0;
  const bool lines_only = (data[0] & 1) != 0;
  const auto split = lines_only ? karvello::FieldSplit::kLines
                                : karvello::FieldSplit::kCommasAndLines;
  ++data;
  --size;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> expected =
      karvello::reference::ReferenceListItems(file, lines_only);

  karvello::ItemList whole;
  karvello::ReadListFields(file, whole, split);
  if (ItemsOf(whole) != expected) std::abort();

  // Block lengths from 1 to 8 bytes, chosen by the input's own bytes, so
  // that every cut the fuzzer can reach is tried somewhere.
  karvello::ItemList pieces;
  karvello::ListFileReader reader(pieces, split);
  std::size_t at = 0;
  std::uint32_t state = 2166136261u;
  while (at < size) {
    state = (state ^ data[at]) * 16777619u;
    const std::size_t n = std::min<std::size_t>(1 + (state >> 29), size - at);
    reader.Feed(file.substr(at, n));
    at += n;
  }
  reader.Finish();
  if (ItemsOf(pieces) != expected) std::abort();

  // A copy that hands runs of unchanged lines on must write what the items
  // would, with either line end.
  const std::string_view line_end = (data[-1] & 2) != 0 ? "\n" : "\r\n";
  std::string expected_copy;
  for (const std::string& item : expected) {
    expected_copy += item;
    expected_copy += line_end;
  }
  karvello::ItemList copied;
  std::string copy;
  std::size_t copied_items = 0;
  auto write_items = [&] {
    copied_items += static_cast<std::size_t>(copied.ListCount());
    for (const std::string& item : ItemsOf(copied)) {
      copy += item;
      copy += line_end;
    }
    copied.Clear();
  };
  karvello::ListFileReader passing(copied, split);
  passing.PassRunsTo(
      line_end,
      [&](std::string_view run, std::size_t items) {
        write_items();
        copy += run;
        copied_items += items;
      },
      1);
  for (at = 0; at < size; at += 3) passing.Feed(file.substr(at, 3));
  passing.Finish();
  write_items();
  if (copy != expected_copy || copied_items != expected.size()) std::abort();
  return 0;
}
