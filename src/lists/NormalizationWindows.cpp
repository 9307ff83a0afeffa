#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "lists/internal/Normalization.h"
#include "lists/Utf8.h"

namespace karvello::internal {
namespace {

[[noreturn]] void Fail() {
  throw std::runtime_error("Unicode normalization failed: error " +
                           std::to_string(::GetLastError()));
}

// One stretch of well-formed UTF-8 through the system's UTF-16 NFC.
void AppendWellFormed(std::string_view text, std::string& out) {
  if (text.size() > INT_MAX / 4) {
    throw std::length_error("an item of 512 MiB or more cannot be normalized");
  }
  const int size = static_cast<int>(text.size());
  std::wstring wide(text.size(), L'\0');
  const int wide_size = ::MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), size);
  if (wide_size <= 0) Fail();
  // NFC can grow a text; the system says how much room it wants when a
  // guess is short.
  std::wstring nfc(static_cast<std::size_t>(wide_size) * 3 + 16, L'\0');
  int nfc_size = 0;
  for (;;) {
    nfc_size = ::NormalizeString(NormalizationC, wide.data(), wide_size,
                                 nfc.data(), static_cast<int>(nfc.size()));
    if (nfc_size > 0) break;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) Fail();
    nfc.resize(nfc.size() * 2);
  }
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, nfc.data(), nfc_size,
                                          nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) Fail();
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(bytes));
  ::WideCharToMultiByte(CP_UTF8, 0, nfc.data(), nfc_size, out.data() + at,
                        bytes, nullptr, nullptr);
}

}  // namespace

void AppendNormalized(std::string_view text, std::string& out) {
  // Below U+0300 every character is its own NFC form (see Normalization.cpp);
  // U+0300 starts with the byte 0xCC.
  if (std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0xCC;
      })) {
    out.append(text);
    return;
  }
  // An ill-formed byte composes with nothing, so the well-formed stretches
  // around it are normalized apart and the byte itself is kept, as ICU does.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t c;
    if (bytes[at] < 0x80) {
      ++at;
    } else if (const std::size_t n =
                   DecodeUtf8(bytes + at, text.size() - at, c);
               n != 0) {
      at += n;
    } else {
      if (at > start) AppendWellFormed(text.substr(start, at - start), out);
      out.push_back(text[at]);
      start = ++at;
    }
  }
  if (at > start) AppendWellFormed(text.substr(start, at - start), out);
}

}  // namespace karvello::internal
