// Helpers that the core and list-file tests share: an item list from a
// vector of texts and back.

#ifndef KARVELLO_TESTS_SUPPORT_ITEMLISTS_H_
#define KARVELLO_TESTS_SUPPORT_ITEMLISTS_H_

#include <string>
#include <vector>

#include "lists/ItemList.h"

namespace karvello::testing {

// The texts of `list`, in order.
inline std::vector<std::string> ItemsOf(const ItemList& list) {
  std::vector<std::string> items;
  items.reserve(static_cast<std::size_t>(list.ListCount()));
  for (ItemList::Index i = 0; i < list.ListCount(); ++i) {
    items.emplace_back(list.List(i));
  }
  return items;
}

// A list holding `items`, in order.
inline ItemList ListOf(const std::vector<std::string>& items) {
  ItemList list;
  for (const std::string& item : items) list.AddItem(item);
  return list;
}

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_ITEMLISTS_H_
