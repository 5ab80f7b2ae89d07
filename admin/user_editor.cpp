#include "admin/user_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <cstring>
#include <limits>

#include "admin/file_permission_dialog.h"
#include "admin/ip_permission_dialog.h"
#include "admin/server_control.h"
#include "platform/ascii.h"
#include "store/password.h"
#include "store/settings.h"

namespace qorda::admin {

namespace {

// Longest text of a statistics field: every 32-bit count fits in ten digits.
constexpr int kCounterDigits = 10;

QLineEdit* digits_edit(uint32_t value, const QString& name, QWidget* parent) {
  auto* e = new QLineEdit(QString::number(value), parent);
  e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
  e->setMaxLength(kCounterDigits);
  e->setAccessibleName(name);
  return e;
}

uint32_t digits_value(const QLineEdit* e) {
  const qulonglong v = e->text().toULongLong();
  return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                  : static_cast<uint32_t>(v);
}

}  // namespace

QStringList stored_lines(const std::string& text) {
  QStringList out;
  for (const QString& l : QString::fromStdString(text).split(QLatin1Char('\n'))) {
    QString line = l;
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    if (!line.isEmpty()) out << line;
  }
  return out;
}

bool line_origin_is(const QListWidgetItem* item, char origin) {
  return item != nullptr && item->text().size() > 1 && item->text()[1] == QLatin1Char(origin);
}

std::string origin_lines(const QListWidget* list, char origin) {
  std::string out;
  for (int i = 0; i < list->count(); ++i) {
    if (line_origin_is(list->item(i), origin)) out += list->item(i)->text().toStdString() + "\n";
  }
  return out;
}

namespace {

QPushButton* button(const char* text, const QString& name, QWidget* parent) {
  auto* b = new QPushButton(QString::fromUtf8(text), parent);
  b->setAccessibleName(name);
  return b;
}

}  // namespace

EditorWarner default_editor_warner() {
  return [](QWidget* owner, const QString& title, const QString& text) {
    QMessageBox::warning(owner, title, text);
  };
}

DialogRunner default_dialog_runner() {
  return [](QDialog& d) { return d.exec(); };
}

int row_after_delete(int index, int count) {
  if (count <= 0) return -1;
  return index < count ? index : count - 1;
}

UserEditor::UserEditor(ServerControl& control, const store::UserRecord& rec, QWidget* parent)
    : QDialog(parent),
      control_(control),
      base_(rec),
      run_(default_dialog_runner()),
      warn_(default_editor_warner()) {
  setWindowTitle(QStringLiteral("Edit User"));
  name_ = new QLineEdit(QString::fromStdString(rec.name), this);
  name_->setMaxLength(static_cast<int>(store::kMaxRecordName));
  password_ = new QLineEdit(QString::fromStdString(rec.szpass), this);
  password_->setEchoMode(QLineEdit::Password);
  template_ = new QComboBox(this);
  disable_ = new QCheckBox(QStringLiteral("&disable account"), this);
  guest_ = new QCheckBox(QStringLiteral("&guest account"), this);
  priority_ = new QCheckBox(QStringLiteral("priority &logins"), this);
  notes_ = new QPlainTextEdit(QString::fromStdString(rec.szcomment), this);
  notes_->setTabChangesFocus(true);
  disable_->setChecked(rec.bdisable);
  guest_->setChecked(rec.bguest);
  priority_->setChecked(rec.bignore);
  auto* name_label = new QLabel(QStringLiteral("&name"), this);
  auto* pass_label = new QLabel(QStringLiteral("&password"), this);
  auto* temp_label = new QLabel(QStringLiteral("&template"), this);
  auto* notes_label = new QLabel(QStringLiteral("n&otes"), this);
  name_label->setBuddy(name_);
  pass_label->setBuddy(password_);
  temp_label->setBuddy(template_);
  notes_label->setBuddy(notes_);
  name_->setAccessibleName(QStringLiteral("name"));
  password_->setAccessibleName(QStringLiteral("password"));
  template_->setAccessibleName(QStringLiteral("template"));
  notes_->setAccessibleName(QStringLiteral("notes"));

  // The template drop-down: every template, then the "no template" entry.
  if (auto names = store::list_templates(control_.store()); names.ok()) {
    for (const auto& n : names.value) {
      template_->addItem(QString::fromStdString(store::template_ref(n)));
    }
  }
  template_->addItem(QString::fromUtf8(store::kNoTemplateRef));
  int pick = template_->count() - 1;
  if (store::has_template(rec.sztemp)) {
    for (int i = 0; i + 1 < template_->count(); ++i) {
      if (platform::ascii_iequal(template_->itemText(i).toStdString(), rec.sztemp)) pick = i;
    }
  }
  template_->setCurrentIndex(pick);

  auto* file_group = new QGroupBox(QStringLiteral("&file security"), this);
  files_ = new QListWidget(file_group);
  files_->setAccessibleName(QStringLiteral("file security"));
  auto* file_add = button("add", QStringLiteral("add file permission"), file_group);
  file_edit_ = button("edit", QStringLiteral("edit file permission"), file_group);
  file_delete_ = button("delete", QStringLiteral("delete file permission"), file_group);
  auto* ip_group = new QGroupBox(QStringLiteral("&ip security"), this);
  ips_ = new QListWidget(ip_group);
  ips_->setAccessibleName(QStringLiteral("ip security"));
  auto* ip_add = button("add", QStringLiteral("add ip permission"), ip_group);
  ip_edit_ = button("edit", QStringLiteral("edit ip permission"), ip_group);
  ip_delete_ = button("delete", QStringLiteral("delete ip permission"), ip_group);
  for (auto* list : {files_, ips_}) {
    list->setFont(QFont(QStringLiteral("monospace")));
    list->setMinimumWidth(list->fontMetrics().averageCharWidth() * 36);
  }

  files_->addItems(stored_lines(rec.szfp));
  ips_->addItems(stored_lines(rec.szip));
  ips_->addItem(QString::fromUtf8(store::settings().ballowip != 0 ? vfs::kDefaultAllowIpLine
                                                                  : vfs::kDefaultDenyIpLine));

  auto* stats = new QGroupBox(QStringLiteral("transfer statistics"), this);
  dl_files_ = digits_edit(rec.idlfiles, QStringLiteral("retrieved files"), stats);
  dl_kb_ = digits_edit(rec.idlkb, QStringLiteral("retrieved kb"), stats);
  ul_files_ = digits_edit(rec.iulfiles, QStringLiteral("stored files"), stats);
  ul_kb_ = digits_edit(rec.iulkb, QStringLiteral("stored kb"), stats);
  auto* dl_label = new QLabel(QStringLiteral("&retrieved"), stats);
  auto* ul_label = new QLabel(QStringLiteral("&stored"), stats);
  dl_label->setBuddy(dl_files_);
  ul_label->setBuddy(ul_files_);
  ignore_ratio_ = new QCheckBox(QStringLiteral("&ignore ratio:"), stats);
  ignore_ratio_->setChecked(rec.bratio);
  ratio_ = new QLabel(stats);
  ratio_->setAccessibleName(QStringLiteral("ratio"));
  const std::pair<QLineEdit*, unsigned> counters[] = {{ul_files_, store::kCountUlFiles},
                                                      {dl_files_, store::kCountDlFiles},
                                                      {ul_kb_, store::kCountUlKb},
                                                      {dl_kb_, store::kCountDlKb}};
  for (const auto& [edit, bit] : counters) {
    connect(edit, &QLineEdit::textEdited, this, [this, b = bit] { counter_mask_ |= b; });
  }
  connect(password_, &QLineEdit::textEdited, this, [this] { password_edited_ = true; });
  connect(guest_, &QCheckBox::toggled, this, [this](bool on) { password_->setEnabled(!on); });
  password_->setEnabled(!rec.bguest);
  connect(ignore_ratio_, &QCheckBox::toggled, this, &UserEditor::update_ratio);
  connect(template_, &QComboBox::currentIndexChanged, this, &UserEditor::template_changed);
  connect(files_, &QListWidget::currentRowChanged, this, &UserEditor::update_buttons);
  connect(ips_, &QListWidget::currentRowChanged, this, &UserEditor::update_buttons);
  connect(files_, &QListWidget::itemDoubleClicked, this, &UserEditor::edit_file);
  connect(ips_, &QListWidget::itemDoubleClicked, this, &UserEditor::edit_ip);
  connect(file_add, &QPushButton::clicked, this, &UserEditor::add_file);
  connect(file_edit_, &QPushButton::clicked, this, &UserEditor::edit_file);
  connect(file_delete_, &QPushButton::clicked, this, &UserEditor::delete_file);
  connect(ip_add, &QPushButton::clicked, this, &UserEditor::add_ip);
  connect(ip_edit_, &QPushButton::clicked, this, &UserEditor::edit_ip);
  connect(ip_delete_, &QPushButton::clicked, this, &UserEditor::delete_ip);

  auto* ok = new QPushButton(QStringLiteral("ok"), this);
  auto* cancel = new QPushButton(QStringLiteral("cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  // Layout: the account at the left, the lists and statistics at the right.
  auto* left = new QVBoxLayout;
  for (QWidget* w : {static_cast<QWidget*>(name_label), static_cast<QWidget*>(name_),
                     static_cast<QWidget*>(pass_label), static_cast<QWidget*>(password_),
                     static_cast<QWidget*>(temp_label), static_cast<QWidget*>(template_),
                     static_cast<QWidget*>(disable_), static_cast<QWidget*>(guest_),
                     static_cast<QWidget*>(priority_), static_cast<QWidget*>(notes_label),
                     static_cast<QWidget*>(notes_)}) {
    left->addWidget(w);
  }
  auto list_group = [](QGroupBox* g, QListWidget* list, QPushButton* a, QPushButton* e,
                       QPushButton* d) {
    auto* row = new QHBoxLayout;
    row->addWidget(a);
    row->addWidget(e);
    row->addWidget(d);
    auto* v = new QVBoxLayout(g);
    v->addWidget(list);
    v->addLayout(row);
  };
  list_group(file_group, files_, file_add, file_edit_, file_delete_);
  list_group(ip_group, ips_, ip_add, ip_edit_, ip_delete_);
  auto* grid = new QGridLayout(stats);
  grid->addWidget(new QLabel(QStringLiteral("files"), stats), 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("kb"), stats), 0, 2);
  grid->addWidget(dl_label, 1, 0);
  grid->addWidget(dl_files_, 1, 1);
  grid->addWidget(dl_kb_, 1, 2);
  grid->addWidget(ul_label, 2, 0);
  grid->addWidget(ul_files_, 2, 1);
  grid->addWidget(ul_kb_, 2, 2);
  grid->addWidget(ignore_ratio_, 3, 0);
  grid->addWidget(ratio_, 3, 1, 1, 2);
  auto* right = new QVBoxLayout;
  right->addWidget(file_group);
  right->addWidget(ip_group);
  right->addWidget(stats);
  auto* columns = new QHBoxLayout;
  columns->addLayout(left);
  columns->addLayout(right);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addLayout(buttons);

  template_changed();
  files_->setCurrentRow(files_->count() > 0 ? 0 : -1);
  ips_->setCurrentRow(ips_->count() - 1);
  update_buttons();
  name_->setFocus();
}

QLineEdit* UserEditor::counter_edit(unsigned bit) const {
  switch (bit) {
    case store::kCountUlFiles:
      return ul_files_;
    case store::kCountDlFiles:
      return dl_files_;
    case store::kCountUlKb:
      return ul_kb_;
    case store::kCountDlKb:
      return dl_kb_;
    default:
      return nullptr;
  }
}

QString UserEditor::password_text() const {
  return password_->text();
}

store::UserRecord UserEditor::record() const {
  store::UserRecord rec = base_;
  rec.name = name_->text().toStdString();
  rec.szfp = origin_lines(files_, 'u');
  rec.szip = origin_lines(ips_, 'u');
  rec.szpass = password_->text().toStdString();
  rec.sztemp = template_->currentText().toStdString();
  rec.szcomment = notes_->toPlainText().toStdString();
  rec.bdisable = disable_->isChecked();
  rec.bguest = guest_->isChecked();
  rec.bignore = priority_->isChecked();
  rec.bratio = ignore_ratio_->isChecked();
  rec.iulfiles = digits_value(ul_files_);
  rec.idlfiles = digits_value(dl_files_);
  rec.iulkb = digits_value(ul_kb_);
  rec.idlkb = digits_value(dl_kb_);
  return rec;
}

void UserEditor::template_changed() {
  for (QListWidget* list : {files_, ips_}) {
    for (int i = list->count() - 1; i >= 0; --i) {
      if (line_origin_is(list->item(i), 't')) delete list->takeItem(i);
    }
  }
  std::optional<store::TemplateRecord> tmpl;
  if (auto name = store::template_name(template_->currentText().toStdString())) {
    store::TemplateRecord t;
    t.name = *name;
    if (store::read_template(control_.store(), t)) tmpl = t;
  }
  if (tmpl) {
    files_->addItems(stored_lines(tmpl->szfp));
    // The template's IP lines stand before the system line, which stays last.
    ips_->insertItems(ips_->count() - 1, stored_lines(tmpl->szip));
  }
  ratio_->setText(QString::fromStdString(store::ratio_description(tmpl ? &*tmpl : nullptr)));
  ratios_apply_ = tmpl && tmpl->bratio && (tmpl->bfiles || tmpl->bbytes);
  update_ratio();
  update_buttons();
}

void UserEditor::update_ratio() {
  ignore_ratio_->setEnabled(ratios_apply_);
  ratio_->setEnabled(ratios_apply_ && !ignore_ratio_->isChecked());
}

void UserEditor::update_buttons() {
  const bool file_own = line_origin_is(files_->currentItem(), 'u');
  file_edit_->setEnabled(file_own);
  file_delete_->setEnabled(file_own);
  const bool ip_own = line_origin_is(ips_->currentItem(), 'u');
  ip_edit_->setEnabled(ip_own);
  ip_delete_->setEnabled(ip_own);
}

bool ask_file_permission(QWidget* parent, vfs::PermissionRecord& rec, const DialogRunner& run,
                         const EditorWarner& warn) {
  FilePermissionDialog d(rec, parent);
  // A refused path reopens the same dialog, which still holds what was typed.
  while (run(d) == QDialog::Accepted) {
    vfs::PermissionRecord typed = d.record();
    if (auto path = vfs::validate_permission_path(typed.path)) {
      typed.path = *path;
      rec = typed;
      return true;
    }
    warn(&d, QStringLiteral("error"), QString::fromUtf8(vfs::kInvalidPathMessage));
  }
  return false;
}

bool ask_ip_permission(QWidget* parent, vfs::IpRecord& rec, const DialogRunner& run,
                       const EditorWarner& warn) {
  IpPermissionDialog d(rec, parent);
  while (run(d) == QDialog::Accepted) {
    const vfs::IpRecord typed = d.record();
    if (vfs::validate_ip_mask(typed.mask)) {
      rec = typed;
      return true;
    }
    warn(&d, QStringLiteral("error"), QString::fromUtf8(vfs::kInvalidIpMaskMessage));
  }
  return false;
}

LineAsker file_line_asker(QWidget* parent, const DialogRunner& run, const EditorWarner& warn) {
  return [parent, run, warn](std::string& line) {
    vfs::PermissionRecord rec = vfs::parse_permission(line);
    if (!ask_file_permission(parent, rec, run, warn)) return false;
    line = vfs::format_permission(rec);
    return true;
  };
}

LineAsker ip_line_asker(QWidget* parent, const DialogRunner& run, const EditorWarner& warn) {
  return [parent, run, warn](std::string& line) {
    vfs::IpRecord rec = vfs::parse_ip_entry(line);
    if (!ask_ip_permission(parent, rec, run, warn)) return false;
    line = vfs::format_ip_entry(rec);
    return true;
  };
}

bool add_own_line(QListWidget* list, char origin, std::string line, const LineAsker& ask) {
  if (!ask(line)) return false;
  int row = 0;
  while (row < list->count() && line_origin_is(list->item(row), origin)) ++row;
  list->insertItem(row, QString::fromStdString(line));
  list->setCurrentRow(row);
  return true;
}

bool edit_own_line(QListWidget* list, char origin, const LineAsker& ask) {
  QListWidgetItem* item = list->currentItem();
  if (!line_origin_is(item, origin)) return false;
  std::string line = item->text().toStdString();
  if (!ask(line)) return false;
  item->setText(QString::fromStdString(line));
  return true;
}

bool delete_own_line(QListWidget* list, char origin) {
  const int row = list->currentRow();
  if (!line_origin_is(list->currentItem(), origin)) return false;
  delete list->takeItem(row);
  list->setCurrentRow(row_after_delete(row, list->count()));
  return true;
}

void UserEditor::add_file() {
  // Own lines stand before the template's.
  if (add_own_line(files_, 'u', vfs::kNewUserPermissionLine, file_line_asker(this, run_, warn_)))
    update_buttons();
}

void UserEditor::edit_file() {
  edit_own_line(files_, 'u', file_line_asker(this, run_, warn_));
}

void UserEditor::delete_file() {
  if (delete_own_line(files_, 'u')) update_buttons();
}

void UserEditor::add_ip() {
  if (add_own_line(ips_, 'u', vfs::kNewUserIpLine, ip_line_asker(this, run_, warn_)))
    update_buttons();
}

void UserEditor::edit_ip() {
  edit_own_line(ips_, 'u', ip_line_asker(this, run_, warn_));
}

void UserEditor::delete_ip() {
  if (delete_own_line(ips_, 'u')) update_buttons();
}

std::string run_user_flow(ServerControl& control, QWidget* parent, const store::UserRecord& rec,
                          const UserFlow& flow, const DialogRunner& run, const EditorWarner& warn) {
  auto& reg = control.store();
  UserEditor editor(control, rec, parent);
  editor.set_runner(run);
  editor.set_warner(warn);
  while (run(editor) == QDialog::Accepted) {
    store::UserRecord fresh = editor.record();
    std::optional<store::NameFault> fault;
    if (flow.ftp_rule) {
      fault = store::new_user_name_fault(reg, fresh.name, flow.old_name);
    } else {
      fault = store::record_name_fault(fresh.name);
      if (!fault && !platform::ascii_iequal(fresh.name, flow.old_name) &&
          store::user_exists(reg, fresh.name)) {
        fault = store::NameFault::Taken;
      }
    }
    if (fault) {
      warn(&editor, QStringLiteral("error"),
           QString::fromStdString(store::editor_name_message(*fault, flow.editing)));
      continue;
    }
    if (editor.password_edited() || fresh.szpass.empty()) {
      fresh.szpass = store::encode_password(editor.password_text().toStdString());
    }
    platform::Status st;
    if (flow.old_name.empty()) {
      st = store::write_user(reg, fresh, store::UserWrite{true, store::kCountAll});
    } else if (platform::ascii_iequal(fresh.name, flow.old_name)) {
      // The same account (a change of letter case included): the key keeps its name, counters
      // the administrator left alone keep what the server wrote meanwhile.
      st = store::write_user(reg, fresh, store::UserWrite{true, editor.counter_mask()});
    } else {
      st = store::rename_user(reg, flow.old_name, fresh);
    }
    if (!st.ok()) {
      warn(&editor, QStringLiteral("error"),
           QStringLiteral("The account could not be stored: %1")
               .arg(QString::fromLocal8Bit(std::strerror(st.err))));
      continue;
    }
    return fresh.name;
  }
  return {};
}

std::string edit_client_account(ServerControl& control, QWidget* parent, uint32_t id,
                                const DialogRunner& run, const EditorWarner& warn) {
  const auto view = control.connection(id);
  if (!view || !view->logged_in || view->closing) return {};
  auto names = store::list_users(control.store());
  if (!names.ok()) return {};
  store::UserRecord rec;
  for (const auto& n : names.value) {
    if (platform::ascii_iequal(n, view->user)) rec.name = n;
  }
  if (rec.name.empty()) return {};
  (void)store::read_user(control.store(), rec, store::UserParts{true, true});
  return run_user_flow(control, parent, rec, UserFlow{rec.name, true, false}, run, warn);
}

}  // namespace qorda::admin
