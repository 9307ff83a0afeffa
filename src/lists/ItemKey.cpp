#include "lists/ItemKey.h"

#include <cstddef>
#include <cstdint>

#include "lists/Utf8.h"
#include "lists/internal/Normalization.h"

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
    const std::size_t n = DecodeUtf8(bytes + i, length - i, c);
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
    out.append(encoded, EncodeUtf8(SimpleFold(c), encoded));
    i += n;
  }
}

// The field of `text` that `rules` name (see KeyRules::field), in `scratch`
// when it cannot be a view of `text`.
std::string_view FieldOf(std::string_view text, const KeyRules& rules,
                         std::string& scratch) {
  constexpr auto npos = std::string_view::npos;
  std::size_t start = 0;
  for (std::uint32_t n = 1;; ++n) {
    // A quoted field closes at a quote that does not start a pair.
    std::size_t close = npos;
    bool pairs = false;
    if (start < text.size() && text[start] == '"') {
      for (std::size_t q = text.find('"', start + 1); q != npos;
           q = text.find('"', q + 2)) {
        if (q + 1 == text.size() || text[q + 1] != '"') {
          close = q;
          break;
        }
        pairs = true;
      }
    }
    std::size_t end =
        text.find(rules.delimiter, close == npos ? start : close + 1);
    if (end == npos) end = text.size();
    if (n == rules.field) {
      if (close == npos) return text.substr(start, end - start);
      if (!pairs && end == close + 1) {
        return text.substr(start + 1, close - start - 1);
      }
      scratch.clear();
      for (std::size_t i = start + 1; i < close; ++i) {
        scratch += text[i];
        if (text[i] == '"') ++i;  // the second quote of a pair
      }
      scratch.append(text.substr(close + 1, end - close - 1));
      return scratch;
    }
    if (end == text.size()) return {};
    start = end + 1;
  }
}

}  // namespace

void AppendKey(std::string_view text, const KeyRules& rules, std::string& out) {
  // Keys are made one item after another, so the stages' buffers are kept;
  // not on Windows, where a thread_local's destructor may run after MinGW
  // has released its storage (see ZeroedBlock.cpp).
#ifdef _WIN32
  std::string field, normal, folded;
#else
  thread_local std::string field, normal, folded;
#endif
  if (rules.field != 0) text = FieldOf(text, rules, field);
  if (rules.trim) text = Trimmed(text);
  if (!rules.normalize) {
    if (rules.ignore_case) {
      AppendFolded(text, out);
    } else {
      out.append(text);
    }
    return;
  }
  if (!rules.ignore_case) {
    internal::AppendNormalized(text, out);
    return;
  }
  normal.clear();
  internal::AppendNormalized(text, normal);
  folded.clear();
  AppendFolded(normal, folded);
  internal::AppendNormalized(folded, out);
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
