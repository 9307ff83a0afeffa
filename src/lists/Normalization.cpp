#include "lists/internal/Normalization.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace karvello::internal {

void AppendNormalized(std::string_view text, std::string& out) {
  // Below U+0300 every character is in NFC and composes with nothing that
  // comes before it, so text of such characters (all of ASCII and Latin-1)
  // is its own NFC form. U+0300 starts with the byte 0xCC.
  if (std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0xCC;
      })) {
    out.append(text);
    return;
  }
  if (text.size() > INT32_MAX) {
    throw std::length_error("an item of 2 GiB or more cannot be normalized");
  }
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const nfc =
      icu::Normalizer2::getNFCInstance(status);
  if (nfc == nullptr) throw std::bad_alloc();
  // ICU copies ill-formed sequences through unchanged.
  icu::StringByteSink<std::string> sink(&out);
  status = U_ZERO_ERROR;
  nfc->normalizeUTF8(0, icu::StringPiece(text.data(), text.size()), sink,
                     nullptr, status);
  if (U_FAILURE(status)) throw std::bad_alloc();
}

}  // namespace karvello::internal
