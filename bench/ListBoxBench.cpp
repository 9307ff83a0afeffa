// Speed of the list box and of the horizontal extent on a list of ten
// million generated items of about 19 bytes: what a user waits for after a
// bulk operation, a double-click removal, a jump to the end, and a Load
// press's extent. The extent is also measured item by item on a sample, for
// the ratio of the two ways.
//
// Run headless: QT_QPA_PLATFORM=offscreen is set unless already given.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <map>
#include <memory>
#include <string>

#include "BenchData.h"
#include "app/ListBox.h"
#include "listfiles/HorizontalList1.h"
#include "lists/ItemList.h"

namespace karvello::bench {
namespace {

constexpr std::uint64_t kTenMillion = 10000000;
constexpr std::uint64_t kSample = 100000;

// One shown list box of ten million items, built once: building takes
// longer than everything measured here.
ListBox& Box() {
  static std::unique_ptr<ListBox> box;
  if (!box) {
    box = std::make_unique<ListBox>();
    box->setFont(QFont("Arial", 9));
    box->setGeometry(100, 100, 250, 400);
    box->Items() = BenchList(kTenMillion, DefaultDistinct(kTenMillion));
    box->ItemsChanged();
    box->show();
    QApplication::processEvents();
  }
  return *box;
}

void BM_ComputeHorizontalExtent(benchmark::State& state) {
  const ItemList& items = Box().Items();
  const QFont font("Arial", 9);
  int extent = 0;
  for (auto _ : state) {
    extent = ComputeHorizontalExtent(items, font, 17);
    benchmark::DoNotOptimize(extent);
  }
  state.counters["items"] = static_cast<double>(items.ListCount());
  state.counters["extent"] = extent;
}
BENCHMARK(BM_ComputeHorizontalExtent)->Unit(benchmark::kMillisecond);

// The same list in a font that makes ligatures of ff, fi and fl: items
// holding those pairs (about 4%) are summed with measured segments.
void BM_ComputeHorizontalExtentLigatureFont(benchmark::State& state) {
  const ItemList& items = Box().Items();
  const QFont font("DejaVu Sans", 9);
  ExtentStats stats;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComputeHorizontalExtent(items, font, 17, &stats));
  }
  state.counters["measured_all"] = stats.measured_all;
  state.counters["measured_items"] = static_cast<double>(stats.measured_items);
}
BENCHMARK(BM_ComputeHorizontalExtentLigatureFont)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// A list of ten million items of which every third carries one letter
// `accent`, in place of a letter of the middle.
const ItemList& ListWithEveryThirdAccented(const char* accent) {
  static std::map<std::string, ItemList> lists;
  ItemList& list = lists[accent];
  if (list.ListCount() == 0) {
    const std::uint64_t n = kTenMillion;
    list.Reserve(static_cast<ItemList::Index>(n), n * 21);
    std::uint64_t k = 0;
    for (std::uint64_t number : BenchTextNumbers(n, DefaultDistinct(n))) {
      std::string text = BenchText(number);
      if (k++ % 3 == 0) text.replace(text.size() / 2, 1, accent);
      list.AddItem(text);
    }
  }
  return list;
}

// The same on items of which every third carries a Latin-1 letter (é),
// which the ASCII table leaves to the slower second look.
void BM_ComputeHorizontalExtentLatin1(benchmark::State& state) {
  const ItemList& items = ListWithEveryThirdAccented("\xC3\xA9");
  const QFont font("Arial", 9);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComputeHorizontalExtent(items, font, 17));
  }
}
BENCHMARK(BM_ComputeHorizontalExtentLatin1)->Unit(benchmark::kMillisecond);

// The same letter from an old 8-bit file (byte E9, Windows-1252).
void BM_ComputeHorizontalExtentWindows1252(benchmark::State& state) {
  const ItemList& items = ListWithEveryThirdAccented("\xE9");
  const QFont font("Arial", 9);
  ExtentStats stats;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComputeHorizontalExtent(items, font, 17, &stats));
  }
  state.counters["measured_items"] = static_cast<double>(stats.measured_items);
}
BENCHMARK(BM_ComputeHorizontalExtentWindows1252)->Unit(benchmark::kMillisecond);

// Measuring every item one by one, on the first kSample items; the
// ns_per_item counter times ten million is what the whole list would take.
void BM_ExtentItemByItemSample(benchmark::State& state) {
  ItemList sample;
  const ItemList& items = Box().Items();
  for (ItemList::Index i = 0; i < static_cast<ItemList::Index>(kSample); ++i) {
    sample.AddItem(items.UncheckedItem(i));
  }
  const QFont font("Arial", 9);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ComputeHorizontalExtentExhaustively(sample, font, 17));
  }
  state.counters["ns_per_item"] =
      benchmark::Counter(static_cast<double>(kSample) / 1e9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExtentItemByItemSample)->Unit(benchmark::kMillisecond);

// What follows every bulk operation: the new scroll range and a full
// repaint of the box.
void BM_ItemsChangedAndRepaint(benchmark::State& state) {
  ListBox& box = Box();
  for (auto _ : state) {
    box.ItemsChanged();
    box.viewport()->repaint();
  }
}
BENCHMARK(BM_ItemsChangedAndRepaint)->Unit(benchmark::kMillisecond);

// A double-click on the middle visible row of a list scrolled to its middle:
// the event, the removal the window makes on DblClick, and the repaint.
void BM_DoubleClickRemoval(benchmark::State& state) {
  ListBox& box = Box();
  const QMetaObject::Connection connection =
      QObject::connect(&box, &ListBox::DblClick, [&box] {
        box.Items().RemoveItem(box.Items().ListIndex());
        box.ItemsChanged();
      });
  box.SetTopIndex(box.Items().ListCount() / 2);
  const QRect row = box.ItemRect(box.TopIndex() + 5);
  const QPointF at = row.center();
  for (auto _ : state) {
    QMouseEvent press(QEvent::MouseButtonPress, at,
                      box.viewport()->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent twice(QEvent::MouseButtonDblClick, at,
                      box.viewport()->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box.viewport(), &press);
    QApplication::sendEvent(box.viewport(), &twice);
    box.viewport()->repaint();
  }
  QObject::disconnect(connection);
  state.counters["items_left"] = static_cast<double>(box.Items().ListCount());
}
BENCHMARK(BM_DoubleClickRemoval)->Unit(benchmark::kMillisecond);

// The End key, then Home: selection moves, the view jumps, and repaints.
void BM_EndThenHomeKeys(benchmark::State& state) {
  ListBox& box = Box();
  box.setFocus();
  for (auto _ : state) {
    for (Qt::Key key : {Qt::Key_End, Qt::Key_Home}) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(&box, &press);
      box.viewport()->repaint();
    }
  }
}
BENCHMARK(BM_EndThenHomeKeys)->Unit(benchmark::kMillisecond);

// Dragging the scroll bar to the end and back.
void BM_ScrollToEndAndBack(benchmark::State& state) {
  ListBox& box = Box();
  QScrollBar& bar = *box.verticalScrollBar();
  for (auto _ : state) {
    bar.setValue(bar.maximum());
    box.viewport()->repaint();
    bar.setValue(0);
    box.viewport()->repaint();
  }
}
BENCHMARK(BM_ScrollToEndAndBack)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
