// A row of the operation table as the window runs it on one of its lists:
// the row, its STRING and the options of More Commands, which mean what the
// command-line tool's options of the same names mean. The twenty buttons run
// their rows with no options.
//
// A command is worked out (Plan) and prepared (Prepare) without changing the
// list, on any thread, and then taken by the list in one go on the window's
// thread, inside an undo step (Form1, ItemList::Take). Everything that grows
// with the list happens before the take: ten million items are worked out
// while the window goes on.
//
//   ListCommand command;                  // Op::kDedupe
//   command.keys.ignore_case = true;
//   ListPlan plan = Plan(command, list, other);   // Anna, ANNA, Bo
//   plan.Removed()                                // 1
//   ItemList::Change change = Prepare(plan, list);
//   list.Take(std::move(change));                 // Anna, Bo

#ifndef KARVELLO_APP_LISTCOMMAND_H_
#define KARVELLO_APP_LISTCOMMAND_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"
#include "lists/Operations.h"

namespace karvello {

struct ListCommand {
  Op op = Op::kDedupe;
  std::string search;  // STRING, for a row that takes it
  bool regex = false;  // STRING is an RE2 expression
  KeyRules keys;
  bool keep_last = false;
  bool descending = false;
  bool natural = false;

  // The parts that the row takes, the others left out: two commands that
  // do the same compare equal.
  ListCommand Effective() const;
  friend bool operator==(const ListCommand& a, const ListCommand& b) {
    return a.op == b.op && a.search == b.search && a.regex == b.regex &&
           a.keys.ignore_case == b.keys.ignore_case &&
           a.keys.trim == b.keys.trim && a.keys.normalize == b.keys.normalize &&
           a.keys.field == b.keys.field &&
           a.keys.delimiter == b.keys.delimiter && a.keep_last == b.keep_last &&
           a.descending == b.descending && a.natural == b.natural;
  }
};

// What a command does to a list: for a row that removes, one mark per item,
// 1 for an item that goes; for a row that reorders, the new order
// (ItemList::Reorder).
struct ListPlan {
  bool reorders = false;
  std::vector<std::uint8_t> marks;
  std::vector<ItemList::Index> order;

  std::uint64_t Removed() const;
};

// Why `command` cannot run, such as RE2's word on a bad expression; "" when
// it can. A row that takes STRING needs one that is not empty, as the
// buttons do.
std::string CannotRun(const ListCommand& command);

// Works out `command` on `list`, `other` being OTHER for a row that takes it.
// Only reads both. Throws std::invalid_argument when CannotRun says why, and
// std::bad_alloc when memory runs out.
ListPlan Plan(const ListCommand& command, const ItemList& list,
              const ItemList& other);

// The change that `plan` makes to `list`, the list it was worked out on,
// unchanged since, for ItemList::Take. Only reads the list; a reorder's
// order moves into the change. Throws std::bad_alloc when memory runs out.
ItemList::Change Prepare(ListPlan& plan, const ItemList& list);

// A copy of `list` with the items of `parts` after its own, made on any
// thread for TakeAppended. The storage is copied as it is, with the bytes of
// removed items that an undo history holds in it, each item at its offset.
ItemList WithAppended(const ItemList& list,
                      std::span<const ItemList* const> parts);

// `list` takes `longer`, made by WithAppended from it and unchanged since,
// as a move, on the window's thread: what the list held lies where it lay,
// so that its undo history sees an append. The selection stays. Returns the
// storage the list held, to be freed wherever that costs least.
[[nodiscard]] ItemList TakeAppended(ItemList& list, ItemList&& longer);

}  // namespace karvello

#endif  // KARVELLO_APP_LISTCOMMAND_H_
