// What karvello-cli does to the loaded list, apart from loading and writing.

#ifndef KARVELLO_CLI_OPERATIONS_H_
#define KARVELLO_CLI_OPERATIONS_H_

#include <string>
#include <string_view>

#include "lists/ItemKey.h"
#include "lists/ItemList.h"

namespace karvello {

// Runs the subcommand `command` ("dedupe", "subtract", ...) on `list`.
// `argument` is the STRING of remove-with and remove-without; `other` is the
// loaded OTHER of subtract and keep-matches. Items are compared by their
// keys under `rules` (for containment, the key of the item must contain the
// key of STRING), but the items that stay are the originals: for dedupe,
// the first copy of each key. With exact rules this is the list operation
// itself. "cat" and an unknown command leave the list as it is.
//
//   dedupe, ignore_case:   Anna, ANNA, Bo, anna   -->   Anna, Bo
void RunOperation(std::string_view command, std::string_view argument,
                  const KeyRules& rules, ItemList& list, const ItemList& other);

// Dedupe with counts: replaces `list` by the first copy of each key, each
// followed by a tab and the number of items with that key.
//
//   Anna, Bo, ANNA   (ignore_case)   -->   Anna<TAB>2, Bo<TAB>1
void DedupeWithCounts(const KeyRules& rules, ItemList& list);

// Sets `line` to what dedupe with counts writes for `item`, the first of
// `copies` items with its key: "Anna", 2 --> "Anna<TAB>2".
void CountedItem(std::string_view item, std::uint64_t copies,
                 std::string& line);

// The line that --stats writes, without its line end:
//   "karvello-cli: dedupe: 10 items read from 2 files, 3 removed, 7 written"
std::string StatsLine(std::string_view command, ItemList::Index read, int files,
                      ItemList::Index written);

}  // namespace karvello

#endif  // KARVELLO_CLI_OPERATIONS_H_
