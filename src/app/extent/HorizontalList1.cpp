#include "app/extent/HorizontalList1.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <vector>

#include "app/extent/ItemDisplayText.h"
#include "app/extent/internal/ExtentStats.h"
#include "app/extent/internal/WidthModel.h"
#include "lists/Parallel.h"

namespace karvello {

using internal::Fixed;
using internal::kAsciiIds;
using internal::kIds;
using internal::ToFixed;

namespace {

constexpr auto kMinItemsForThreads =
    static_cast<ItemList::Index>(kTwoThreadsFrom);

// How many modelled items are measured exactly to confirm the model.
constexpr ItemList::Index kSampleSize = 256;

// Runs `work(begin, end, part)` over the items in one or two parts, the
// second on its own thread, and rethrows what either part threw. The second
// part starts at a multiple of 64, so that the parts never share a word of a
// bitmap with one bit an item.
template <typename Work>
void ForParts(ItemList::Index count, int parts, Work work) {
  RunParts(parts, [&](int part) {
    const auto [begin, end] =
        PartRange(static_cast<std::size_t>(count), part, parts, 64);
    work(static_cast<ItemList::Index>(begin), static_cast<ItemList::Index>(end),
         part);
  });
}

int ToExtent(Fixed widest, int scroll_bar_width) {
  const Fixed pixels = widest <= 0 ? 0 : (widest + 63) / 64;
  const Fixed extent = pixels + scroll_bar_width;
  return extent > INT_MAX ? INT_MAX
                          : static_cast<int>(std::max<Fixed>(extent, 0));
}

// The widest of the items a pass has summed.
struct Widest {
  Fixed width = -1;
  ItemList::Index index = -1;
  void Keep(Fixed item_width, ItemList::Index i) {
    if (item_width > width) {
      width = item_width;
      index = i;
    }
  }
  void Keep(const Widest& other) { Keep(other.width, other.index); }
};

// One computation of the extent, in the order ComputeHorizontalExtent runs
// its passes: each pass sums what it can from the model and leaves the rest
// to the next, and the model is checked before its sums are trusted.
class ExtentPasses {
 public:
  ExtentPasses(const ItemList& list, const QFont& font)
      : list_(list),
        count_(list.ListCount()),
        parts_(count_ >= kMinItemsForThreads ? 2 : 1),
        metrics_(font),
        model_(font, metrics_),
        again_(static_cast<std::size_t>(count_ + 63) / 64, 0) {}

  // First the items the ASCII table sums. The others are marked for a
  // second look (a bitmap, as a list of indices costs more to grow), and
  // the characters they need are noted now, while their bytes are at hand.
  // A long list is most likely plain ASCII: measuring all its characters and
  // pairs at once costs less than a pass to find which occur (both in
  // BM_ComputeHorizontalExtent and ...Latin1 of bench/ListBoxBench.cpp).
  void SumAscii() {
    const bool ascii_added = count_ >= kMinItemsForThreads;
    if (ascii_added) {
      std::vector<int> ascii(kAsciiIds);
      for (int id = 0; id < kAsciiIds; ++id) ascii[id] = id;
      model_.Add(ascii);
    }
    std::vector<unsigned char> wanted[2] = {
        std::vector<unsigned char>(kIds, 0),
        std::vector<unsigned char>(kIds, 0)};
    ForParts(count_, parts_,
             [&](ItemList::Index begin, ItemList::Index end, int part) {
               for (ItemList::Index i = begin; i < end; ++i) {
                 const std::string_view item = list_.UncheckedItem(i);
                 Fixed width;
                 if (model_.AsciiWidth(item, &width)) {
                   ascii_[part].Keep(width, i);
                   continue;
                 }
                 again_[static_cast<std::size_t>(i) / 64] |= std::uint64_t{1}
                                                             << (i % 64);
                 model_.NoteWanted(item, ascii_added, wanted[part]);
               }
             });
    std::vector<int> ids;
    for (int id = 0; id < kIds; ++id) {
      if (wanted[0][id] != 0 || wanted[1][id] != 0) ids.push_back(id);
    }
    model_.Add(ids);
  }

  // Then the marked items with the whole model.
  void SumModelled() {
    ForParts(
        count_, parts_,
        [&](ItemList::Index begin, ItemList::Index end, int part) {
          for (auto word = static_cast<std::size_t>(begin) / 64;
               word * 64 < static_cast<std::size_t>(end); ++word) {
            for (std::uint64_t bits = again_[word]; bits != 0;
                 bits &= bits - 1) {
              const auto i = static_cast<ItemList::Index>(
                  word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
              Fixed width;
              if (model_.Width(list_.UncheckedItem(i), &width)) {
                modelled_[part].Keep(width, i);
              } else {
                unsummed_[part].push_back(i);
              }
            }
          }
        });
  }

  // Then the items with pairs the font shapes otherwise, in segments; what
  // is left is measured one by one at the end.
  void SumSegmented() {
    for (const std::vector<ItemList::Index>& part : unsummed_) {
      for (ItemList::Index i : part) {
        Fixed width;
        if (model_.SegmentedWidth(list_.UncheckedItem(i), &width)) {
          segmented_.Keep(width, i);
        } else {
          unmodelled_.push_back(i);
        }
      }
    }
  }

  // The model holds for fonts that kern in pairs. The widest modelled item
  // and a spread of others are measured exactly: one difference means this
  // font does something else (contextual forms), and only measuring every
  // item is then certain.
  bool ModelHolds() {
    if (!model_.Pairwise()) return false;
    widest_ = Widest();
    for (const Widest& pass :
         {ascii_[0], ascii_[1], modelled_[0], modelled_[1], segmented_}) {
      widest_.Keep(pass);
    }
    if (widest_.index < 0) return true;
    if (Measure(widest_.index) != widest_.width) return false;
    const ItemList::Index step =
        std::max<ItemList::Index>(1, count_ / kSampleSize);
    for (ItemList::Index i = 0; i < count_; i += step) {
      Fixed modelled;
      const std::string_view item = list_.UncheckedItem(i);
      if ((model_.AsciiWidth(item, &modelled) ||
           model_.Width(item, &modelled) ||
           model_.SegmentedWidth(item, &modelled)) &&
          Measure(i) != modelled) {
        return false;
      }
    }
    return true;
  }

  // The items no pass could sum.
  ItemList::Index Unmodelled() const {
    return static_cast<ItemList::Index>(unmodelled_.size());
  }

  // Once the model holds: the widest item, the unmodelled ones measured.
  Fixed WidestWidth() {
    Fixed widest = std::max<Fixed>(widest_.width, 0);
    for (ItemList::Index i : unmodelled_) widest = std::max(widest, Measure(i));
    return widest;
  }

 private:
  Fixed Measure(ItemList::Index i) const {
    return ToFixed(ItemTextWidth(metrics_, list_.UncheckedItem(i)));
  }

  const ItemList& list_;
  const ItemList::Index count_;
  const int parts_;
  const QFontMetricsF metrics_;
  internal::WidthModel model_;
  std::vector<std::uint64_t> again_;  // one bit an item: for SumModelled
  Widest ascii_[2];
  Widest modelled_[2];
  Widest segmented_;
  Widest widest_;
  std::vector<ItemList::Index> unsummed_[2];  // by SumModelled
  std::vector<ItemList::Index> unmodelled_;
};

}  // namespace

int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width) {
  internal::ExtentStats stats;
  return internal::ComputeHorizontalExtent(list, font, scroll_bar_width,
                                           &stats);
}

namespace internal {

int ComputeHorizontalExtentExhaustively(const ItemList& list, const QFont& font,
                                        int scroll_bar_width) {
  const ItemList::Index count = list.ListCount();
  if (count == 0) return 0;
  const QFontMetricsF metrics(font);
  Fixed widest = 0;
  for (ItemList::Index i = 0; i < count; ++i) {
    widest = std::max(widest,
                      ToFixed(ItemTextWidth(metrics, list.UncheckedItem(i))));
  }
  return ToExtent(widest, scroll_bar_width);
}

int ComputeHorizontalExtent(const ItemList& list, const QFont& font,
                            int scroll_bar_width, ExtentStats* stats) {
  *stats = ExtentStats();
  if (list.ListCount() == 0) return 0;
  ExtentPasses passes(list, font);
  passes.SumAscii();
  passes.SumModelled();
  passes.SumSegmented();
  if (!passes.ModelHolds()) {
    stats->measured_all = true;
    return ComputeHorizontalExtentExhaustively(list, font, scroll_bar_width);
  }
  stats->measured_items = passes.Unmodelled();
  return ToExtent(passes.WidestWidth(), scroll_bar_width);
}

}  // namespace internal
}  // namespace karvello
