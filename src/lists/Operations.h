// The list operations as one table: what each is called, what it takes
// besides the list, how it can run without holding the whole list, and the
// functions of Main.h that do it. The window's buttons and the command-line
// tool's commands both run them from here, and the tool's help, usage and
// option checks are built from the rows, so adding an operation is one row.
//
//   const Operation* op = FindOperation("subtract");
//   Apply(*op, {.keys = {.ignore_case = true}}, list, "", other);
//
// Rules that loosen how items compare (KeyRules) apply to every operation
// that compares items (`compares`); the items left are the originals. The
// other choices of a run (Choices) apply to the rows they name.

#ifndef KARVELLO_LISTS_OPERATIONS_H_
#define KARVELLO_LISTS_OPERATIONS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"
#include "lists/Main.h"

namespace karvello {

// The rows of kOperations, in order.
enum class Op : std::uint8_t {
  kCat,
  kDedupe,
  kRemoveAllDupes,
  kKeepDupes,
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
  Argument argument = Argument::kNone;
  Stream stream = Stream::kCopy;
  // It compares items with each other, with STRING or with OTHER, so rules
  // of comparison (KeyRules) mean something to it.
  bool compares = false;
  // It keeps at most one item of each text, the first, so each can be
  // written with its number of copies.
  bool keeps_one_copy = false;
  // For an operation that takes STRING: true when it removes the items that
  // contain STRING, false when it removes those that do not.
  bool removes_found = false;
  // Sets marks[i] to 1 for each item of `list` that the operation removes,
  // 0 for the others; `search` is STRING and `other` OTHER (empty when not
  // taken).
  void (*mark)(const ItemList& list, std::string_view search,
               const ItemList& other, std::span<std::uint8_t> marks);
  // The operation in place, comparing exactly (the window's buttons).
  void (*run)(ItemList& list, std::string_view search, const ItemList& other);
};

// For keep-dupes: marks every item but the first of each text that occurs
// more than once. KeepDupes removes the marked items.
//
//   a, b, a, d, b, a   --KeepDupes-->   a, b
void MarkKeepDupes(const ItemList& list, std::span<std::uint8_t> marks);
void KeepDupes(ItemList& list);

// One row per Op, in the order of Op.
inline constexpr Operation kOperations[] = {
    {.id = Op::kCat,
     .name = "cat",
     .summary = "Load and save unchanged",
     .mark = [](const ItemList&, std::string_view, const ItemList&,
                std::span<std::uint8_t> marks) { std::ranges::fill(marks, 0); },
     .run = [](ItemList&, std::string_view, const ItemList&) {}},
    {.id = Op::kDedupe,
     .name = "dedupe",
     .summary = "Remove every copy of a text after its first",
     .stream = Stream::kFirstCopies,
     .compares = true,
     .keeps_one_copy = true,
     .mark =
         [](const ItemList& list, std::string_view, const ItemList&,
            std::span<std::uint8_t> marks) {
           MarkDupesExceptFirst(list, marks);
         },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { RemoveDupesExceptFirst(list); }},
    {.id = Op::kRemoveAllDupes,
     .name = "remove-all-dupes",
     .summary = "Remove every text that occurs more than once",
     .stream = Stream::kWhole,
     .compares = true,
     .mark = [](const ItemList& list, std::string_view, const ItemList&,
                std::span<std::uint8_t> marks) { MarkAllDupes(list, marks); },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { RemoveAllDupes(list); }},
    {.id = Op::kKeepDupes,
     .name = "keep-dupes",
     .summary = "Keep the first copy of each text that occurs more than once",
     .stream = Stream::kWhole,
     .compares = true,
     .keeps_one_copy = true,
     .mark = [](const ItemList& list, std::string_view, const ItemList&,
                std::span<std::uint8_t> marks) { MarkKeepDupes(list, marks); },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { KeepDupes(list); }},
    {.id = Op::kRemoveWith,
     .name = "remove-with",
     .summary = "Remove the items that contain STRING",
     .argument = Argument::kString,
     .stream = Stream::kPerItem,
     .compares = true,
     .removes_found = true,
     .mark =
         [](const ItemList& list, std::string_view search, const ItemList&,
            std::span<std::uint8_t> marks) {
           MarkItemsWith(list, search, marks);
         },
     .run = [](ItemList& list, std::string_view search,
               const ItemList&) { RemoveItemsWith(list, search); }},
    {.id = Op::kRemoveWithout,
     .name = "remove-without",
     .summary = "Remove the items that do not contain STRING",
     .argument = Argument::kString,
     .stream = Stream::kPerItem,
     .compares = true,
     .mark =
         [](const ItemList& list, std::string_view search, const ItemList&,
            std::span<std::uint8_t> marks) {
           MarkItemsWithout(list, search, marks);
         },
     .run = [](ItemList& list, std::string_view search,
               const ItemList&) { RemoveItemsWithout(list, search); }},
    {.id = Op::kRemoveBlanks,
     .name = "remove-blanks",
     .summary = "Remove the empty items",
     .stream = Stream::kPerItem,
     .mark =
         [](const ItemList& list, std::string_view, const ItemList&,
            std::span<std::uint8_t> marks) {
           for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
             marks[static_cast<std::size_t>(i)] = list.UncheckedItem(i).empty();
           }
         },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { RemoveBlanks(list); }},
    {.id = Op::kSubtract,
     .name = "subtract",
     .summary = "Keep the items that do not occur in OTHER",
     .argument = Argument::kOther,
     .stream = Stream::kNotInOther,
     .compares = true,
     .mark =
         [](const ItemList& list, std::string_view, const ItemList& other,
            std::span<std::uint8_t> marks) {
           MarkSubtract(list, other, marks);
         },
     .run = [](ItemList& list, std::string_view,
               const ItemList& other) { SubtractList(list, other); }},
    {.id = Op::kKeepMatches,
     .name = "keep-matches",
     .summary = "Keep the items that also occur in OTHER",
     .argument = Argument::kOther,
     .stream = Stream::kInOther,
     .compares = true,
     .mark =
         [](const ItemList& list, std::string_view, const ItemList& other,
            std::span<std::uint8_t> marks) {
           MarkKeepOnlyMatches(list, other, marks);
         },
     .run = [](ItemList& list, std::string_view,
               const ItemList& other) { KeepOnlyMatches(list, other); }},
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

// STRING taken as something other than a text to look for, such as a
// regular expression: whether it is found in an item's key.
class Pattern {
 public:
  virtual ~Pattern() = default;
  virtual bool FoundIn(std::string_view key) const = 0;
};

// What a run's options change in an operation beyond its row.
struct Choices {
  // How items compare, for an operation that compares them (see ItemKey.h).
  // STRING and the items of OTHER are keys themselves: they are compared
  // under keys.ForKeys().
  KeyRules keys = {};
  // For Stream::kFirstCopies: the last item of each key stays instead of
  // the first.
  bool keep_last = false;
  // For an operation that takes STRING: STRING as this pattern, which is
  // looked for in each item's key; null to look for STRING's key in it.
  const Pattern* pattern = nullptr;

  // True when the operation's own row runs as it is.
  bool Plain() const {
    return keys.Exact() && !keep_last && pattern == nullptr;
  }
};

// Sets marks[i] to 1 for each item of `list` that `op` under `choices`
// removes and to 0 for the others, comparing items by their keys: STRING's
// key must be contained in an item's key, and OTHER's items count by their
// keys too. `marks` holds one byte per item.
void Mark(const Operation& op, const Choices& choices, const ItemList& list,
          std::string_view search, const ItemList& other,
          std::span<std::uint8_t> marks);

// Runs `op` on `list` as Mark marks it and removes the marked items: the
// items that stay are the originals; of the first copies, the first (or
// last) item of each key. With plain choices this is op.run itself.
//
//   dedupe, ignore_case:             Anna, ANNA, Bo, anna   -->   Anna, Bo
//   dedupe, ignore_case, keep_last:  Anna, ANNA, Bo, anna   -->   Bo, anna
void Apply(const Operation& op, const Choices& choices, ItemList& list,
           std::string_view search, const ItemList& other);

// For each item of `list`: the number of items with its key when it is the
// item of its key that an operation that keeps one copy keeps under
// `choices` (the first, or with keep_last the last), 0 for the others.
//
//   a, b, a, a   gives   3, 1, 0, 0   (keep_last: 0, 1, 0, 3)
std::vector<std::uint64_t> CopiesOfKept(const Choices& choices,
                                        const ItemList& list);

}  // namespace karvello

#endif  // KARVELLO_LISTS_OPERATIONS_H_
