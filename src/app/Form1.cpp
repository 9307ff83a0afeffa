#include "app/Form1.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "app/CenterFormModule.h"
#include "app/CommonDialog.h"
#include "app/CursorFile.h"
#include "listfiles/ListFiles.h"
#include "lists/Main.h"

namespace karvello {
namespace {

// Positions and sizes are laid out in twips, 15 to a device-independent
// pixel.
constexpr double kTwipsPerPixel = 15.0;
int Px(double twips) { return qRound(twips / kTwipsPerPixel); }
QRect PxRect(int left, int top, int width, int height) {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}

enum Container { kWindow, kFrame1, kFrame2 };

struct ButtonLayout {
  int number;  // Check<number>
  Container container;
  const char* caption;
  int left, top, width, height;
};

constexpr ButtonLayout kButtons[] = {
    {3, kFrame1, "Load", 120, 2400, 975, 375},
    {20, kFrame1, "Save", 1200, 2400, 975, 375},
    {17, kFrame1, "Remove List 1 Items With...", 120, 2880, 3135, 375},
    {16, kFrame1, "Remove List 1 Items Without...", 120, 3360, 3135, 375},
    {18, kFrame1, "Remove Blanks From List 1", 120, 3840, 3135, 375},
    {19, kFrame1, "Subtract List 2 From List 1", 120, 4320, 3135, 375},
    {15, kFrame1, "Keep Only Matches in List 2", 120, 4800, 3135, 375},
    {4, kFrame1, "Remove List 1 Dupes Except First", 120, 5280, 3135, 375},
    {7, kFrame1, "Remove All List 1 Dupes", 120, 5760, 3135, 375},
    {14, kFrame2, "Load", 120, 2400, 975, 375},
    {13, kFrame2, "Save", 1200, 2400, 975, 375},
    {2, kFrame2, "Clear", 2280, 2400, 975, 375},
    {10, kFrame2, "Remove List 2 Items With...", 120, 2880, 3135, 375},
    {9, kFrame2, "Remove List 2 Items Without...", 120, 3360, 3135, 375},
    {11, kFrame2, "Remove Blanks From List 2", 120, 3840, 3135, 375},
    {12, kFrame2, "Subtract List 1 From List 2", 120, 4320, 3135, 375},
    {8, kFrame2, "Keep Only Matches in List 1", 120, 4800, 3135, 375},
    {5, kFrame2, "Remove List 2 Dupes Except First", 120, 5280, 3135, 375},
    {6, kFrame2, "Remove All List 2 Dupes", 120, 5760, 3135, 375},
    // Clear of List 1 belongs to the window and lies in front of Frame1.
    {1, kWindow, "Clear", 2400, 2400, 975, 375},
};

// The controls in the order the Tab key visits them. The frames (tab indices
// 1 and 12) never take the focus and are left out.
enum : int { kCommand1 = 0, kList1 = -1, kList2 = -2 };
constexpr int kTabOrder[] = {kCommand1, 7,  4,      20, 19, 18,     17, 16,
                             15,        3,  kList1, 6,  5,  kList2, 14, 13,
                             12,        11, 10,     9,  8,  1,      2};

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

// The list-file routines speak to the user through the window's dialogs.
class DialogListFileUi final : public ListFileUi {
 public:
  DialogListFileUi(Dialogs& dialogs, QWidget* parent)
      : dialogs_(dialogs), parent_(parent) {}
  void Message(std::string_view text) override {
    dialogs_.MsgBox(parent_, std::string(text), kAppTitle);
  }
  bool AskYesNo(std::string_view question) override {
    return dialogs_.MsgBoxYesNo(parent_, std::string(question), kAppTitle);
  }
  void Error(std::string_view text) override {
    dialogs_.MsgBox(parent_, std::string(text), kAppTitle);
  }

 private:
  Dialogs& dialogs_;
  QWidget* parent_;
};

std::string JoinPath(const std::string& folder, const std::string& name) {
  constexpr char kSeparator = std::filesystem::path::preferred_separator;
  if (!folder.empty() && folder.back() == kSeparator) return folder + name;
  return folder + kSeparator + name;
}

}  // namespace

Form1::Form1(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), common_dialog1_(dialogs, this) {
  setObjectName(QStringLiteral("Form1"));
  BuildControls();
  FormLoad();
}

void Form1::BuildControls() {
  MakeWhite(*this);
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
    frame->setMouseTracking(true);
    frame->installEventFilter(this);
    return frame;
  };
  frame1_ = make_frame("Frame1", "List 1", 120);
  frame2_ = make_frame("Frame2", "List 2", 3600);

  auto make_list = [this](const char* name, QGroupBox* frame) {
    auto* list = new ListBox(frame);
    list->setObjectName(QString::fromLatin1(name));
    list->setGeometry(PxRect(120, 240, 3135, 2085));
    list->setFont(ArialFont(false));
    // The height is cut down to a whole number of rows, so no row shows
    // halfway at the bottom.
    const int border = 2 * list->frameWidth();
    const int rows = std::max(1, (list->height() - border) / list->RowHeight());
    list->resize(list->width(), rows * list->RowHeight() + border);
    list->setToolTip(QStringLiteral("Double click list item to remove it."));
    for (QWidget* w : {static_cast<QWidget*>(list), list->viewport()}) {
      w->setMouseTracking(true);
      // A move over the list is the list's alone: it must not reach the
      // frame behind it, which would set the arrow again.
      w->setAttribute(Qt::WA_NoMousePropagation);
      w->installEventFilter(this);
    }
    return list;
  };
  list1_ = make_list("List1", frame1_);
  list2_ = make_list("List2", frame2_);
  connect(list1_, &ListBox::DblClick, this, [this] { ListDblClick(*list1_); });
  connect(list2_, &ListBox::DblClick, this, [this] { ListDblClick(*list2_); });

  for (const ButtonLayout& button_layout : kButtons) {
    QWidget* container = this;
    if (button_layout.container == kFrame1) container = frame1_;
    if (button_layout.container == kFrame2) container = frame2_;
    auto* button =
        new QPushButton(QString::fromLatin1(button_layout.caption), container);
    button->setObjectName(QStringLiteral("Check%1").arg(button_layout.number));
    button->setCheckable(true);
    button->setGeometry(PxRect(button_layout.left, button_layout.top,
                               button_layout.width, button_layout.height));
    button->setFont(ArialFont(true));
    MakeWhite(*button);
    button->setMouseTracking(true);
    button->setAttribute(Qt::WA_NoMousePropagation);
    button->installEventFilter(this);
    const int n = button_layout.number;
    connect(button, &QPushButton::toggled, this, [this, n] { CheckClick(n); });
    check_[n] = button;
  }
  check_[1]->raise();

  // Outside the client area: it only holds the focus at start.
  command1_ = new QPushButton(QStringLiteral("Command1"), this);
  command1_->setObjectName(QStringLiteral("Command1"));
  command1_->setGeometry(PxRect(-720, 0, 615, 495));

  QWidget* previous = nullptr;
  for (int entry : kTabOrder) {
    QWidget* w = entry == kCommand1 ? command1_
                 : entry == kList1  ? static_cast<QWidget*>(list1_)
                 : entry == kList2  ? static_cast<QWidget*>(list2_)
                                    : check_[entry];
    if (previous != nullptr) QWidget::setTabOrder(previous, w);
    previous = w;
  }
  command1_->setFocus();
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
  if (FileExists(QFile::encodeName(cursor_path).toStdString())) {
    mouse_icon_ = LoadCursorFile(cursor_path);
  }
}

bool Form1::event(QEvent* event) {
  // A window manager frames the window only after it is mapped, and says so
  // by moving or resizing it; the first time a frame shows, the size is
  // corrected so that the outer size is the one start-up chose.
  const QEvent::Type type = event->type();
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
  if (event->type() == QEvent::MouseMove) {
    if (watched == this || watched == frame1_ || watched == frame2_) {
      SetMousePointer(kPointerArrow);
    } else {
      SetMousePointer(kPointerHand);
    }
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::CheckClick(int n) {
  QPushButton* button = check_[n];
  // A change to up, including the one just below, runs nothing.
  if (!button->isChecked()) return;
  button->setChecked(false);
  Guarded(QStringLiteral("\"%1\"").arg(button->text()),
          [this, n] { RunCommand(n); });
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

void Form1::RunCommand(int n) {
  ListBox& l1 = *list1_;
  ListBox& l2 = *list2_;
  auto edit = [](ListBox& list, auto&& operation) {
    operation(list.Items());
    list.ItemsChanged();
  };
  switch (n) {
    case 1:
      edit(l1, [](ItemList& l) { l.Clear(); });
      break;
    case 2:
      edit(l2, [](ItemList& l) { l.Clear(); });
      break;
    case 3:
      LoadPress(l1);
      break;
    case 14:
      LoadPress(l2);
      break;
    case 20:
      SavePress(l1);
      break;
    case 13:
      SavePress(l2);
      break;
    case 17:
      PromptAndRemove(l1, true);
      break;
    case 16:
      PromptAndRemove(l1, false);
      break;
    case 10:
      PromptAndRemove(l2, true);
      break;
    case 9:
      PromptAndRemove(l2, false);
      break;
    case 18:
      edit(l1, [](ItemList& l) { RemoveBlanks(l); });
      break;
    case 11:
      edit(l2, [](ItemList& l) { RemoveBlanks(l); });
      break;
    case 19:
      edit(l1, [&](ItemList& l) { SubtractList(l, l2.Items()); });
      break;
    case 12:
      edit(l2, [&](ItemList& l) { SubtractList(l, l1.Items()); });
      break;
    case 15:
      edit(l1, [&](ItemList& l) { KeepOnlyMatches(l, l2.Items()); });
      break;
    case 8:
      edit(l2, [&](ItemList& l) { KeepOnlyMatches(l, l1.Items()); });
      break;
    case 4:
      edit(l1, [](ItemList& l) { RemoveDupesExceptFirst(l); });
      break;
    case 5:
      edit(l2, [](ItemList& l) { RemoveDupesExceptFirst(l); });
      break;
    case 7:
      edit(l1, [](ItemList& l) { RemoveAllDupes(l); });
      break;
    case 6:
      edit(l2, [](ItemList& l) { RemoveAllDupes(l); });
      break;
    default:
      break;
  }
}

void Form1::PromptAndRemove(ListBox& list, bool with) {
  const std::string search =
      dialogs_.InputBox(this, "Enter string: ", kAppTitle);
  // Cancel and an empty answer are the same: nothing to do.
  if (search.empty()) return;
  if (with) {
    RemoveItemsWith(list.Items(), search);
  } else {
    RemoveItemsWithout(list.Items(), search);
  }
  list.ItemsChanged();
}

void Form1::LoadPress(ListBox& list) {
  common_dialog1_.SetFlags(kFileDialogFlags);
  common_dialog1_.SetDialogTitle(kLoadTitle);
  common_dialog1_.SetFilter(kLoadFilter);
  common_dialog1_.ShowOpen();
  const std::string chosen = common_dialog1_.FileName();
  if (chosen.empty()) return;
  DialogListFileUi ui(dialogs_, this);
  const std::vector<std::string> parts = SplitAtNul(chosen);
  if (parts.size() == 1) {
    LoadListFile(list.Items(), parts[0], ui);
    list.ItemsChanged();
  } else {
    for (std::size_t k = 1; k < parts.size(); ++k) {
      LoadListFile(list.Items(), JoinPath(parts[0], parts[k]), ui);
      list.ItemsChanged();
    }
  }
  // Once, after the last file, also when none of them was found.
  SetHorizontalExtent(*this, list);
}

void Form1::SavePress(ListBox& list) {
  common_dialog1_.SetFlags(kFileDialogFlags);
  common_dialog1_.SetDialogTitle(kSaveTitle);
  common_dialog1_.SetFilter(kSaveFilter);
  common_dialog1_.ShowSave();
  const std::string chosen = common_dialog1_.FileName();
  if (chosen.empty()) return;
  DialogListFileUi ui(dialogs_, this);
  // Failures and a declined overwrite are reported (or not) by the routine.
  SaveListFile(list.Items(), chosen, ui);
}

void Form1::ListDblClick(ListBox& list) {
  Guarded(QStringLiteral("Removing the double-clicked item"), [&list] {
    const ItemList::Index selected = list.Items().ListIndex();
    if (selected < 0) return;
    list.Items().RemoveItem(selected);
    list.ItemsChanged();
  });
}

}  // namespace karvello
