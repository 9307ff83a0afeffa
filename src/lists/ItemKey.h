// Comparison keys: what two items are compared by when case, surrounding
// blanks, the Unicode form or all but one field should not count.
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
// Example (field 2, delimiter ','):
//   "Doe,jane@x.org,1", "\"Roe, R\",bo@y.org", "Bo"
//   have the keys
//   "jane@x.org", "bo@y.org", ""

#ifndef KARVELLO_LISTS_ITEMKEY_H_
#define KARVELLO_LISTS_ITEMKEY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello {

// A key is made in steps: the field is taken, then trimmed, normalized and
// folded, and, when both of the last two apply, normalized again, so that a
// fold that leaves a sequence which composes (T and U+0308 folded to t and
// U+0308) compares equal to the composed form (U+1E97).
struct KeyRules {
  // Compare after Unicode simple case folding (the default, non-Turkic
  // mappings) of every well-formed UTF-8 sequence. Bytes that are not
  // well-formed UTF-8 stay as they are.
  bool ignore_case = false;
  // Compare without the spaces (U+0020) and tabs at either end.
  bool trim = false;
  // Compare after Unicode normalization to NFC (canonical composition), so
  // that "é" as one code point equals "e" followed by U+0301. Bytes that
  // are not well-formed UTF-8 stay as they are.
  bool normalize = false;
  // Compare by the field-th field (1 for the first) of the item, its fields
  // split at `delimiter`; 0 compares the whole item. A field whose first
  // byte is a double quote and that has a closing one is quoted: its text
  // is what stands between the quotes, each pair of quotes in it read as
  // one, followed by whatever stands between the closing quote and the next
  // delimiter; a delimiter between the quotes belongs to the field. A quote
  // anywhere else is an ordinary byte. An item with fewer fields has the
  // empty key. `delimiter` is not a double quote.
  std::uint32_t field = 0;
  char delimiter = '\t';

  // True when the key of every item is the item itself.
  bool Exact() const {
    return field == 0 && !trim && !normalize && !ignore_case;
  }
  // The rules for a text that stands for a key already (STRING, or an item
  // of OTHER): the same, but the whole text counts.
  KeyRules ForKeys() const {
    KeyRules rules = *this;
    rules.field = 0;
    return rules;
  }
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
