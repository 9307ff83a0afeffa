#include "lists/ItemKey.h"

#include <cstddef>
#include <cstdint>

#include "lists/internal/Utf8.h"

namespace karvello {

namespace {

// kFoldLimit, kFoldBlock and kFoldDelta, generated from Unicode's
// CaseFolding.txt (GenerateCaseFolding.py).
#include "CaseFoldingTable.inc"

char32_t SimpleFold(char32_t c) {
  if (c >= kFoldLimit) return c;
  return c +
         static_cast<char32_t>(kFoldDelta[kFoldBlock[c / 128] * 128 + c % 128]);
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void AppendFolded(std::string_view text, std::string& out) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t length = text.size();
  std::size_t i = 0;
  while (i < length) {
    const std::uint8_t byte = bytes[i];
    // Most list items are ASCII, where simple folding only lowers A to Z;
    // this skips the decoder for them.
    if (byte < 0x80) {
      out += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte);
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t n = internal::DecodeUtf8(bytes + i, length - i, c);
    if (n == 0) {
      // Not well-formed: the byte is its own key, so the item still
      // compares equal only to the same bytes. A continuation byte never
      // starts a sequence, so what follows is decoded as if the whole
      // broken sequence had been passed over.
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    char encoded[4];
    out.append(encoded, internal::EncodeUtf8(SimpleFold(c), encoded));
    i += n;
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
