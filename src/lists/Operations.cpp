#include "lists/Operations.h"

#include <vector>

namespace karvello {

const Operation* FindOperation(std::string_view name) {
  for (const Operation& op : kOperations) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

void Apply(const Operation& op, const KeyRules& rules, ItemList& list,
           std::string_view search, const ItemList& other) {
  if (rules.Exact() || !op.compares) {
    op.run(list, search, other);
    return;
  }
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(list.ListCount()));
  const ItemList other_keys =
      op.argument == Argument::kOther ? KeysOf(other, rules) : ItemList();
  op.mark(KeysOf(list, rules), KeyOf(search, rules), other_keys, marks);
  list.RemoveMarked(marks);
}

}  // namespace karvello
