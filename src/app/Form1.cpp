#include "app/Form1.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOption>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "app/CenterFormModule.h"
#include "app/CursorFile.h"
#include "app/FilePaths.h"
#include "app/ListBoxAccessible.h"
#include "app/internal/UndoStepNames.h"
#include "listfiles/ListFiles.h"
#include "lists/Operations.h"

namespace karvello {
namespace internal {

// The unseen button that holds the focus at start, a class of its own so
// that assistive technology can be told about it from the moment it exists.
class FocusHolder final : public QPushButton {
  Q_OBJECT

 public:
  using QPushButton::QPushButton;
};

}  // namespace internal

namespace {

// Positions and sizes are laid out in twips, 15 to a device-independent
// pixel.
constexpr double kTwipsPerPixel = 15.0;
int Px(double twips) { return qRound(twips / kTwipsPerPixel); }
QRect PxRect(int left, int top, int width, int height) {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}

enum Container { kWindow, kFrame1, kFrame2 };

// The lists a command changes or reads.
enum Lists : int { kNoList = 0, kList1Only = 1, kList2Only = 2 };

// What a button runs: a row of the operation table, or one of the list's
// own commands, which the table has no row for (Op::kCat in `op`).
enum class Own : std::uint8_t { kNone, kLoad, kSave, kClear };
struct Runs {
  Op op;
  Own own;
};
constexpr Runs Row(Op op) { return {op, Own::kNone}; }
constexpr Runs kLoad{Op::kCat, Own::kLoad};
constexpr Runs kSave{Op::kCat, Own::kSave};
constexpr Runs kClear{Op::kCat, Own::kClear};

// One row per command button: its control, where it sits, where Tab visits
// it, what it runs and on which list. A press runs `runs` on list `list`;
// the lists in `changes` are the ones its undo step records.
struct ButtonEntry {
  int number;  // Check<number>
  Container container;
  const char* caption;
  int left, top, width, height;  // twips
  int tab_index;
  Runs runs;
  int list;  // 1 or 2
  Lists changes;
  Lists reads;
};

constexpr ButtonEntry kButtons[] = {
    // clang-format off
    // n  panel    caption                             left  top   width height tab runs                          list changes     reads
    {3,  kFrame1, "Load",                              120, 2400,  975, 375, 10, kLoad,                          1, kList1Only, kNoList},
    {20, kFrame1, "Save",                             1200, 2400,  975, 375,  4, kSave,                          1, kNoList,    kList1Only},
    {17, kFrame1, "Remove List 1 Items With...",       120, 2880, 3135, 375,  7, Row(Op::kRemoveWith),           1, kList1Only, kNoList},
    {16, kFrame1, "Remove List 1 Items Without...",    120, 3360, 3135, 375,  8, Row(Op::kRemoveWithout),        1, kList1Only, kNoList},
    {18, kFrame1, "Remove Blanks From List 1",         120, 3840, 3135, 375,  6, Row(Op::kRemoveBlanks),         1, kList1Only, kNoList},
    {19, kFrame1, "Subtract List 2 From List 1",       120, 4320, 3135, 375,  5, Row(Op::kSubtract),             1, kList1Only, kList2Only},
    {15, kFrame1, "Keep Only Matches in List 2",       120, 4800, 3135, 375,  9, Row(Op::kKeepMatches),          1, kList1Only, kList2Only},
    {4,  kFrame1, "Remove List 1 Dupes Except First",  120, 5280, 3135, 375,  3, Row(Op::kDedupe),               1, kList1Only, kNoList},
    {7,  kFrame1, "Remove All List 1 Dupes",           120, 5760, 3135, 375,  2, Row(Op::kRemoveAllDupes),       1, kList1Only, kNoList},
    {14, kFrame2, "Load",                              120, 2400,  975, 375, 16, kLoad,                          2, kList2Only, kNoList},
    {13, kFrame2, "Save",                             1200, 2400,  975, 375, 17, kSave,                          2, kNoList,    kList2Only},
    {2,  kFrame2, "Clear",                            2280, 2400,  975, 375, 24, kClear,                         2, kList2Only, kNoList},
    {10, kFrame2, "Remove List 2 Items With...",       120, 2880, 3135, 375, 20, Row(Op::kRemoveWith),           2, kList2Only, kNoList},
    {9,  kFrame2, "Remove List 2 Items Without...",    120, 3360, 3135, 375, 21, Row(Op::kRemoveWithout),        2, kList2Only, kNoList},
    {11, kFrame2, "Remove Blanks From List 2",         120, 3840, 3135, 375, 19, Row(Op::kRemoveBlanks),         2, kList2Only, kNoList},
    {12, kFrame2, "Subtract List 1 From List 2",       120, 4320, 3135, 375, 18, Row(Op::kSubtract),             2, kList2Only, kList1Only},
    {8,  kFrame2, "Keep Only Matches in List 1",       120, 4800, 3135, 375, 22, Row(Op::kKeepMatches),          2, kList2Only, kList1Only},
    {5,  kFrame2, "Remove List 2 Dupes Except First",  120, 5280, 3135, 375, 14, Row(Op::kDedupe),               2, kList2Only, kNoList},
    {6,  kFrame2, "Remove All List 2 Dupes",           120, 5760, 3135, 375, 13, Row(Op::kRemoveAllDupes),       2, kList2Only, kNoList},
    // Clear of List 1 belongs to the window and lies in front of Frame1.
    {1,  kWindow, "Clear",                            2400, 2400,  975, 375, 23, kClear,                         1, kList1Only, kNoList},
    // clang-format on
};

// The other controls' tab indices; the frames (1 and 12) never take the
// focus.
constexpr int kCommand1TabIndex = 0;
constexpr int kList1TabIndex = 11;
constexpr int kList2TabIndex = 15;

// A half-made row does not compile: every button 1..20 once, tab indices
// unique, a command changes at most the list it runs on, and only a command
// on two lists reads the other one.
constexpr bool TableIsWhole() {
  bool number_seen[21] = {};
  bool tab_seen[25] = {};
  tab_seen[kCommand1TabIndex] = tab_seen[1] = tab_seen[12] = true;
  tab_seen[kList1TabIndex] = tab_seen[kList2TabIndex] = true;
  for (const ButtonEntry& b : kButtons) {
    if (b.number < 1 || b.number > 20 || number_seen[b.number]) return false;
    number_seen[b.number] = true;
    if (b.tab_index < 0 || b.tab_index > 24 || tab_seen[b.tab_index]) {
      return false;
    }
    tab_seen[b.tab_index] = true;
    if (b.list != 1 && b.list != 2) return false;
    const int own = b.list == 1 ? kList1Only : kList2Only;
    const bool saves = b.runs.own == Own::kSave;
    if (b.changes != (saves ? kNoList : own)) return false;
    if ((b.runs.own != Own::kNone) != (b.runs.op == Op::kCat)) return false;
    const bool two_lists = OperationOf(b.runs.op).argument == Argument::kOther;
    if (b.reads != (two_lists ? (3 - own) : saves ? own : kNoList)) {
      return false;
    }
    if ((b.container == kFrame1 && b.list != 1) ||
        (b.container == kFrame2 && b.list != 2)) {
      return false;
    }
  }
  return std::size(kButtons) == 20;
}
static_assert(TableIsWhole());

constexpr int kPointerArrow = 1;
constexpr int kPointerHand = 99;

constexpr std::uint32_t kFileDialogFlags = 0x280201;
constexpr char kLoadTitle[] =
    "Load List(s) - Hold Ctrl to select multiple list files";
constexpr char kLoadFilter[] = "All Files (*.*)|*.*|";
constexpr char kSaveTitle[] = "Save List";
constexpr char kSaveFilter[] =
    "All Files (*.*)|*.*|Text Files (*.txt)|*.txt|List Files (*.lst)|*.lst|";

QFont ArialFont(bool bold) {
  QFont font(QStringLiteral("Arial"));
  font.setPointSize(9);
  font.setBold(bold);
  return font;
}

void MakeWhite(QWidget& widget) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, Qt::white);
  palette.setColor(QPalette::Button, Qt::white);
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

// The frames' panels are drawn white like the rest of the window: some
// styles fill a group box's panel with a shade of their own.
class WhiteFrameStyle final : public QProxyStyle {
 public:
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                     QPainter* painter, const QWidget* widget) const override {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (element == PE_FrameGroupBox) {
      const int border = 2;
      painter->fillRect(option->rect.adjusted(border, border, -border, -border),
                        Qt::white);
    }
  }
};

// The list-file routines speak to the user through the window's dialogs.
class DialogListFileUi final : public ListFileUi {
 public:
  DialogListFileUi(Dialogs& dialogs, QWidget* parent)
      : dialogs_(dialogs), parent_(parent) {}
  bool AskYesNo(std::string_view question) override {
    return dialogs_.MsgBoxYesNo(parent_, std::string(question), kAppTitle);
  }
  void Error(const Status& status) override {
    dialogs_.MsgBox(parent_, status.Sentence(), kAppTitle);
  }

 private:
  Dialogs& dialogs_;
  QWidget* parent_;
};

// Assistive technology meets the window as a top-level window (a frame),
// which a screen reader needs to find the window that is active. Where the
// unseen focus holder is, it meets the window's name and what Tab does
// there, not a button that does nothing.
QAccessibleInterface* WindowAccessible(const QString&, QObject* object) {
  if (auto* form = qobject_cast<Form1*>(object)) {
    return new QAccessibleWidget(form, QAccessible::Window);
  }
  if (qobject_cast<internal::FocusHolder*>(object) == nullptr) return nullptr;
  return new QAccessibleWidget(static_cast<QWidget*>(object),
                               QAccessible::Client, QStringLiteral("Karvello"));
}

// How long a read or a command may take before the progress window shows,
// and how often the window looks whether it is done meanwhile.
constexpr std::chrono::milliseconds kProgressDelay(500);
constexpr int kLookMs = 5;

// The busy pointer over the whole program while it lives.
class BusyPointer {
 public:
  BusyPointer() { QGuiApplication::setOverrideCursor(Qt::BusyCursor); }
  ~BusyPointer() { QGuiApplication::restoreOverrideCursor(); }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;
};

// The history keeps 100 steps at most, in a quarter of the machine's
// memory, and never less than 64 MiB: enough for several steps on lists of
// millions of items, while a Clear of such a list hands the whole list to
// its step.
constexpr std::size_t kMaxUndoSteps = 100;
constexpr std::size_t kUndoBytesFloor = std::size_t{64} << 20;

std::size_t UndoBytes() {
#ifdef _WIN32
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return kUndoBytesFloor;
  const auto memory = static_cast<std::size_t>(status.ullTotalPhys);
#else
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return kUndoBytesFloor;
  const auto memory =
      static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
#endif
  return std::max(kUndoBytesFloor, memory / 4);
}

}  // namespace

// A command button: a push button to the user and to assistive technology,
// with the two states of the design inside. A press puts it down (Value 1);
// every change of Value runs the button's handler before SetValue returns.
class Form1::CommandButton final : public QPushButton {
 public:
  CommandButton(const QString& caption, QWidget* parent,
                std::function<void()> click)
      : QPushButton(caption, parent), click_(std::move(click)) {
    connect(this, &QPushButton::clicked, this, [this] { SetValue(1); });
  }
  int Value() const { return value_; }
  void SetValue(int value) {
    if (value == value_) return;
    value_ = value;
    click_();
  }

 private:
  std::function<void()> click_;
  int value_ = 0;
};

Form1::Form1(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      dialogs_(dialogs),
      common_dialog1_(dialogs, this),
      step_names_(std::make_unique<internal::UndoStepNames>()) {
  setObjectName(QStringLiteral("Form1"));
  history_.SetLimits(kMaxUndoSteps, UndoBytes());
  static const bool installed = [] {
    QAccessible::installFactory(WindowAccessible);
    return true;
  }();
  (void)installed;
  BuildControls();
  BuildActions();
  FormLoad();
}

Form1::~Form1() {
  // The work still under way reads the lists, which go with the window.
  for (const auto& reader : readers_) {
    while (!reader->WaitFor(std::chrono::hours(1))) {
    }
  }
}

void Form1::BuildControls() {
  MakeWhite(*this);
  frame_style_ = new WhiteFrameStyle;
  frame_style_->setParent(this);
  setMouseTracking(true);
  installEventFilter(this);
  // A fully transparent icon: the title bar shows no picture.
  QPixmap blank(32, 32);
  blank.fill(Qt::transparent);
  setWindowIcon(QIcon(blank));

  auto make_frame = [this](const char* name, const char* caption, int left) {
    auto* frame = new QGroupBox(QString::fromLatin1(caption), this);
    frame->setObjectName(QString::fromLatin1(name));
    frame->setGeometry(PxRect(left, 0, 3375, 6255));
    frame->setFont(ArialFont(true));
    frame->setFocusPolicy(Qt::NoFocus);
    MakeWhite(*frame);
    frame->setStyle(frame_style_);
    frame->setAcceptDrops(true);
    frame->setMouseTracking(true);
    frame->installEventFilter(this);
    return frame;
  };
  frame1_ = make_frame("Frame1", "List 1", 120);
  frame2_ = make_frame("Frame2", "List 2", 3600);

  list1_ = BuildList("List1", *frame1_);
  list2_ = BuildList("List2", *frame2_);

  BuildButtons();

  // Outside the client area: it only holds the focus at start.
  command1_ = new internal::FocusHolder(QStringLiteral("Command1"), this);
  command1_->setObjectName(QStringLiteral("Command1"));
  command1_->setGeometry(PxRect(-720, 0, 615, 495));
  command1_->setAccessibleDescription(
      QStringLiteral("Tab moves to the buttons and the lists."));

  SetTabOrder();
  command1_->setFocus();
}

ListBox* Form1::BuildList(const char* name, QGroupBox& frame) {
  auto* list = new ListBox(&frame);
  list->setObjectName(QString::fromLatin1(name));
  list->setGeometry(PxRect(120, 240, 3135, 2085));
  list->setFont(ArialFont(false));
  // The height is cut down to a whole number of rows, so no row shows
  // halfway at the bottom.
  const int border = 2 * list->frameWidth();
  const int rows = std::max(1, (list->height() - border) / list->RowHeight());
  list->resize(list->width(), rows * list->RowHeight() + border);
  list->setToolTip(QStringLiteral("Double click list item to remove it."));
  list->viewport()->setAcceptDrops(true);
  for (QWidget* w : {static_cast<QWidget*>(list), list->viewport()}) {
    w->setMouseTracking(true);
    // A move over the list is the list's alone: it must not reach the
    // frame behind it, which would set the arrow again.
    w->setAttribute(Qt::WA_NoMousePropagation);
    w->installEventFilter(this);
  }
  connect(list, &ListBox::DblClick, this,
          [this, list] { RemoveSelected(*list, false); });
  return list;
}

void Form1::BuildButtons() {
  for (std::size_t row = 0; row < std::size(kButtons); ++row) {
    const ButtonEntry& entry = kButtons[row];
    QWidget* container = this;
    if (entry.container == kFrame1) container = frame1_;
    if (entry.container == kFrame2) container = frame2_;
    const int n = entry.number;
    auto* button = new CommandButton(QString::fromLatin1(entry.caption),
                                     container, [this, n] { CheckClick(n); });
    button->setObjectName(QStringLiteral("Check%1").arg(n));
    button->setGeometry(
        PxRect(entry.left, entry.top, entry.width, entry.height));
    button->setFont(ArialFont(true));
    MakeWhite(*button);
    button->setMouseTracking(true);
    button->setAttribute(Qt::WA_NoMousePropagation);
    button->installEventFilter(this);
    check_[n] = button;
    entry_[n] = static_cast<int>(row);
  }
  // Clear of List 1 lies in front of Frame1, and takes the panel's drops as
  // the panel's other buttons do.
  check_[1]->raise();
  check_[1]->setAcceptDrops(true);
}

void Form1::SetTabOrder() {
  std::vector<std::pair<int, QWidget*>> tab_order = {
      {kCommand1TabIndex, command1_},
      {kList1TabIndex, list1_},
      {kList2TabIndex, list2_}};
  for (const ButtonEntry& entry : kButtons) {
    tab_order.emplace_back(entry.tab_index, check_[entry.number]);
  }
  std::sort(tab_order.begin(), tab_order.end());
  for (std::size_t k = 1; k < tab_order.size(); ++k) {
    QWidget::setTabOrder(tab_order[k - 1].second, tab_order[k].second);
  }
}

void Form1::FormLoad() {
  // The outer size follows the right-hand frame's right and bottom edges.
  const QRect frame2 = frame2_->geometry();
  const float width_twips =
      static_cast<float>(frame2.width() * kTwipsPerPixel) +
      static_cast<float>(frame2.x() * kTwipsPerPixel) + 200.0f;
  const float height_twips =
      static_cast<float>(frame2.height() * kTwipsPerPixel) +
      static_cast<float>(frame2.y() * kTwipsPerPixel) + 500.0f;
  outer_size_ = QSize(Px(width_twips), Px(height_twips));
  // Before the window is shown it has no frame, so the outer size is the
  // widget's size; FitOuterSize corrects for the frame once it exists.
  resize(outer_size_);
  CenterForm(*this);
  setWindowTitle(QStringLiteral("Karvello"));

  const QString cursor_path =
      QCoreApplication::applicationDirPath() + QStringLiteral("/HAND-M.CUR");
  if (FileExists(PathBytes(cursor_path))) {
    mouse_icon_ = LoadCursorFile(cursor_path);
  }
}

bool Form1::event(QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::WindowActivate) {
    // Back from a dialog, a screen reader is told where the focus is after
    // it has heard that the window is active again: Qt may have said so
    // before, or not at all when the focus stayed where it was.
    QMetaObject::invokeMethod(
        this,
        [this] {
          QWidget* focus = QApplication::focusWidget();
          if (isActiveWindow() && focus != nullptr && focus->window() == this) {
            NotifyFocusAgain(*focus);
          }
        },
        Qt::QueuedConnection);
  }
  // A window manager frames the window only after it is mapped, and says so
  // by moving or resizing it; the first time a frame shows, the size is
  // corrected so that the outer size is the one start-up chose.
  if (!fitted_ && (type == QEvent::Show || type == QEvent::Move ||
                   type == QEvent::Resize)) {
    QTimer::singleShot(0, this, &Form1::FitOuterSize);
  }
  return QWidget::event(event);
}

void Form1::FitOuterSize() {
  if (fitted_ || !isVisible()) return;
  const QSize frame = frameGeometry().size() - size();
  if (frame.isNull()) return;
  fitted_ = true;
  resize(outer_size_ - frame);
  CenterForm(*this);
}

void Form1::SetMousePointer(int value) {
  mouse_pointer_ = value;
  if (value == kPointerArrow) {
    setCursor(Qt::ArrowCursor);
  } else if (value == kPointerHand) {
    setCursor(mouse_icon_ ? *mouse_icon_ : QCursor(Qt::PointingHandCursor));
  } else {
    unsetCursor();
  }
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::DragEnter || type == QEvent::DragMove ||
      type == QEvent::Drop) {
    if (ListBox* list = ListFor(watched)) {
      if (HandleDrop(*list, event)) return true;
    }
  }
  if (type == QEvent::MouseMove) {
    if (watched == this || watched == frame1_ || watched == frame2_) {
      SetMousePointer(kPointerArrow);
    } else {
      SetMousePointer(kPointerHand);
    }
  }
  return QWidget::eventFilter(watched, event);
}

ListBox* Form1::ListFor(QObject* watched) const {
  // Clear of List 1 belongs to the window but sits in List 1's panel.
  if (watched == check_[1]) return list1_;
  for (ListBox* list : {list1_, list2_}) {
    if (watched == list || watched == list->viewport() ||
        watched == list->parentWidget()) {
      return list;
    }
  }
  return nullptr;
}

void Form1::CheckClick(int n) {
  CommandButton* button = check_[n];
  // A change to up, including the one just below, runs nothing.
  if (button->Value() != 1) return;
  button->SetValue(0);
  const int row = entry_[n];
  const ButtonEntry& entry = kButtons[row];
  ListBox& list = entry.list == 1 ? *list1_ : *list2_;
  ListBox& other = entry.list == 1 ? *list2_ : *list1_;
  const QString what = QStringLiteral("\"%1\"").arg(button->text());
  auto run = [this, row, &list, &other] { RunOwnCommand(row, list, other); };
  if (entry.changes == kNoList) {
    Guarded(what, run);
  } else {
    Change(entry.changes == kList1Only ? *list1_ : *list2_, button->text(),
           what, run);
  }
}

void Form1::Guarded(const QString& what, const std::function<void()>& handler) {
  QString reason;
  try {
    handler();
    return;
  } catch (const std::bad_alloc&) {
    reason = QStringLiteral("not enough memory");
  } catch (const std::exception& e) {
    reason = QString::fromLocal8Bit(e.what());
  } catch (...) {
    reason = QStringLiteral("unknown error");
  }
  // A command stopped halfway leaves its list as far as it got.
  list1_->ItemsChanged();
  list2_->ItemsChanged();
  dialogs_.MsgBox(
      this, QStringLiteral("%1 failed: %2.").arg(what, reason).toStdString(),
      kAppTitle);
}

void Form1::RunOwnCommand(int row, ListBox& list, ListBox& other) {
  const ButtonEntry& entry = kButtons[row];
  switch (entry.runs.own) {
    case Own::kLoad:
      LoadPress(list);
      return;
    case Own::kSave:
      SavePress(list);
      return;
    case Own::kClear:
      list.Items().Clear();
      list.ItemsChanged();
      return;
    case Own::kNone:
      break;
  }
  ListCommand command;
  command.op = entry.runs.op;
  if (OperationOf(command.op).argument == Argument::kString) {
    command.search = dialogs_.InputBox(this, "Enter string: ", kAppTitle);
    // Cancel and an empty answer are the same: nothing to do.
    if (command.search.empty()) return;
  }
  PlanAndCarry(list, other, command, QString::fromLatin1(entry.caption));
}

std::shared_ptr<BackgroundWork> Form1::StartReading(
    std::function<void()> work) {
  std::erase_if(readers_, [](const auto& r) { return r->Finished(); });
  readers_.push_back(BackgroundWork::Start(std::move(work)));
  return readers_.back();
}

void Form1::PlanAndCarry(ListBox& list, ListBox& other,
                         const ListCommand& command, const QString& what) {
  auto change = std::make_shared<ItemList::Change>();
  const std::shared_ptr<BackgroundWork> work =
      StartReading([change, command, &list, &other] {
        ListPlan plan = Plan(command, list.Items(), other.Items());
        *change = Prepare(plan, list.Items());
      });
  if (!Await(work, what)) return;
  Take(list, std::move(*change));
}

void Form1::Run(ListBox& list, const ListCommand& command,
                const QString& name) {
  ListBox& other = &list == list1_ ? *list2_ : *list1_;
  Change(list, name, name, [&] { PlanAndCarry(list, other, command, name); });
}

void Form1::Carry(ListBox& list, const std::shared_ptr<BackgroundWork>& work,
                  const std::shared_ptr<ListPlan>& plan, const QString& name) {
  Change(list, name, name, [&] {
    // The change waited for every reader, this one too, unless cancelled.
    if (!work->Finished() || work->Cancelled()) return;
    work->Rethrow();
    auto change = std::make_shared<ItemList::Change>();
    const std::shared_ptr<BackgroundWork> prepare = StartReading(
        [change, plan, &list] { *change = Prepare(*plan, list.Items()); });
    if (!Await(prepare, name)) return;
    Take(list, std::move(*change));
  });
}

void Form1::Take(ListBox& list, ItemList::Change&& change) {
  if (change.Empty()) return;
  list.Items().Take(std::move(change));
  changed_in_place_ = true;
  list.ItemsChanged();
  FreeElsewhere(std::move(change));
}

bool Form1::WaitAnswering(const std::function<bool()>& done) {
  if (done()) return true;
  // The window goes on painting and answering its window manager and
  // assistive technology; what the user types or clicks meanwhile waits
  // until the change has been made.
  QEventLoop loop;
  QTimer look;
  look.setInterval(kLookMs);
  connect(&look, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QTimer::singleShot(kProgressDelay, &loop, &QEventLoop::quit);
  look.start();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  return done();
}

bool Form1::Await(const std::shared_ptr<BackgroundWork>& work,
                  const QString& what) {
  const BusyPointer busy;
  if (WaitAnswering([&work] { return work->Finished(); }) ||
      dialogs_.ShowProgress(this, what.toStdString(),
                            [&work] { return work->Poll(); })) {
    work->Rethrow();
    return true;
  }
  work->Cancel();
  return false;
}

bool Form1::ListsFree(const QString& what) {
  auto running = [this] {
    std::erase_if(readers_, [](const auto& r) { return r->Finished(); });
    return !readers_.empty();
  };
  if (!running()) return true;
  const BusyPointer busy;
  if (WaitAnswering([&running] { return !running(); })) return true;
  if (dialogs_.ShowProgress(this, what.toStdString(), [&running] {
        return Progress{!running(), -1.0};
      })) {
    return true;
  }
  for (const auto& reader : readers_) reader->Cancel();
  return false;
}

std::vector<std::string> Form1::ChooseFiles(FileDialogRequest::Kind kind,
                                            const char* title,
                                            const char* filter) {
  common_dialog1_.SetFlags(kFileDialogFlags);
  common_dialog1_.SetDialogTitle(title);
  common_dialog1_.SetFilter(filter);
  if (kind == FileDialogRequest::Kind::kSave) {
    common_dialog1_.ShowSave();
  } else {
    common_dialog1_.ShowOpen();
  }
  return common_dialog1_.FileNames();
}

void Form1::LoadPress(ListBox& list) {
  const std::vector<std::string> paths =
      ChooseFiles(FileDialogRequest::Kind::kOpen, kLoadTitle, kLoadFilter);
  // Nothing chosen: nothing loaded, and the extent stays as it was.
  if (paths.empty()) return;
  LoadFiles(list, paths, false);
}

void Form1::SavePress(ListBox& list) {
  const std::vector<std::string> paths =
      ChooseFiles(FileDialogRequest::Kind::kSave, kSaveTitle, kSaveFilter);
  if (paths.empty()) return;
  DialogListFileUi ui(dialogs_, this);
  const QString what = "Saving " + QString::fromStdString(paths[0]);
  // Failures and a declined overwrite are reported (or not) by the routine.
  SaveListFile(
      list.Items(), paths[0], ui,
      [this, &what](const SaveWrite& write) { return WriteAway(write, what); });
}

int Form1::WriteAway(const SaveWrite& write, const QString& what) {
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  auto error = std::make_shared<int>(0);
  // `write` is only borrowed: this returns once the thread is done with it.
  const std::shared_ptr<BackgroundWork> work =
      StartReading([&write, cancel, error] { *error = write(*cancel); });
  if (Await(work, what)) return *error;
  *cancel = true;
  // A cancel is only a wish until the new file is complete, so the outcome
  // is waited for and told, saved or not.
  const BusyPointer busy;
  while (!WaitAnswering([&work] { return work->Finished(); })) {
  }
  work->Rethrow();
  return *error;
}

void Form1::LoadFiles(ListBox& list, const std::vector<std::string>& paths,
                      bool dropped) {
  std::vector<BackgroundRead::Source> sources;
  for (const std::string& path : paths) {
    sources.push_back(BackgroundRead::File(path));
  }
  const std::shared_ptr<BackgroundRead> read =
      ReadAway(std::move(sources), list,
               "Loading " + (paths.size() == 1
                                 ? paths[0]
                                 : std::to_string(paths.size()) + " files"));
  if (read == nullptr) return;
  std::vector<ItemList*> parts;
  for (BackgroundRead::Result& result : read->Results()) {
    if (result.outcome != BackgroundRead::Result::Outcome::kNotFound) {
      parts.push_back(&result.items);
    }
  }
  const std::optional<int> own_extent = AppendAway(
      list, read, std::move(parts),
      &list == list1_ ? "Loading into List 1" : "Loading into List 2");
  if (!own_extent) return;
  // The files in their order, each with its message. The extent of all the
  // items is the largest of their parts'.
  int extent = *own_extent;
  DialogListFileUi ui(dialogs_, this);
  for (std::size_t k = 0; k < paths.size(); ++k) {
    const BackgroundRead::Result& result = read->Results()[k];
    if (result.outcome == BackgroundRead::Result::Outcome::kNotFound) {
      ui.Error(Status::NotFound(dropped ? paths[k] : ""));
      continue;
    }
    extent = std::max(extent, result.extent);
    if (result.outcome == BackgroundRead::Result::Outcome::kFailed) {
      ui.Error(result.status);
    }
  }
  // Once, after the last file, also when none of them was found.
  list.SetHorizontalExtent(extent);
}

std::optional<int> Form1::AppendAway(ListBox& list,
                                     const std::shared_ptr<void>& owner,
                                     std::vector<ItemList*> parts,
                                     const QString& what) {
  ItemList& items = list.Items();
  const bool empty = items.ListCount() == 0;
  std::erase_if(parts, [](const ItemList* p) { return p->ListCount() == 0; });
  if (empty && items.RawStorage().arena_size == 0 && parts.size() <= 1) {
    // Taken whole: nothing to copy.
    if (!parts.empty()) AppendItems(items, std::move(*parts[0]));
    list.ItemsChanged();
    return 0;
  }
  auto longer = std::make_shared<ItemList>();
  auto extent = std::make_shared<int>(0);
  const std::shared_ptr<BackgroundWork> work =
      StartReading([owner, parts, longer, extent, empty, &items,
                    measure = ExtentMeasure(list)] {
        if (!empty) *extent = measure(items);
        if (!parts.empty()) *longer = WithAppended(items, parts);
      });
  if (!Await(work, what)) return std::nullopt;
  if (!parts.empty()) FreeElsewhere(TakeAppended(items, std::move(*longer)));
  list.ItemsChanged();
  return *extent;
}

std::shared_ptr<BackgroundRead> Form1::ReadAway(
    std::vector<BackgroundRead::Source> sources, const ListBox& list,
    const std::string& what) {
  const BusyPointer busy;
  std::shared_ptr<BackgroundRead> read =
      BackgroundRead::Start(std::move(sources), ExtentMeasure(list));
  // A read that ends soon shows nothing, as a Load always did. The progress
  // window says which list the read goes into.
  const std::string into =
      what + (&list == list1_ ? " into List 1" : " into List 2");
  if (WaitAnswering(
          [&read] { return read->WaitFor(std::chrono::milliseconds(0)); }) ||
      dialogs_.ShowProgress(this, into, [&read] { return read->Poll(); })) {
    return read;
  }
  read->Cancel();
  return nullptr;
}

}  // namespace karvello

#include "Form1.moc"
