#include "lists/ItemKey.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace karvello {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void AppendFolded(std::string_view text, std::string& out) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::uint8_t byte = bytes[i];
    // Most list items are ASCII, where simple folding only lowers A to Z;
    // this skips the decoder for them.
    if (byte < 0x80) {
      out += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte);
      ++i;
      continue;
    }
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      // Not well-formed: its bytes are their own key, so the item still
      // compares equal only to the same bytes.
      out.append(text.data() + start, static_cast<std::size_t>(i - start));
      continue;
    }
    const UChar32 folded = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    char encoded[U8_MAX_LENGTH];
    std::int32_t n = 0;
    U8_APPEND_UNSAFE(encoded, n, folded);
    out.append(encoded, static_cast<std::size_t>(n));
  }
}

}  // namespace

void AppendKey(std::string_view text, const KeyRules& rules, std::string& out) {
  if (rules.trim) text = Trimmed(text);
  if (rules.ignore_case) {
    AppendFolded(text, out);
  } else {
    out.append(text);
  }
}

std::string KeyOf(std::string_view text, const KeyRules& rules) {
  std::string key;
  AppendKey(text, rules, key);
  return key;
}

ItemList KeysOf(const ItemList& list, const KeyRules& rules) {
  ItemList keys;
  // Keys are never longer than their items, save for the few characters
  // whose folded form takes more UTF-8 bytes; the list grows past this if
  // it must.
  keys.Reserve(list.ListCount(), list.TextBytes());
  std::string key;
  for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
    key.clear();
    AppendKey(list.List(i), rules, key);
    keys.AddItem(key);
  }
  return keys;
}

}  // namespace karvello
