#include "lists/Operations.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "lists/CopyCounts.h"

namespace karvello {

namespace {

ItemList Reversed(const ItemList& list) {
  ItemList reversed;
  reversed.Reserve(list.ListCount(), list.TextBytes());
  for (ItemList::Index i = list.ListCount(); i-- > 0;) {
    reversed.AddItem(list.UncheckedItem(i));
  }
  return reversed;
}

// The last item of each text is the first of the list read backwards.
void MarkDupesExceptLast(const ItemList& list, std::span<std::uint8_t> marks) {
  MarkDupesExceptFirst(Reversed(list), marks);
  std::ranges::reverse(marks);
}

}  // namespace

const Operation* FindOperation(std::string_view name) {
  for (const Operation& op : kOperations) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

void MarkKeepDupes(const ItemList& list, std::span<std::uint8_t> marks) {
  const std::vector<std::uint64_t> copies = CountCopies(list);
  for (std::size_t i = 0; i < copies.size(); ++i) marks[i] = copies[i] < 2;
}

void KeepDupes(ItemList& list) {
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(list.ListCount()));
  MarkKeepDupes(list, marks);
  list.RemoveMarked(marks);
}

namespace {

// Whether `op` compares by keys other than the items themselves.
bool Keyed(const Operation& op, const Choices& choices) {
  return op.takes.keys && !choices.keys.Exact();
}

// Whether `op` runs as its own row: none of the choices it takes differ
// from their defaults.
bool Plain(const Operation& op, const Choices& choices) {
  return !Keyed(op, choices) && !(op.takes.keep_last && choices.keep_last) &&
         !(op.takes.pattern && choices.pattern != nullptr) &&
         !(op.takes.descending && choices.descending) &&
         !(op.takes.natural && choices.natural);
}

void Require(const Operation& op, Kind kind, const char* what) {
  if (op.kind != kind) {
    throw std::invalid_argument(std::string(what) + ": " +
                                std::string(op.name) + " is of another kind");
  }
}

}  // namespace

void Mark(const Operation& op, const Choices& choices, const ItemList& list,
          std::string_view search, const ItemList& other,
          std::span<std::uint8_t> marks) {
  Require(op, Kind::kRemoves, "Mark");
  const KeyRules& rules = choices.keys;
  const bool keyed = Keyed(op, choices);
  std::optional<ItemList> keys;
  if (keyed) keys = KeysOf(list, rules);
  const ItemList& items = keyed ? *keys : list;
  if (choices.pattern != nullptr && op.takes.pattern) {
    for (ItemList::Index i = 0; i < items.ListCount(); ++i) {
      marks[static_cast<std::size_t>(i)] =
          choices.pattern->FoundIn(items.UncheckedItem(i)) == op.removes_found;
    }
    return;
  }
  if (choices.keep_last && op.takes.keep_last) {
    MarkDupesExceptLast(items, marks);
    return;
  }
  if (!keyed) {
    op.mark(list, search, other, marks);
    return;
  }
  const KeyRules key_rules = rules.ForKeys();
  const ItemList other_keys =
      op.argument == Argument::kOther ? KeysOf(other, key_rules) : ItemList();
  op.mark(items, KeyOf(search, key_rules), other_keys, marks);
}

std::vector<ItemList::Index> Order(const Operation& op, const Choices& choices,
                                   const ItemList& list) {
  Require(op, Kind::kReorders, "Order");
  if (!Keyed(op, choices)) return op.order(list, choices);
  return op.order(KeysOf(list, choices.keys), choices);
}

void Apply(const Operation& op, const Choices& choices, ItemList& list,
           std::string_view search, const ItemList& other) {
  if (op.kind == Kind::kReorders) {
    list.Reorder(Order(op, choices, list));
    return;
  }
  if (Plain(op, choices)) {
    op.run(list, search, other);
    return;
  }
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(list.ListCount()));
  Mark(op, choices, list, search, other, marks);
  list.RemoveMarked(marks);
}

std::vector<std::uint64_t> CopiesOfKept(const Choices& choices,
                                        const ItemList& list) {
  const ItemList keys =
      choices.keys.Exact() ? ItemList() : KeysOf(list, choices.keys);
  const ItemList& items = choices.keys.Exact() ? list : keys;
  if (!choices.keep_last) return CountCopies(items);
  std::vector<std::uint64_t> copies = CountCopies(Reversed(items));
  std::ranges::reverse(copies);
  return copies;
}

}  // namespace karvello
