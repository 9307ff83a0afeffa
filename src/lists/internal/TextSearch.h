// Containment search over every item of a list at once.

#ifndef KARVELLO_LISTS_INTERNAL_TEXTSEARCH_H_
#define KARVELLO_LISTS_INTERNAL_TEXTSEARCH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lists/ItemList.h"

namespace karvello::internal {

// The first position at or after `from` where `needle` (not empty) occurs in
// the `size` bytes at `text`, or std::string_view::npos.
std::size_t FindText(const char* text, std::size_t size, std::size_t from,
                     std::string_view needle) noexcept;

// Sets marks[i] to `with` for every item i of `list` that contains `needle`
// (not empty) and to `without` for every other item.
void MarkContaining(const ItemList& list, std::string_view needle,
                    std::uint8_t* marks, std::uint8_t with,
                    std::uint8_t without);

}  // namespace karvello::internal

#endif  // KARVELLO_LISTS_INTERNAL_TEXTSEARCH_H_
