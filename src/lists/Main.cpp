#include "lists/Main.h"

#include <cstdint>

#include "lists/internal/Marking.h"
#include "lists/internal/Parallel.h"
#include "lists/internal/TextSearch.h"
#include "lists/internal/ZeroedBlock.h"

namespace karvello {

namespace {

int PartsFor(ItemList::Index items) {
  return internal::PartsFor(static_cast<std::uint64_t>(items));
}

// One mark per item, all zero. A big list's marks come on large pages:
// faulting in ten megabytes of small pages costs more than marking them.
class Marks {
 public:
  explicit Marks(ItemList::Index count)
      : block_(static_cast<std::size_t>(count)) {}
  std::uint8_t* get() const noexcept {
    return static_cast<std::uint8_t*>(block_.data());
  }

 private:
  internal::ZeroedBlock block_;
};

void RemoveMarks(ItemList& list, const std::uint8_t* marks) {
  list.RemoveMarked(std::span<const std::uint8_t>(
      marks, static_cast<std::size_t>(list.ListCount())));
}

void RemoveRepeats(ItemList& list, bool first_copies_too) {
  // A list of fewer than two items has no copies to remove.
  if (list.ListCount() < 2) return;
  Marks marks(list.ListCount());
  internal::MarkRepeats(list, marks.get(), first_copies_too,
                        PartsFor(list.ListCount()));
  RemoveMarks(list, marks.get());
}

void RemoveByContent(ItemList& list, std::string_view search, bool with) {
  if (search.empty() || list.ListCount() == 0) return;
  Marks marks(list.ListCount());
  internal::MarkContaining(list, search, marks.get(), with ? 1 : 0,
                           with ? 0 : 1);
  RemoveMarks(list, marks.get());
}

void RemoveByPresence(ItemList& target, const ItemList& other, bool present) {
  if (target.ListCount() == 0) return;
  Marks marks(target.ListCount());
  internal::MarkMatches(target, other, marks.get(), present,
                        PartsFor(target.ListCount() + other.ListCount()));
  RemoveMarks(target, marks.get());
}

}  // namespace

void RemoveDupesExceptFirst(ItemList& list) { RemoveRepeats(list, false); }

void RemoveAllDupes(ItemList& list) { RemoveRepeats(list, true); }

void RemoveItemsWith(ItemList& list, std::string_view search) {
  RemoveByContent(list, search, true);
}

void RemoveItemsWithout(ItemList& list, std::string_view search) {
  RemoveByContent(list, search, false);
}

void RemoveBlanks(ItemList& list) {
  const ItemList::Storage items = list.RawStorage();
  std::size_t blanks = 0;
  for (std::size_t i = 0; i < items.count; ++i) {
    blanks += items.lengths[i] == 0 ? 1 : 0;
  }
  if (blanks == 0) return;
  Marks marks(list.ListCount());
  for (std::size_t i = 0; i < items.count; ++i) {
    marks.get()[i] = items.lengths[i] == 0 ? 1 : 0;
  }
  RemoveMarks(list, marks.get());
}

void SubtractList(ItemList& target, const ItemList& other) {
  RemoveByPresence(target, other, true);
}

void KeepOnlyMatches(ItemList& target, const ItemList& other) {
  RemoveByPresence(target, other, false);
}

}  // namespace karvello
