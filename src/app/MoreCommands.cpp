#include "app/MoreCommands.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <limits>

#include "app/Form1.h"

namespace karvello {
namespace {

// The buttons' captions for their rows, without the list; other rows go by
// their command-line names in title case ("keep-dupes": "Keep Dupes").
constexpr std::pair<Op, const char*> kButtonNames[] = {
    {Op::kDedupe, "Remove Dupes"},
};

// How often a count under way is looked at.
constexpr int kPollMs = 30;

QString TitleCase(std::string_view name) {
  QStringList words =
      QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()))
          .split(u'-');
  for (QString& word : words) word[0] = word[0].toUpper();
  return words.join(u' ');
}

// The rows the window runs: every row that changes something.
bool Offered(const Operation& row) { return row.id != Op::kCat; }

QString Items(ItemList::Index n) {
  const QString number = QLocale().toString(static_cast<qlonglong>(n));
  return n == 1 ? QStringLiteral("%1 item").arg(number)
                : QStringLiteral("%1 items").arg(number);
}

}  // namespace

QString MoreCommands::RowName(Op op) {
  for (const auto& [row, name] : kButtonNames) {
    if (row == op) return QString::fromLatin1(name);
  }
  return TitleCase(OperationOf(op).name);
}

QString MoreCommands::NameOf(const ListCommand& command) {
  const ListCommand c = command.Effective();
  QStringList parts = {RowName(c.op)};
  if (c.regex) parts << QStringLiteral("Regular Expression");
  if (c.keys.ignore_case) parts << QStringLiteral("Ignoring Case");
  if (c.keys.trim) parts << QStringLiteral("Trimming Spaces and Tabs");
  if (c.keys.normalize) parts << QStringLiteral("Normalizing Unicode");
  if (c.keys.field != 0)
    parts << QStringLiteral("By Field %1").arg(c.keys.field);
  if (c.keep_last) parts << QStringLiteral("Keeping the Last Copy");
  if (c.natural) parts << QStringLiteral("Natural");
  if (c.descending) parts << QStringLiteral("Descending");
  return parts.join(QStringLiteral(", "));
}

MoreCommands::MoreCommands(Form1& form, ListBox& list, int list_number)
    : QDialog(&form), form_(form), list_(list) {
  setObjectName(QStringLiteral("MoreCommands%1").arg(list_number));
  setWindowTitle(QStringLiteral("More Commands (List %1)").arg(list_number));
  BuildControls();
  poll_ = new QTimer(this);
  poll_->setInterval(kPollMs);
  connect(poll_, &QTimer::timeout, this, &MoreCommands::ShowCount);
  connect(&form_, &Form1::ListsChanged, this, [this] {
    ++lists_changes_;
    if (isVisible()) Recount();
  });
  // The window's undo and redo, from here too.
  auto* undo = new QAction(this);
  undo->setShortcut(Qt::CTRL | Qt::Key_Z);
  connect(undo, &QAction::triggered, &form_, &Form1::Undo);
  auto* redo = new QAction(this);
  redo->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                      QKeySequence(Qt::CTRL | Qt::Key_Y)});
  connect(redo, &QAction::triggered, &form_, &Form1::Redo);
  addActions({undo, redo});
}

MoreCommands::~MoreCommands() = default;

void MoreCommands::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Recount();
}

QFormLayout* MoreCommands::BuildSettings() {
  auto* form = new QFormLayout;
  command_ = new QComboBox;
  command_->setAccessibleName(QStringLiteral("Command"));
  for (const Operation& row : kOperations) {
    if (Offered(row)) {
      command_->addItem(RowName(row.id), static_cast<int>(row.id));
    }
  }
  form->addRow(QStringLiteral("&Command:"), command_);
  search_ = new QLineEdit;
  search_->setAccessibleName(QStringLiteral("String"));
  form->addRow(QStringLiteral("&String:"), search_);
  auto check = [form](const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text));
    form->addRow(box);
    return box;
  };
  regex_ = check("&Regular expression");
  ignore_case_ = check("&Ignore case");
  trim_ = check("&Trim spaces and tabs");
  normalize_ = check("&Normalize Unicode");
  keep_last_ = check("&Keep the last copy");
  natural_ = check("Nat&ural");
  descending_ = check("D&escending");
  field_ = new QSpinBox;
  field_->setRange(0, std::numeric_limits<int>::max());
  field_->setAccessibleName(QStringLiteral("Field"));
  field_->setSpecialValueText(QStringLiteral("0 (whole item)"));
  form->addRow(QStringLiteral("&Field:"), field_);
  delimiter_ = new QLineEdit;
  delimiter_->setAccessibleName(QStringLiteral("Delimiter"));
  delimiter_->setMaxLength(1);
  delimiter_->setPlaceholderText(QStringLiteral("Tab"));
  form->addRow(QStringLiteral("&Delimiter:"), delimiter_);
  return form;
}

void MoreCommands::BuildControls() {
  QFormLayout* form = BuildSettings();
  count_ = new QLabel;
  count_->setObjectName(QStringLiteral("Count"));
  count_->setTextFormat(Qt::PlainText);
  count_->setMinimumWidth(count_->fontMetrics().horizontalAdvance(
      QStringLiteral("Removes 10,000,000 of 10,000,000 items")));

  apply_ = new QPushButton(QStringLiteral("&Apply"));
  apply_->setDefault(true);
  auto* close = new QPushButton(QStringLiteral("Close"));
  connect(apply_, &QPushButton::clicked, this, &MoreCommands::Apply);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(apply_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(count_);
  layout->addLayout(buttons);

  connect(command_, &QComboBox::currentIndexChanged, this,
          &MoreCommands::Recount);
  connect(search_, &QLineEdit::textChanged, this, &MoreCommands::Recount);
  connect(delimiter_, &QLineEdit::textChanged, this, &MoreCommands::Recount);
  connect(field_, &QSpinBox::valueChanged, this, &MoreCommands::Recount);
  for (QCheckBox* box : {regex_, ignore_case_, trim_, normalize_, keep_last_,
                         natural_, descending_}) {
    connect(box, &QCheckBox::toggled, this, &MoreCommands::Recount);
  }
}

ListCommand MoreCommands::Command() const {
  ListCommand command;
  command.op = static_cast<Op>(command_->currentData().toInt());
  command.search = search_->text().toStdString();
  command.regex = regex_->isChecked();
  command.keys.ignore_case = ignore_case_->isChecked();
  command.keys.trim = trim_->isChecked();
  command.keys.normalize = normalize_->isChecked();
  command.keys.field = static_cast<std::uint32_t>(field_->value());
  const QByteArray delimiter = delimiter_->text().toUtf8();
  if (delimiter.size() == 1) command.keys.delimiter = delimiter[0];
  command.keep_last = keep_last_->isChecked();
  command.natural = natural_->isChecked();
  command.descending = descending_->isChecked();
  return command;
}

QString MoreCommands::Problem(const ListCommand& command) const {
  const QByteArray delimiter = delimiter_->text().toUtf8();
  if (command.Effective().keys.field != 0 && !delimiter.isEmpty() &&
      (delimiter.size() != 1 || delimiter == "\"")) {
    return QStringLiteral("The delimiter must be one byte, not a quote.");
  }
  return QString::fromStdString(CannotRun(command));
}

void MoreCommands::Recount() {
  const Operation& row =
      OperationOf(static_cast<Op>(command_->currentData().toInt()));
  search_->setEnabled(row.argument == Argument::kString);
  regex_->setEnabled(row.takes.pattern);
  for (QWidget* w : std::initializer_list<QWidget*>{ignore_case_, trim_,
                                                    normalize_, field_}) {
    w->setEnabled(row.takes.keys);
  }
  delimiter_->setEnabled(row.takes.keys && field_->value() != 0);
  keep_last_->setEnabled(row.takes.keep_last);
  natural_->setEnabled(row.takes.natural);
  descending_->setEnabled(row.takes.descending);

  const ListCommand command = Command().Effective();
  const QString problem = Problem(command);
  apply_->setEnabled(problem.isEmpty());
  if (!problem.isEmpty()) {
    DropCount();
    poll_->stop();
    SetCountText(problem);
    return;
  }
  if (count_work_ && count_work_->command == command &&
      count_work_->lists == lists_changes_) {
    return;
  }
  DropCount();
  // A change under way: ListsChanged follows it, and the count then.
  if (form_.Changing()) return;
  ListBox& other = &list_ == &form_.List1() ? form_.List2() : form_.List1();
  auto plan = std::make_shared<ListPlan>();
  auto work = form_.StartReading([plan, command, this, &other] {
    *plan = Plan(command, list_.Items(), other.Items());
  });
  count_work_ =
      Count{command, plan, work, lists_changes_, list_.Items().ListCount()};
  SetCountText(QStringLiteral("Counting\u2026"));
  poll_->start();
}

void MoreCommands::DropCount() {
  if (!count_work_) return;
  // A plan of ten million items is freed off the window's thread.
  FreeElsewhere(std::move(count_work_->plan));
  count_work_.reset();
}

void MoreCommands::ShowCount() {
  if (!count_work_ || !count_work_->work->Finished()) return;
  poll_->stop();
  try {
    count_work_->work->Rethrow();
  } catch (const std::bad_alloc&) {
    SetCountText(QStringLiteral("Not enough memory to count."));
    return;
  } catch (const std::exception& e) {
    SetCountText(QString::fromLocal8Bit(e.what()));
    return;
  }
  const ListPlan& plan = *count_work_->plan;
  if (plan.reorders) {
    // "Sorts 2,000,000 items", "Reverses 1 item".
    SetCountText(QStringLiteral("%1s %2").arg(
        RowName(count_work_->command.op).section(u' ', 0, 0),
        Items(count_work_->items)));
    return;
  }
  SetCountText(
      QStringLiteral("Removes %1 of %2")
          .arg(QLocale().toString(static_cast<qulonglong>(plan.Removed())),
               Items(count_work_->items)));
}

void MoreCommands::SetCountText(const QString& text) {
  if (count_->text() == text) return;
  count_->setText(text);
  // Heard as it changes, and again with Apply.
  apply_->setAccessibleDescription(text);
  QAccessibleEvent event(count_, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&event);
}

void MoreCommands::Apply() {
  const ListCommand command = Command().Effective();
  if (!Problem(command).isEmpty()) return;
  const QString name = NameOf(command);
  if (count_work_ && count_work_->command == command &&
      count_work_->lists == lists_changes_) {
    const Count count = *count_work_;
    form_.Carry(list_, count.work, count.plan, name);
  } else {
    form_.Run(list_, command, name);
  }
}

}  // namespace karvello
