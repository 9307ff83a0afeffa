#include "lists/Main.h"

// Placeholder bodies; the real operations replace these.
namespace karvello {
void RemoveDupesExceptFirst(ItemList&) {}
void RemoveAllDupes(ItemList&) {}
void RemoveItemsWith(ItemList&, std::string_view) {}
void RemoveItemsWithout(ItemList&, std::string_view) {}
void RemoveBlanks(ItemList&) {}
void SubtractList(ItemList&, const ItemList&) {}
void KeepOnlyMatches(ItemList&, const ItemList&) {}
}  // namespace karvello
