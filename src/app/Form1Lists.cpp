// What the window does with its lists besides the buttons: the undo history,
// the list menu and the shortcuts, the clipboard, drops, and the removal of
// one item.

#include <QAction>
#include <QClipboard>
#include <QDropEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "app/FilePaths.h"
#include "app/Form1.h"
#include "app/ListClipboard.h"
#include "app/MoreCommands.h"
#include "app/internal/UndoStepNames.h"

namespace karvello {
namespace {

ViewState ViewOf(ListBox& list) {
  return {list.TopIndex(), list.HorizontalExtent(),
          list.horizontalScrollBar()->value()};
}

// The keys of the window's commands, also shown in the list menu.
constexpr QKeyCombination kUndoKey = Qt::CTRL | Qt::Key_Z;
constexpr QKeyCombination kRedoKeys[] = {Qt::CTRL | Qt::SHIFT | Qt::Key_Z,
                                         Qt::CTRL | Qt::Key_Y};
constexpr QKeyCombination kCopyItemKey = Qt::CTRL | Qt::Key_C;
constexpr QKeyCombination kCopyListKey = Qt::CTRL | Qt::SHIFT | Qt::Key_C;
constexpr QKeyCombination kPasteKey = Qt::CTRL | Qt::Key_V;
constexpr QKeyCombination kMoreCommandsKey = Qt::CTRL | Qt::Key_K;

// "Remove All List 1 Dupes" names its list already; "Load" becomes
// "Load (List 1)", and "Keep Only Matches in List 2", which changes List 1,
// "Keep Only Matches in List 2 (List 1)".
QString StepName(const QString& what, int list) {
  const QString list_name = QStringLiteral("List %1").arg(list);
  return what.contains(list_name)
             ? what
             : QStringLiteral("%1 (%2)").arg(what, list_name);
}

// A menu entry with its shortcuts after a tab, where menus show them.
QString WithKeys(const QString& text,
                 std::initializer_list<QKeyCombination> keys) {
  QStringList shown;
  for (QKeyCombination key : keys) {
    shown << QKeySequence(key).toString(QKeySequence::NativeText);
  }
  return text + u'\t' + shown.join(QStringLiteral(", "));
}

// The paths of the local files among `urls`, as bytes: a name that is not
// UTF-8 (caf%E9.txt) has no QString that could carry it, so the path is
// taken from the URL's own percent-encoding. Web links are not files.
std::vector<std::string> LocalPaths(const QList<QUrl>& urls) {
  std::vector<std::string> paths;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
#ifdef _WIN32
    // Windows names are UTF-16, which a QString carries whole.
    paths.push_back(PathBytes(url.toLocalFile()));
#else
    paths.push_back(
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1())
            .toStdString());
#endif
  }
  return paths;
}

}  // namespace

void Form1::Change(ListBox& list, const QString& name, const QString& what,
                   const std::function<void()>& change) {
  if (changing_) return;
  changing_ = true;
  if (!ListsFree(name)) {
    changing_ = false;
    emit ListsChanged();
    return;
  }
  const int list_number = &list == list1_ ? 1 : 2;
  const ItemList::Index count_before = list.Items().ListCount();
  changed_in_place_ = false;
  history_.Open(list_number - 1, list.Items(), ViewOf(list));
  // What the change did before an error is a step too. A change that
  // removes or appends changed something when the count moved; one that
  // may keep the count says so.
  Guarded(what, change);
  history_.Close(ViewOf(list));
  step_names_->Closed(
      history_, changed_in_place_ || list.Items().ListCount() != count_before,
      StepName(name, list_number));
  changing_ = false;
  emit ListsChanged();
}

void Form1::Undo() { Replay(false); }
void Form1::Redo() { Replay(true); }

void Form1::Replay(bool redo) {
  if (changing_) return;
  changing_ = true;
  if (ListsFree(redo ? QStringLiteral("Redo") : QStringLiteral("Undo"))) {
    ReplayStep(redo);
  }
  changing_ = false;
  emit ListsChanged();
}

void Form1::ReplayStep(bool redo) {
  const QString what = redo ? QStringLiteral("Redo") : QStringLiteral("Undo");
  Guarded(what, [this, redo, &what] {
    // A reorder of millions of items is worked out off the window's thread
    // first; a Cancel there leaves everything as it was.
    auto prepared = std::make_shared<ItemList::Change>();
    const std::array<const ItemList*, 2> seen = {&list1_->Items(),
                                                 &list2_->Items()};
    const std::shared_ptr<BackgroundWork> work =
        StartReading([this, prepared, seen, redo] {
          *prepared = history_.PrepareReplay(seen, !redo);
        });
    if (!Await(work, what)) return;
    std::array<ItemList*, 2> lists = {&list1_->Items(), &list2_->Items()};
    const std::optional<UndoHistory::Replayed> replayed =
        redo ? history_.Redo(lists, std::move(*prepared))
             : history_.Undo(lists, std::move(*prepared));
    FreeElsewhere(std::move(*prepared));
    step_names_->Replayed(history_, redo, replayed.has_value());
    if (!replayed) return;
    ListBox& list = replayed->list_id == 0 ? *list1_ : *list2_;
    list.ItemsChanged();
    list.SetHorizontalExtent(replayed->view.horizontal_extent);
    list.SetTopIndex(replayed->view.top_index);
    list.horizontalScrollBar()->setValue(replayed->view.horizontal_offset);
  });
}

void Form1::BuildActions() {
  // Window shortcuts: they work wherever the focus is in the window.
  auto* undo = new QAction(QStringLiteral("Undo"), this);
  undo->setShortcut(kUndoKey);
  connect(undo, &QAction::triggered, this, &Form1::Undo);
  auto* redo = new QAction(QStringLiteral("Redo"), this);
  redo->setShortcuts({QKeySequence(kRedoKeys[0]), QKeySequence(kRedoKeys[1])});
  connect(redo, &QAction::triggered, this, &Form1::Redo);
  addActions({undo, redo});

  // The list's own commands act on the list that has the focus.
  for (ListBox* list : {list1_, list2_}) {
    const std::pair<QKeyCombination, std::function<void()>> commands[] = {
        {kCopyItemKey, [this, list] { CopyItem(*list); }},
        {kCopyListKey, [this, list] { CopyList(*list); }},
        {Qt::Key_Delete, [this, list] { RemoveSelected(*list, true); }},
        {kMoreCommandsKey, [this, list] { OpenMoreCommands(*list); }},
    };
    for (const auto& [key, run] : commands) {
      auto* action = new QAction(list);
      action->setShortcut(key);
      action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
      connect(action, &QAction::triggered, this, run);
      list->addAction(action);
    }
    connect(list, &ListBox::MenuRequested, this,
            [this, list](QPoint at) { ShowListMenu(*list, at); });
  }
  // Ctrl+V pastes into the list of the panel that has the focus, in the
  // list or on one of the panel's buttons. Clear of List 1 belongs to the
  // window but sits in List 1's panel.
  QWidget* const holders[] = {frame1_, frame2_,
                              findChild<QWidget*>(QStringLiteral("Check1"))};
  for (QWidget* holder : holders) {
    ListBox* list = ListFor(holder);
    auto* paste = new QAction(holder);
    paste->setShortcut(kPasteKey);
    paste->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(paste, &QAction::triggered, this, [this, list] { Paste(*list); });
    holder->addAction(paste);
  }
}

void Form1::ShowListMenu(ListBox& list, QPoint at) {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("ListMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const ItemList::Index count = list.Items().ListCount();
  // Enabled, so that the arrow keys reach it and a screen reader reads it;
  // choosing it does nothing.
  menu->addAction(
      count == 1 ? QStringLiteral("1 item")
                 : QStringLiteral("%1 items")
                       .arg(QLocale().toString(static_cast<qlonglong>(count))));
  menu->addSeparator();
  // The menu's own entries: the window's shortcuts stay as they are while
  // it shows, whatever it greys.
  auto add = [&](const QString& text, bool enabled, auto run) {
    menu->addAction(text, this, run)->setEnabled(enabled);
  };
  const QString undo = step_names_->UndoName();
  const QString redo = step_names_->RedoName();
  add(WithKeys(undo.isEmpty() ? QStringLiteral("Undo") : "Undo " + undo,
               {kUndoKey}),
      history_.CanUndo(), [this] { Undo(); });
  add(WithKeys(redo.isEmpty() ? QStringLiteral("Redo") : "Redo " + redo,
               {kRedoKeys[0], kRedoKeys[1]}),
      history_.CanRedo(), [this] { Redo(); });
  menu->addSeparator();
  add(WithKeys(QStringLiteral("Copy Item"), {kCopyItemKey}),
      list.Items().ListIndex() >= 0, [this, &list] { CopyItem(list); });
  add(WithKeys(QStringLiteral("Copy List"), {kCopyListKey}), count > 0,
      [this, &list] { CopyList(list); });
  add(WithKeys(QStringLiteral("Paste"), {kPasteKey}), true,
      [this, &list] { Paste(list); });
  menu->addSeparator();
  add(WithKeys(QStringLiteral("More Commands\u2026"), {kMoreCommandsKey}), true,
      [this, &list] { OpenMoreCommands(list); });
  menu->popup(at);
}

void Form1::OpenMoreCommands(ListBox& list) {
  const int number = &list == list1_ ? 1 : 2;
  MoreCommands*& dialog = more_commands_[number - 1];
  if (dialog == nullptr) dialog = new MoreCommands(*this, list, number);
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

void Form1::CopyItem(ListBox& list) {
  const ItemList& items = list.Items();
  if (items.ListIndex() < 0) return;
  const std::string_view item = items.List(items.ListIndex());
  QGuiApplication::clipboard()->setMimeData(NewListMimeData(
      QByteArray(item.data(), static_cast<qsizetype>(item.size()))));
}

void Form1::CopyList(ListBox& list) {
  Guarded(QStringLiteral("Copy List"), [&list] {
    const ItemList& items = list.Items();
    const ItemList::Index count = items.ListCount();
    QByteArray bytes(static_cast<qsizetype>(items.TextBytes()) +
                         static_cast<qsizetype>(count),
                     Qt::Uninitialized);
    char* out = bytes.data();
    for (ItemList::Index i = 0; i < count; ++i) {
      const std::string_view item = items.UncheckedItem(i);
      std::memcpy(out, item.data(), item.size());
      out += item.size();
      *out++ = '\n';
    }
    QGuiApplication::clipboard()->setMimeData(
        NewListMimeData(std::move(bytes)));
  });
}

void Form1::Paste(ListBox& list) {
  const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
  if (mime == nullptr) return;
  AppendText(list, TextBytes(*mime), QStringLiteral("Paste"));
}

void Form1::AppendText(ListBox& list, const QByteArray& bytes,
                       const QString& name) {
  if (bytes.isEmpty()) return;
  Change(list, name, name, [this, &list, &bytes, &name] {
    const std::shared_ptr<BackgroundRead> read =
        ReadAway({BackgroundRead::Bytes(bytes)}, list, "Reading the text");
    if (read == nullptr) return;
    BackgroundRead::Result& result = read->Results()[0];
    const int result_extent = result.extent;
    const std::optional<int> extent =
        AppendAway(list, read, {&result.items}, name);
    if (!extent) return;
    list.SetHorizontalExtent(std::max(*extent, result_extent));
    if (result.outcome == BackgroundRead::Result::Outcome::kFailed) {
      throw std::runtime_error(result.status.Message());
    }
  });
}

bool Form1::HandleDrop(ListBox& list, QEvent* event) {
  // While a change is under way the window paints but takes nothing in.
  if (changing_) {
    event->ignore();
    return true;
  }
  auto* drop = static_cast<QDropEvent*>(event);
  const QMimeData* mime = drop->mimeData();
  std::vector<std::string> paths = LocalPaths(mime->urls());
  if (paths.empty() && !HasText(*mime)) return false;
  drop->acceptProposedAction();
  if (event->type() != QEvent::Drop) return true;
  // The drop ends here, and the work comes after it, so that the program
  // the data came from is not kept waiting while a message box is up.
  if (!paths.empty()) {
    QTimer::singleShot(0, this, [this, &list, paths = std::move(paths)] {
      const QString name = QStringLiteral("Drop");
      Change(list, name, name, [&] { LoadFiles(list, paths, true); });
    });
  } else {
    QTimer::singleShot(0, this, [this, &list, bytes = TextBytes(*mime)] {
      AppendText(list, bytes, QStringLiteral("Drop"));
    });
  }
  return true;
}

void Form1::RemoveSelected(ListBox& list, bool select_next) {
  const QString name = QStringLiteral("Remove Item");
  Change(list, name, name, [&list, select_next] {
    const ItemList::Index selected = list.Items().ListIndex();
    if (selected < 0) return;
    list.Items().RemoveItem(selected);
    if (select_next) {
      list.SelectInPlaceOfRemoved(selected);
    } else {
      list.ItemsChanged();
    }
  });
}

}  // namespace karvello
