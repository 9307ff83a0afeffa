#include "cli/Operations.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "lists/CopyCounts.h"
#include "lists/Main.h"

namespace karvello {

namespace {

void RunExactly(std::string_view command, std::string_view argument,
                ItemList& list, const ItemList& other) {
  if (command == "dedupe") {
    RemoveDupesExceptFirst(list);
  } else if (command == "remove-all-dupes") {
    RemoveAllDupes(list);
  } else if (command == "remove-with") {
    RemoveItemsWith(list, argument);
  } else if (command == "remove-without") {
    RemoveItemsWithout(list, argument);
  } else if (command == "remove-blanks") {
    RemoveBlanks(list);
  } else if (command == "subtract") {
    SubtractList(list, other);
  } else if (command == "keep-matches") {
    KeepOnlyMatches(list, other);
  }
}

// Marks on the keys what the command removes; false for a command that does
// not compare items.
bool MarkByKeys(std::string_view command, std::string_view argument,
                const KeyRules& rules, const ItemList& list,
                const ItemList& other, std::vector<std::uint8_t>& marks) {
  const ItemList keys = KeysOf(list, rules);
  marks.resize(static_cast<std::size_t>(list.ListCount()));
  if (command == "dedupe") {
    MarkDupesExceptFirst(keys, marks);
  } else if (command == "remove-all-dupes") {
    MarkAllDupes(keys, marks);
  } else if (command == "remove-with") {
    MarkItemsWith(keys, KeyOf(argument, rules), marks);
  } else if (command == "remove-without") {
    MarkItemsWithout(keys, KeyOf(argument, rules), marks);
  } else if (command == "subtract") {
    MarkSubtract(keys, KeysOf(other, rules), marks);
  } else if (command == "keep-matches") {
    MarkKeepOnlyMatches(keys, KeysOf(other, rules), marks);
  } else {
    return false;
  }
  return true;
}

}  // namespace

void RunOperation(std::string_view command, std::string_view argument,
                  const KeyRules& rules, ItemList& list,
                  const ItemList& other) {
  std::vector<std::uint8_t> marks;
  if (rules.Exact() ||
      !MarkByKeys(command, argument, rules, list, other, marks)) {
    RunExactly(command, argument, list, other);
    return;
  }
  list.RemoveMarked(marks);
}

void DedupeWithCounts(const KeyRules& rules, ItemList& list) {
  const std::vector<std::uint64_t> counts =
      rules.Exact() ? CountCopies(list) : CountCopies(KeysOf(list, rules));
  ItemList counted;
  std::string line;
  for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
    const std::uint64_t count = counts[static_cast<std::size_t>(i)];
    if (count == 0) continue;
    CountedItem(list.List(i), count, line);
    counted.AddItem(line);
  }
  list = std::move(counted);
}

void CountedItem(std::string_view item, std::uint64_t copies,
                 std::string& line) {
  line.assign(item);
  line += '\t';
  line += std::to_string(copies);
}

std::string StatsLine(std::string_view command, ItemList::Index read, int files,
                      ItemList::Index written) {
  std::string line = "karvello-cli: ";
  line += command;
  line += ": " + std::to_string(read) + (read == 1 ? " item" : " items");
  line += " read from " + std::to_string(files) +
          (files == 1 ? " file, " : " files, ");
  line += std::to_string(read - written) + " removed, ";
  line += std::to_string(written) + " written";
  return line;
}

}  // namespace karvello
