#include "lists/Operations.h"

#include <optional>

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

void Mark(const Operation& op, const Choices& choices, const ItemList& list,
          std::string_view search, const ItemList& other,
          std::span<std::uint8_t> marks) {
  const KeyRules& rules = choices.keys;
  const bool keyed = op.compares && !rules.Exact();
  std::optional<ItemList> keys;
  if (keyed) keys = KeysOf(list, rules);
  const ItemList& items = keyed ? *keys : list;
  if (choices.pattern != nullptr && op.argument == Argument::kString) {
    for (ItemList::Index i = 0; i < items.ListCount(); ++i) {
      marks[static_cast<std::size_t>(i)] =
          choices.pattern->FoundIn(items.UncheckedItem(i)) == op.removes_found;
    }
    return;
  }
  if (choices.keep_last && op.stream == Stream::kFirstCopies) {
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

void Apply(const Operation& op, const Choices& choices, ItemList& list,
           std::string_view search, const ItemList& other) {
  if (choices.Plain()) {
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
