// Comparison keys: what two items are compared by when case or surrounding
// blanks should not count.
//
// The list operations compare items byte for byte. To compare them by a
// looser rule, build the keys of a list with KeysOf, mark on the keys with
// the Mark... functions of Main.h, and remove the marked items from the
// original list: the items that stay are the originals, unchanged.
//
// Example (ignore_case and trim):
//   "  Straße", "STRASSE", "strasse\t", "ΣΑΣ", "σας"
//   have the keys
//   "straße", "strasse", "strasse", "σασ", "σασ"
// (simple case folding maps ß to itself, so "Straße" and "STRASSE" differ).

#ifndef KARVELLO_LISTS_ITEMKEY_H_
#define KARVELLO_LISTS_ITEMKEY_H_

#include <string>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

struct KeyRules {
  // Compare after Unicode simple case folding (the default, non-Turkic
  // mappings) of every well-formed UTF-8 sequence. Bytes that are not
  // well-formed UTF-8 stay as they are.
  bool ignore_case = false;
  // Compare without the blanks and tabs at either end.
  bool trim = false;

  // True when the key of every item is the item itself.
  bool Exact() const { return !ignore_case && !trim; }
};

// Appends the key of `text` under `rules` to `out`.
void AppendKey(std::string_view text, const KeyRules& rules, std::string& out);

// The key of `text` under `rules`.
std::string KeyOf(std::string_view text, const KeyRules& rules);

// A list of the keys of `list`'s items, item i's key at index i. Throws
// what ItemList::AddItem throws when memory runs out.
ItemList KeysOf(const ItemList& list, const KeyRules& rules);

}  // namespace karvello

#endif  // KARVELLO_LISTS_ITEMKEY_H_
