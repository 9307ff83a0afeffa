#include "app/ListCommand.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "pipeline/RegexPattern.h"

namespace karvello {

ListCommand ListCommand::Effective() const {
  const Operation& row = OperationOf(op);
  ListCommand effective;
  effective.op = op;
  if (row.argument == Argument::kString) effective.search = search;
  effective.regex = regex && row.takes.pattern;
  if (row.takes.keys) effective.keys = keys;
  if (effective.keys.field == 0) effective.keys.delimiter = '\t';
  effective.keep_last = keep_last && row.takes.keep_last;
  effective.descending = descending && row.takes.descending;
  effective.natural = natural && row.takes.natural;
  return effective;
}

std::uint64_t ListPlan::Removed() const {
  return static_cast<std::uint64_t>(std::ranges::count(marks, 1));
}

namespace {

// The expression compiled for `command`, or null for a plain STRING.
std::unique_ptr<RegexPattern> PatternOf(const ListCommand& command,
                                        std::string& error) {
  std::unique_ptr<RegexPattern> pattern;
  if (!command.regex) return pattern;
  const Status status =
      RegexPattern::Compile(command.search, command.keys, pattern);
  if (!status.ok()) error = status.Message();
  return pattern;
}

}  // namespace

std::string CannotRun(const ListCommand& command) {
  const ListCommand effective = command.Effective();
  if (OperationOf(effective.op).argument != Argument::kString) return "";
  if (effective.search.empty()) return "Enter a string.";
  std::string error;
  static_cast<void>(PatternOf(effective, error));
  return error;
}

ListPlan Plan(const ListCommand& command, const ItemList& list,
              const ItemList& other) {
  const ListCommand effective = command.Effective();
  std::string error = CannotRun(effective);
  if (!error.empty()) throw std::invalid_argument(error);
  const std::unique_ptr<RegexPattern> pattern = PatternOf(effective, error);
  const Choices choices{.keys = effective.keys,
                        .keep_last = effective.keep_last,
                        .pattern = pattern.get(),
                        .descending = effective.descending,
                        .natural = effective.natural};
  const Operation& row = OperationOf(effective.op);
  ListPlan plan;
  if (row.kind == Kind::kReorders) {
    plan.reorders = true;
    plan.order = Order(row, choices, list);
    return plan;
  }
  plan.marks.resize(static_cast<std::size_t>(list.ListCount()));
  Mark(row, choices, list, effective.search, other, plan.marks);
  return plan;
}

ItemList::Change Prepare(ListPlan& plan, const ItemList& list) {
  if (plan.reorders) return list.PrepareReorder(std::move(plan.order));
  return list.PrepareRemoveMarked(plan.marks);
}

ItemList WithAppended(const ItemList& list,
                      std::span<const ItemList* const> parts) {
  ItemList::Index count = list.ListCount();
  std::size_t bytes = list.RawStorage().arena_size;
  for (const ItemList* part : parts) {
    count += part->ListCount();
    bytes += part->TextBytes();
  }
  ItemList longer;
  // Room for everything first, so that the copy is the only one.
  longer.Reserve(count, bytes);
  longer = list;
  for (const ItemList* part : parts) {
    for (ItemList::Index i = 0; i < part->ListCount(); ++i) {
      longer.AddItem(part->UncheckedItem(i));
    }
  }
  return longer;
}

ItemList TakeAppended(ItemList& list, ItemList&& longer) {
  if (longer.ListCount() < list.ListCount()) {
    throw std::logic_error("TakeAppended: not made from this list");
  }
  const ItemList::Index selected = list.ListIndex();
  // The moves take the items, never the list's own undo hooks.
  ItemList held = std::move(list);
  list = std::move(longer);
  list.SetListIndex(selected);
  return held;
}

}  // namespace karvello
