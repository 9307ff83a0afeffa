#include "lists/Main.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "lists/Parallel.h"
#include "lists/internal/Marking.h"
#include "lists/internal/TextSearch.h"
#include "lists/internal/ZeroedBlock.h"

namespace karvello {

namespace {

// One mark per item, all zero. A big list's marks come on large pages:
// faulting in ten megabytes of small pages costs more than marking them
// (RemoveBlanks/10000000 in bench/ListsBench.cpp).
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

// Each Mark... below sets every mark of its list, as the contract in Main.h
// says, and each Remove... runs it on fresh marks and removes what it marked.

void MarkCopies(const ItemList& list, std::uint8_t* marks,
                bool first_copies_too) {
  // A list of fewer than two items has no copies to remove; its marks are
  // already zero or there are none.
  if (list.ListCount() < 2) return;
  internal::MarkRepeats(list, marks, first_copies_too,
                        PartsFor(static_cast<std::uint64_t>(list.ListCount())));
}

void MarkByContent(const ItemList& list, std::string_view search, bool with,
                   std::uint8_t* marks) {
  if (search.empty() || list.ListCount() == 0) return;
  internal::MarkContaining(list, search, marks, with ? 1 : 0, with ? 0 : 1);
}

void MarkByPresence(const ItemList& target, const ItemList& other, bool present,
                    std::uint8_t* marks) {
  if (target.ListCount() == 0) return;
  internal::MarkMatches(target, other, marks, present,
                        PartsFor(static_cast<std::uint64_t>(
                            target.ListCount() + other.ListCount())));
}

void RemoveRepeats(ItemList& list, bool first_copies_too) {
  if (list.ListCount() < 2) return;
  Marks marks(list.ListCount());
  MarkCopies(list, marks.get(), first_copies_too);
  RemoveMarks(list, marks.get());
}

void RemoveByContent(ItemList& list, std::string_view search, bool with) {
  if (search.empty() || list.ListCount() == 0) return;
  Marks marks(list.ListCount());
  MarkByContent(list, search, with, marks.get());
  RemoveMarks(list, marks.get());
}

void RemoveByPresence(ItemList& target, const ItemList& other, bool present) {
  if (target.ListCount() == 0) return;
  Marks marks(target.ListCount());
  MarkByPresence(target, other, present, marks.get());
  RemoveMarks(target, marks.get());
}

// The public marking variants take marks that may hold anything.
std::uint8_t* Cleared(std::span<std::uint8_t> marks,
                      [[maybe_unused]] const ItemList& list) {
  assert(marks.size() == static_cast<std::size_t>(list.ListCount()));
  std::fill(marks.begin(), marks.end(), std::uint8_t{0});
  return marks.data();
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

void MarkDupesExceptFirst(const ItemList& list, std::span<std::uint8_t> marks) {
  MarkCopies(list, Cleared(marks, list), false);
}

void MarkAllDupes(const ItemList& list, std::span<std::uint8_t> marks) {
  MarkCopies(list, Cleared(marks, list), true);
}

void MarkItemsWith(const ItemList& list, std::string_view search,
                   std::span<std::uint8_t> marks) {
  MarkByContent(list, search, true, Cleared(marks, list));
}

void MarkItemsWithout(const ItemList& list, std::string_view search,
                      std::span<std::uint8_t> marks) {
  MarkByContent(list, search, false, Cleared(marks, list));
}

void MarkSubtract(const ItemList& target, const ItemList& other,
                  std::span<std::uint8_t> marks) {
  MarkByPresence(target, other, true, Cleared(marks, target));
}

void MarkKeepOnlyMatches(const ItemList& target, const ItemList& other,
                         std::span<std::uint8_t> marks) {
  MarkByPresence(target, other, false, Cleared(marks, target));
}

}  // namespace karvello
