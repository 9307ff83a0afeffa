// The list operations as one table: what each is called, what it takes
// besides the list, how it can run without holding the whole list, and the
// functions of Main.h that do it. The window's buttons and the command-line
// tool's commands both run them from here, and the tool's help, usage and
// option checks are built from the rows, so adding an operation is one row.
//
//   const Operation* op = FindOperation("subtract");
//   Apply(*op, {.ignore_case = true}, list, "", other);
//
// Rules that loosen how items compare (KeyRules) apply to every operation
// that compares items (`compares`); the items left are the originals.

#ifndef KARVELLO_LISTS_OPERATIONS_H_
#define KARVELLO_LISTS_OPERATIONS_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"
#include "lists/Main.h"

namespace karvello {

// The rows of kOperations, in order.
enum class Op : std::uint8_t {
  kCat,
  kDedupe,
  kRemoveAllDupes,
  kRemoveWith,
  kRemoveWithout,
  kRemoveBlanks,
  kSubtract,
  kKeepMatches,
};

// What an operation takes besides the list it edits.
enum class Argument : std::uint8_t {
  kNone,
  kString,  // a search string, STRING
  kOther,   // another list, OTHER, only read
};

// How an operation can run over a list that goes by in blocks.
enum class Stream : std::uint8_t {
  kCopy,         // every item stays as it is
  kPerItem,      // each item stays or goes on its own text alone
  kFirstCopies,  // the first item of each text stays
  kNotInOther,   // the items whose text is not in OTHER stay
  kInOther,      // the items whose text is in OTHER stay
  kWhole,        // an item's fate needs every item of its text: no stream
};

struct Operation {
  Op id;
  std::string_view name;     // the command-line tool's word for it
  std::string_view summary;  // one line of help
  Argument argument;
  Stream stream;
  // It compares items with each other, with STRING or with OTHER, so rules
  // of comparison (KeyRules) mean something to it.
  bool compares;
  // Sets marks[i] for each item of `list` that the operation removes, 0 for
  // the others; `search` is STRING and `other` OTHER (empty when not taken).
  // Null when the operation compares nothing.
  void (*mark)(const ItemList& list, std::string_view search,
               const ItemList& other, std::span<std::uint8_t> marks);
  // The operation in place, comparing exactly (the window's buttons).
  void (*run)(ItemList& list, std::string_view search, const ItemList& other);
};

// One row per Op, in the order of Op.
inline constexpr Operation kOperations[] = {
    {Op::kCat, "cat", "Load and save unchanged", Argument::kNone, Stream::kCopy,
     false, nullptr, [](ItemList&, std::string_view, const ItemList&) {}},
    {Op::kDedupe, "dedupe", "Remove every copy of a text after its first",
     Argument::kNone, Stream::kFirstCopies, true,
     [](const ItemList& list, std::string_view, const ItemList&,
        std::span<std::uint8_t> marks) { MarkDupesExceptFirst(list, marks); },
     [](ItemList& list, std::string_view, const ItemList&) {
       RemoveDupesExceptFirst(list);
     }},
    {Op::kRemoveAllDupes, "remove-all-dupes",
     "Remove every text that occurs more than once", Argument::kNone,
     Stream::kWhole, true,
     [](const ItemList& list, std::string_view, const ItemList&,
        std::span<std::uint8_t> marks) { MarkAllDupes(list, marks); },
     [](ItemList& list, std::string_view, const ItemList&) {
       RemoveAllDupes(list);
     }},
    {Op::kRemoveWith, "remove-with", "Remove the items that contain STRING",
     Argument::kString, Stream::kPerItem, true,
     [](const ItemList& list, std::string_view search, const ItemList&,
        std::span<std::uint8_t> marks) { MarkItemsWith(list, search, marks); },
     [](ItemList& list, std::string_view search, const ItemList&) {
       RemoveItemsWith(list, search);
     }},
    {Op::kRemoveWithout, "remove-without",
     "Remove the items that do not contain STRING", Argument::kString,
     Stream::kPerItem, true,
     [](const ItemList& list, std::string_view search, const ItemList&,
        std::span<std::uint8_t> marks) {
       MarkItemsWithout(list, search, marks);
     },
     [](ItemList& list, std::string_view search, const ItemList&) {
       RemoveItemsWithout(list, search);
     }},
    {Op::kRemoveBlanks, "remove-blanks", "Remove the empty items",
     Argument::kNone, Stream::kPerItem, false, nullptr,
     [](ItemList& list, std::string_view, const ItemList&) {
       RemoveBlanks(list);
     }},
    {Op::kSubtract, "subtract", "Keep the items that do not occur in OTHER",
     Argument::kOther, Stream::kNotInOther, true,
     [](const ItemList& list, std::string_view, const ItemList& other,
        std::span<std::uint8_t> marks) { MarkSubtract(list, other, marks); },
     [](ItemList& list, std::string_view, const ItemList& other) {
       SubtractList(list, other);
     }},
    {Op::kKeepMatches, "keep-matches",
     "Keep the items that also occur in OTHER", Argument::kOther,
     Stream::kInOther, true,
     [](const ItemList& list, std::string_view, const ItemList& other,
        std::span<std::uint8_t> marks) {
       MarkKeepOnlyMatches(list, other, marks);
     },
     [](ItemList& list, std::string_view, const ItemList& other) {
       KeepOnlyMatches(list, other);
     }},
};

// A row out of place does not compile.
constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < std::size(kOperations); ++i) {
    if (static_cast<std::size_t>(kOperations[i].id) != i) return false;
  }
  return true;
}
static_assert(RowsInOrder());

constexpr const Operation& OperationOf(Op id) {
  return kOperations[static_cast<std::size_t>(id)];
}

// The row named `name`, or nullptr.
const Operation* FindOperation(std::string_view name);

// Runs `op` on `list` comparing items by their keys under `rules` (see
// ItemKey.h): STRING's key must be contained in an item's key, and OTHER's
// items count by their keys too. The items that stay are the originals; for
// the first copies, the first item of each key. With exact rules this is
// op.run itself.
//
//   dedupe, ignore_case:   Anna, ANNA, Bo, anna   -->   Anna, Bo
void Apply(const Operation& op, const KeyRules& rules, ItemList& list,
           std::string_view search, const ItemList& other);

}  // namespace karvello

#endif  // KARVELLO_LISTS_OPERATIONS_H_
