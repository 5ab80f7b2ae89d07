#include "admin/examine_window.h"

#include <QFont>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <optional>

#include "admin/server_control.h"
#include "store/settings.h"

namespace qorda::admin {
namespace examine {

namespace {

// printf formatting that ignores the process's locale (Qt sets it from the environment, and a
// decimal comma would change the rate's text).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const QString out = QString::vasprintf(fmt, ap);
  va_end(ap);
  return out.toStdString();
}

}  // namespace

std::string user_text(const session::ConnectionView& v) {
  return format("%s@%s", v.user.c_str(), v.host.c_str());
}

std::string duration_text(uint32_t ms) {
  const uint32_t s = ms / 1000;
  return format("%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
}

std::string statistics_text(const session::ConnectionView& v) {
  // The counters are unsigned 32-bit: printed as such, a large count never turns negative.
  return format("retrieved %u files, %u kb.\r\nstored %u files, %u kb.", v.files_retrieved,
                v.kb_retrieved, v.files_stored, v.kb_stored);
}

std::string transfer_text(const session::ConnectionView& v) {
  if (v.direction == transfer::Direction::None) return "none.";
  // Byte counts are 64-bit: a file past 2 GiB shows its true size.
  return format("%s: \"%s\"\r\n%" PRIu64 " of %" PRIu64 " bytes, %01.2f kb/s",
                v.direction == transfer::Direction::Receive ? "storing" : "retrieving",
                v.file_name.c_str(), v.position, v.total_bytes, v.rate_kbps);
}

int visible_lines(int height, int item_height) {
  if (item_height <= 0) return 1;
  return std::max(1, height / item_height - 1);
}

int top_after_append(int count, int top, int visible, bool deleted) {
  // The line that was at the top moved up by one when the first line went.
  const int same = deleted && top > 0 ? top - 1 : top;
  const int last = count - 1;
  const int follow = std::max(0, last - visible + 1);
  if (last >= same + visible && follow - same < kFollowLines) return follow;
  return same;
}

}  // namespace examine

using namespace examine;

namespace {

// The display font the administrator chose, when the settings ask for it.
void apply_custom_font(QWidget* w) {
  const store::ServerSettings& s = store::settings();
  if (s.busefont != 1) return;
  QFont f(QString::fromStdString(s.szfont));
  if (s.ifsiz > 0) f.setPointSizeF(s.ifsiz / 10.0);
  w->setFont(f);
}

// Engine texts end their lines with CR LF; the field shows a line break.
QString shown(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QPlainTextEdit* read_only_box(QWidget* parent, int lines) {
  auto* box = new QPlainTextEdit(parent);
  box->setReadOnly(true);
  box->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  box->setFocusPolicy(Qt::StrongFocus);
  box->setTabChangesFocus(true);
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  const int frame = 2 * (box->frameWidth() + static_cast<int>(box->document()->documentMargin()));
  box->setFixedHeight(box->fontMetrics().lineSpacing() * lines + frame + 4);
  return box;
}

QLineEdit* read_only_line(QWidget* parent) {
  auto* line = new QLineEdit(parent);
  line->setReadOnly(true);
  return line;
}

}  // namespace

bool ExamineWindow::can_examine(ServerControl& control, quint32 id) {
  const std::optional<session::ConnectionView> v = control.connection(id);
  return v.has_value() && !v->closing;
}

void ExamineWindow::examine(ServerControl& control, quint32 id, QWidget* parent) {
  if (!can_examine(control, id)) return;
  ExamineWindow w(control, id, parent);
  w.exec();
}

ExamineWindow::ExamineWindow(ServerControl& control, quint32 id, QWidget* parent)
    : QDialog(parent), control_(control), id_(id) {
  setWindowTitle(QString::fromLatin1(kCaption));
  setModal(true);

  user_ = read_only_line(this);
  auto* user_label = new QLabel(QStringLiteral("user"), this);
  user_label->setBuddy(user_);
  user_->setAccessibleName(QStringLiteral("user"));

  auto* control_group = new QGroupBox(QStringLiteral("control connection"), this);
  list_ = new QListWidget(control_group);
  list_->setAccessibleName(QStringLiteral("control connection"));
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  list_->setUniformItemSizes(true);
  apply_custom_font(list_);
  row_height_ = QFontMetrics(list_->font()).height();
  list_->setMinimumSize(420, row_height_ * 12);
  auto* control_box = new QVBoxLayout(control_group);
  control_box->addWidget(list_);

  online_ = read_only_line(this);
  idle_ = read_only_line(this);
  auto* online_label = new QLabel(QStringLiteral("online time"), this);
  auto* idle_label = new QLabel(QStringLiteral("idle time"), this);
  online_label->setBuddy(online_);
  idle_label->setBuddy(idle_);
  online_->setAccessibleName(online_label->text());
  idle_->setAccessibleName(idle_label->text());

  auto* data_group = new QGroupBox(QStringLiteral("data connection"), this);
  stats_ = read_only_box(data_group, 2);
  stats_->setAccessibleName(QStringLiteral("statistics"));
  transfer_ = read_only_box(data_group, 2);
  auto* transfer_label = new QLabel(QStringLiteral("transfer"), data_group);
  transfer_label->setBuddy(transfer_);
  transfer_->setAccessibleName(transfer_label->text());
  auto* data_box = new QGridLayout(data_group);
  data_box->addWidget(stats_, 0, 0, 1, 2);
  data_box->addWidget(transfer_label, 1, 0, Qt::AlignTop);
  data_box->addWidget(transfer_, 1, 1);

  ok_ = new QPushButton(QStringLiteral("ok"), this);
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->addWidget(user_label, 0, 0);
  grid->addWidget(user_, 0, 1, 1, 3);
  grid->addWidget(control_group, 1, 0, 1, 4);
  grid->addWidget(online_label, 2, 0);
  grid->addWidget(online_, 2, 1);
  grid->addWidget(idle_label, 2, 2);
  grid->addWidget(idle_, 2, 3);
  grid->addWidget(data_group, 3, 0, 1, 4);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  grid->addLayout(buttons, 4, 0, 1, 4);

  setTabOrder(user_, list_);
  setTabOrder(list_, online_);
  setTabOrder(online_, idle_);
  setTabOrder(idle_, stats_);
  setTabOrder(stats_, transfer_);
  setTabOrder(transfer_, ok_);

  QtObserver& o = control_.observer();
  connect(&o, &QtObserver::examineLine, this, [this](quint32 from, const QString& line) {
    if (from == id_) add_line(line);
  });
  connect(&o, &QtObserver::examineCaption, this, [this](quint32 from, const QString& caption) {
    if (from != id_) return;
    setWindowTitle(caption);
    gone_ = true;
  });
  connect(&o, &QtObserver::tick, this, &ExamineWindow::refresh);

  if (control_.set_examined(id_, true)) {
    refresh();
  } else {
    connection_gone();
  }
}

ExamineWindow::~ExamineWindow() {
  finish();
}

void ExamineWindow::done(int result) {
  finish();
  QDialog::done(result);
}

void ExamineWindow::finish() {
  if (finished_) return;
  finished_ = true;
  // A connection that went may have left its number to a newer one, which is not examined.
  if (!gone_) control_.set_examined(id_, false);
}

void ExamineWindow::connection_gone() {
  gone_ = true;
  setWindowTitle(QString::fromLatin1(kDisconnectedCaption));
}

void ExamineWindow::refresh() {
  if (gone_ || finished_) return;
  const std::optional<session::ConnectionView> v = control_.connection(id_);
  if (!v) {
    connection_gone();
    return;
  }
  auto line = [](QLineEdit* field, std::string& was, std::string now) {
    if (now == was) return;
    was = std::move(now);
    field->setText(shown(was));
  };
  auto box = [](QPlainTextEdit* field, std::string& was, std::string now) {
    if (now == was) return;
    was = std::move(now);
    field->setPlainText(shown(was));
  };
  line(user_, user_text_, user_text(*v));
  line(online_, online_text_, duration_text(v->online_ms));
  line(idle_, idle_text_, duration_text(v->idle_ms));
  box(stats_, stats_text_, statistics_text(*v));
  box(transfer_, transfer_text_, transfer_text(*v));
}

void ExamineWindow::add_line(const QString& line) {
  // SECURITY: a client's command line is shown as plain text only (a list item, never rich
  // text), so a crafted line cannot load resources or dress itself up as something else.
  QScrollBar* bar = list_->verticalScrollBar();
  const int top = bar->value();
  const bool deleted = list_->count() >= kMaxLines;
  if (deleted) delete list_->takeItem(0);
  auto* item = new QListWidgetItem(line);
  // Every line claims the list's whole horizontal extent, so long lines can be scrolled to.
  item->setSizeHint(QSize(kListExtentPx, row_height_));
  list_->addItem(item);
  const int want = top_after_append(
      list_->count(), top, visible_lines(list_->viewport()->height(), row_height_), deleted);
  if (want != bar->value() || deleted) {
    // The scroll range follows the new line only after the list's layout has run.
    list_->doItemsLayout();
    bar->setValue(want);
  }
}

}  // namespace qorda::admin
