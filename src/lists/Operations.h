// The list operations as one table: what each is called, what kind of
// change it makes, what it takes besides the list, which choices of a run
// mean something to it, how it can run without holding the whole list, and
// the functions that do it. The window and the command-line tool both run
// them from here; the tool's help, usage, option checks, man page and
// completions are built from the rows, and its tests run every row, so
// adding an operation is one row, the functions it names and its plain
// model in the tests (the README's "Adding an operation").
//
//   const Operation* op = FindOperation("subtract");
//   Apply(*op, {.keys = {.ignore_case = true}}, list, "", other);
//
// A row is of one of two kinds. One that removes marks the items it removes,
// deciding about each from its key and its place among its key's items
// alone, so that it can also run part by part over a list split by key. One
// that reorders keeps every item and gives their new order. Rules that
// loosen how items compare (KeyRules) apply to the rows that take them
// (`takes.keys`); the items left are the originals. The other choices of a
// run (Choices) apply to the rows that take them too.

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
#include "lists/Ordering.h"

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
  kSort,
  kReverse,
};

// What a row does with the items of the list.
enum class Kind : std::uint8_t {
  kRemoves,   // removes the items that `mark` marks; the others keep order
  kReorders,  // keeps every item, in the order `order` gives
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
  // For the rows that reorder, which need every item too: how they run over
  // a list held in runs, each a stretch of the list that fits in memory.
  kMergedRuns,     // each run in its order, then the runs merged by key
  kRunsBackwards,  // the runs last first, each in its order
};

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
  // For a row that takes keep_last: the last item of each key stays
  // instead of the first.
  bool keep_last = false;
  // For a row that takes a pattern: STRING as this pattern, which is looked
  // for in each item's key; null to look for STRING's key in it.
  const Pattern* pattern = nullptr;
  // For a row that takes them: the greater key first (equal keys still
  // keep their order), and keys read as runs of digits and of other bytes
  // (CompareNatural in Ordering.h).
  bool descending = false;
  bool natural = false;
};

// The choices of a run that a row takes, beyond those that every row takes
// (where the items come from and go, how they are split and ended).
struct Takes {
  bool keys = false;        // Choices::keys: it compares items
  bool pattern = false;     // Choices::pattern
  bool keep_last = false;   // Choices::keep_last
  bool count = false;       // each item that stays with its number of copies
  bool descending = false;  // Choices::descending
  bool natural = false;     // Choices::natural
};

struct Operation {
  Op id;
  std::string_view name;     // the command-line tool's word for it
  std::string_view summary;  // one line of help
  Kind kind = Kind::kRemoves;
  Argument argument = Argument::kNone;
  Stream stream = Stream::kCopy;
  Takes takes = {};
  // For an operation that takes STRING: true when it removes the items that
  // contain STRING, false when it removes those that do not.
  bool removes_found = false;
  // Kind::kRemoves: sets marks[i] to 1 for each item of `list` that the
  // operation removes, 0 for the others; `search` is STRING and `other`
  // OTHER (empty when not taken). Null for the other kind.
  void (*mark)(const ItemList& list, std::string_view search,
               const ItemList& other, std::span<std::uint8_t> marks) = nullptr;
  // Kind::kRemoves: the operation in place, comparing exactly (the window's
  // buttons). Null for the other kind.
  void (*run)(ItemList& list, std::string_view search,
              const ItemList& other) = nullptr;
  // Kind::kReorders: the new order of the items of `keys` (the items' keys,
  // or the items themselves when compared exactly) under `choices`, as
  // ItemList::Reorder takes it. Null for the other kind.
  std::vector<ItemList::Index> (*order)(const ItemList& keys,
                                        const Choices& choices) = nullptr;
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
     .takes = {.keys = true, .keep_last = true, .count = true},
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
     .takes = {.keys = true},
     .mark = [](const ItemList& list, std::string_view, const ItemList&,
                std::span<std::uint8_t> marks) { MarkAllDupes(list, marks); },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { RemoveAllDupes(list); }},
    {.id = Op::kKeepDupes,
     .name = "keep-dupes",
     .summary = "Keep the first copy of each text that occurs more than once",
     .stream = Stream::kWhole,
     .takes = {.keys = true, .count = true},
     .mark = [](const ItemList& list, std::string_view, const ItemList&,
                std::span<std::uint8_t> marks) { MarkKeepDupes(list, marks); },
     .run = [](ItemList& list, std::string_view,
               const ItemList&) { KeepDupes(list); }},
    {.id = Op::kRemoveWith,
     .name = "remove-with",
     .summary = "Remove the items that contain STRING",
     .argument = Argument::kString,
     .stream = Stream::kPerItem,
     .takes = {.keys = true, .pattern = true},
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
     .takes = {.keys = true, .pattern = true},
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
     .takes = {.keys = true},
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
     .takes = {.keys = true},
     .mark =
         [](const ItemList& list, std::string_view, const ItemList& other,
            std::span<std::uint8_t> marks) {
           MarkKeepOnlyMatches(list, other, marks);
         },
     .run = [](ItemList& list, std::string_view,
               const ItemList& other) { KeepOnlyMatches(list, other); }},
    {.id = Op::kSort,
     .name = "sort",
     .summary = "Sort the items by their bytes; equal ones keep their order",
     .kind = Kind::kReorders,
     .stream = Stream::kMergedRuns,
     .takes = {.keys = true, .descending = true, .natural = true},
     .order =
         [](const ItemList& keys, const Choices& choices) {
           return SortOrder(keys, {.descending = choices.descending,
                                   .natural = choices.natural});
         }},
    {.id = Op::kReverse,
     .name = "reverse",
     .summary = "Put the items in reverse order, the last first",
     .kind = Kind::kReorders,
     .stream = Stream::kRunsBackwards,
     .order = [](const ItemList& keys,
                 const Choices&) { return ReversedOrder(keys.ListCount()); }},
};

// A row out of place does not compile.
constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < std::size(kOperations); ++i) {
    if (static_cast<std::size_t>(kOperations[i].id) != i) return false;
  }
  return true;
}
static_assert(RowsInOrder());

// A row has the functions of its kind and no others, and takes only the
// choices that can mean something to it.
constexpr bool RowIsWhole(const Operation& op) {
  const bool removes = op.kind == Kind::kRemoves;
  if ((op.mark != nullptr) != removes || (op.run != nullptr) != removes ||
      (op.order != nullptr) == removes) {
    return false;
  }
  const bool in_runs =
      op.stream == Stream::kMergedRuns || op.stream == Stream::kRunsBackwards;
  if (removes == in_runs) return false;
  if (!removes && (op.argument != Argument::kNone || op.takes.count ||
                   op.takes.keep_last || op.takes.pattern)) {
    return false;
  }
  if (removes && (op.takes.descending || op.takes.natural)) return false;
  if (op.takes.pattern && op.argument != Argument::kString) return false;
  return !op.takes.keep_last || op.stream == Stream::kFirstCopies;
}
constexpr bool TableIsWhole() {
  return std::ranges::all_of(kOperations, RowIsWhole);
}
#ifndef KARVELLO_NO_CONSTEXPR_POINTER_CHECKS
static_assert(TableIsWhole());
#endif

constexpr const Operation& OperationOf(Op id) {
  return kOperations[static_cast<std::size_t>(id)];
}

// The row named `name`, or nullptr.
const Operation* FindOperation(std::string_view name);

// Sets marks[i] to 1 for each item of `list` that `op` under `choices`
// removes and to 0 for the others, comparing items by their keys: STRING's
// key must be contained in an item's key, and OTHER's items count by their
// keys too. `marks` holds one byte per item. Choices that `op` does not take
// change nothing. Throws std::invalid_argument for a row that does not
// remove (Kind::kReorders), which has nothing to mark.
void Mark(const Operation& op, const Choices& choices, const ItemList& list,
          std::string_view search, const ItemList& other,
          std::span<std::uint8_t> marks);

// The new order of the items of `list` that `op` (Kind::kReorders) gives
// under `choices`, comparing items by their keys; ready for
// ItemList::Reorder. Throws std::invalid_argument for a row that removes.
std::vector<ItemList::Index> Order(const Operation& op, const Choices& choices,
                                   const ItemList& list);

// Runs `op` on `list` under the choices it takes, as one change of the list
// (one step of its undo history): a row that removes removes the items that
// Mark marks, and the items that stay are the originals (of the first
// copies, the first or last item of each key); a row that reorders puts
// the items in the order that Order gives. When none of the choices that
// `op` takes differ from their defaults, this is op.run itself.
//
//   dedupe, ignore_case:             Anna, ANNA, Bo, anna   -->   Anna, Bo
//   dedupe, ignore_case, keep_last:  Anna, ANNA, Bo, anna   -->   Bo, anna
//   sort, ignore_case:               b, B, a, A             -->   a, A, b, B
//   reverse:                         b, B, a, A             -->   A, a, B, b
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
