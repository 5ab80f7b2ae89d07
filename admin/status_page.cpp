#include "admin/status_page.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>

#include "admin/server_control.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::admin {

LogScroll apply_log_line(int count, int top, int visible) {
  LogScroll r;
  visible = std::max(1, visible);
  int held = count;
  if (count >= kMaxLogLines) {
    r.drop_first = true;
    held = count - 1;
    // A shorter list cannot keep a top line past its last full page.
    top = std::min(top, std::max(0, held - visible));
  }
  const int added = held;  // the new line's index
  const int last_top = std::max(0, added - visible + 1);
  if (added >= top + visible && last_top - top < kLogFollowSlack) {
    r.top = last_top;
  } else if (r.drop_first && top > 0) {
    r.top = top - 1;
  } else {
    r.top = top;
  }
  return r;
}

int selection_after_removal(int removed, int count) {
  if (count <= 0) return -1;
  return std::min(removed, count - 1);
}

namespace {

QLabel* caption(const QString& text, QWidget* buddy, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setBuddy(buddy);
  return l;
}

QPushButton* button(const QString& text, const QString& name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setAccessibleName(name);
  return b;
}

}  // namespace

StatusPage::StatusPage(ServerControl& control, QWidget* parent)
    : QWidget(parent), control_(control) {
  ask_ = [this](const QString& address) { return DisconnectDialog::ask(window(), address); };

  log_ = new QListWidget(this);
  log_->setAccessibleName(QStringLiteral("activity log"));
  log_->setSelectionMode(QAbstractItemView::NoSelection);
  log_->setUniformItemSizes(true);
  log_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  log_->setMinimumSize(520, 170);

  clients_ = new QListWidget(this);
  clients_->setAccessibleName(QStringLiteral("connected clients"));
  clients_->setSelectionMode(QAbstractItemView::SingleSelection);
  clients_->setSortingEnabled(true);
  clients_->setMinimumSize(400, 110);

  examine_ = button(QStringLiteral("e&xamine"), QStringLiteral("examine"), this);
  examine_->setDefault(true);
  edit_ = button(QStringLiteral("&edit"), QStringLiteral("edit"), this);
  disconnect_ = button(QStringLiteral("&disconnect"), QStringLiteral("disconnect"), this);
  hide_ = button(QStringLiteral("&hide"), QStringLiteral("hide"), this);

  status_ = new QLineEdit(this);
  status_->setReadOnly(true);
  status_->setAccessibleName(QStringLiteral("status line"));
  status_->setText(
      QStringLiteral("%1 %2 - an FTP server for Linux")
          .arg(QString::fromLatin1(store::kProductName), QString::fromLatin1(store::kVersion)));

  switch_ = new QSlider(Qt::Horizontal, this);
  switch_->setAccessibleName(QStringLiteral("server switch"));
  switch_->setRange(0, 1);
  switch_->setPageStep(1);
  switch_->setValue(0);
  switch_->setFixedWidth(40);

  auto* client_buttons = new QVBoxLayout;
  client_buttons->addWidget(examine_);
  client_buttons->addWidget(edit_);
  client_buttons->addWidget(disconnect_);
  client_buttons->addStretch();

  auto* middle = new QHBoxLayout;
  middle->addWidget(clients_, 1);
  middle->addLayout(client_buttons);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(hide_);
  bottom->addSpacing(8);
  bottom->addWidget(caption(QStringLiteral("off"), switch_, this));
  bottom->addWidget(switch_);
  bottom->addWidget(new QLabel(QStringLiteral("on"), this));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption(QStringLiteral("activity log"), log_, this));
  layout->addWidget(log_, 1);
  layout->addWidget(caption(QStringLiteral("connected clients"), clients_, this));
  layout->addLayout(middle);
  layout->addLayout(bottom);

  setTabOrder(log_, clients_);
  setTabOrder(clients_, examine_);
  setTabOrder(examine_, edit_);
  setTabOrder(edit_, disconnect_);
  setTabOrder(disconnect_, status_);
  setTabOrder(status_, hide_);
  setTabOrder(hide_, switch_);

  // Enter acts as the default button does in a dialog.
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* enter = new QShortcut(QKeySequence(key), this);
    enter->setContext(Qt::WidgetWithChildrenShortcut);
    connect(enter, &QShortcut::activated, this, [this] {
      if (examine_->isEnabled()) examine();
    });
  }

  QtObserver& obs = control_.observer();
  connect(&obs, &QtObserver::screenLine, this, &StatusPage::append_log);
  connect(&obs, &QtObserver::clientLine, this, &StatusPage::put_client);
  connect(&obs, &QtObserver::clientLineRemoved, this, &StatusPage::remove_client);
  connect(&obs, &QtObserver::switchPosition, this, &StatusPage::show_switch);
  connect(clients_, &QListWidget::itemSelectionChanged, this, &StatusPage::update_buttons);
  connect(clients_, &QListWidget::itemDoubleClicked, this, &StatusPage::examine);
  connect(examine_, &QPushButton::clicked, this, &StatusPage::examine);
  connect(edit_, &QPushButton::clicked, this, &StatusPage::edit);
  connect(disconnect_, &QPushButton::clicked, this, &StatusPage::disconnect_selected);
  connect(hide_, &QPushButton::clicked, this, &StatusPage::hideRequested);
  connect(switch_, &QSlider::valueChanged, this, &StatusPage::switch_moved);

  apply_fonts();
  update_buttons();
}

bool StatusPage::switch_on_at_start() {
  show_switch(false);
  const bool on = control_.switch_on();
  show_switch(on);
  Q_EMIT serverSwitched();
  return on;
}

void StatusPage::apply_fonts() {
  const store::ServerSettings& s = store::settings();
  QFont f = status_->font();
  if (s.busefont == 1) {
    f = QFont(QString::fromStdString(s.szfont));
    if (s.ifsiz > 0) f.setPointSizeF(s.ifsiz / 10.0);
  }
  log_->setFont(f);
  clients_->setFont(f);
  log_->scrollToBottom();
}

int StatusPage::visible_log_lines() const {
  const int row = log_->count() > 0 ? log_->sizeHintForRow(0) : log_->fontMetrics().height();
  return row > 0 ? log_->viewport()->height() / row : 0;
}

void StatusPage::append_log(const QString& line) {
  QScrollBar* bar = log_->verticalScrollBar();
  const LogScroll s = apply_log_line(log_->count(), bar->value(), visible_log_lines());
  if (s.drop_first) delete log_->takeItem(0);
  log_->addItem(line);
  // The range must know the new line before the view can be placed on it.
  log_->doItemsLayout();
  bar->setValue(s.top);
}

QListWidgetItem* StatusPage::find_client(quint32 id) const {
  for (int i = 0; i < clients_->count(); ++i) {
    QListWidgetItem* item = clients_->item(i);
    if (item->data(Qt::UserRole).toUInt() == id) return item;
  }
  return nullptr;
}

void StatusPage::put_client(quint32 id, const QString& line) {
  if (QListWidgetItem* item = find_client(id)) {
    item->setText(line);  // keeps its selection; the sorted list places it again
    return;
  }
  auto* item = new QListWidgetItem(line);
  item->setData(Qt::UserRole, id);
  clients_->addItem(item);
}

void StatusPage::remove_client(quint32 id) {
  QListWidgetItem* item = find_client(id);
  if (item == nullptr) return;
  const int row = clients_->row(item);
  const bool was_selected = item->isSelected();
  QListWidgetItem* keep = was_selected ? nullptr : clients_->selectedItems().value(0, nullptr);
  {
    const QSignalBlocker quiet(clients_);
    delete clients_->takeItem(row);
    // The list selects a neighbour of a removed current line by itself; the selection is set
    // here instead. It follows only when the selected client left: another client leaving
    // does not move (or make) the administrator's choice.
    clients_->clearSelection();
    if (was_selected) {
      const int next = selection_after_removal(row, clients_->count());
      if (next >= 0) keep = clients_->item(next);
    }
    if (keep != nullptr) {
      clients_->setCurrentItem(keep);
      keep->setSelected(true);
    }
  }
  update_buttons();
}

std::optional<quint32> StatusPage::selected_id() const {
  const QList<QListWidgetItem*> sel = clients_->selectedItems();
  if (sel.isEmpty()) return std::nullopt;
  return sel.first()->data(Qt::UserRole).toUInt();
}

void StatusPage::update_buttons() {
  const bool any = selected_id().has_value();
  examine_->setEnabled(any);
  edit_->setEnabled(any);
  disconnect_->setEnabled(any);
}

void StatusPage::examine() {
  const std::optional<quint32> id = selected_id();
  if (id && control_.connection(*id)) Q_EMIT examineRequested(*id);
}

void StatusPage::edit() {
  const std::optional<quint32> id = selected_id();
  if (id && control_.connection(*id)) Q_EMIT editRequested(*id);
}

void StatusPage::disconnect_selected() {
  const std::optional<quint32> id = selected_id();
  if (!id) return;
  last_disconnect_ = disconnect_client(control_, *id, ask_);
  const platform::Status& written = last_disconnect_.ban.status;
  if (!written.ok()) {
    QMessageBox::warning(window(), QStringLiteral("Disconnect Client"),
                         QStringLiteral("The account could not be changed: %1 (error %2).")
                             .arg(QString::fromStdString(written.msg))
                             .arg(written.err));
  }
}

void StatusPage::show_switch(bool on) {
  const QSignalBlocker quiet(switch_);
  switch_->setValue(on ? 1 : 0);
}

void StatusPage::switch_moved(int position) {
  if (position == 0) {
    if (control_.is_on()) control_.switch_off();
  } else if (!control_.is_on()) {
    if (!control_.switch_on()) show_switch(false);
  }
  show_switch(control_.is_on());
  Q_EMIT serverSwitched();
}

}  // namespace qorda::admin
