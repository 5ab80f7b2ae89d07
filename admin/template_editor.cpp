#include "admin/template_editor.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <cstring>

#include "admin/client_limits_dialog.h"
#include "admin/server_control.h"
#include "platform/ascii.h"
#include "store/settings.h"

namespace qorda::admin {

namespace {

// Digits of a ratio side.
constexpr int kRatioDigits = 9;

QPushButton* button(const char* text, const QString& name, QWidget* parent) {
  auto* b = new QPushButton(QString::fromUtf8(text), parent);
  b->setAccessibleName(name);
  return b;
}

QGroupBox* list_group(const QString& title, QListWidget* list, QPushButton* buttons[3],
                      QWidget* parent, const QString& what) {
  auto* g = new QGroupBox(title, parent);
  list->setParent(g);
  list->setAccessibleName(what);
  list->setFont(QFont(QStringLiteral("monospace")));
  list->setMinimumWidth(list->fontMetrics().averageCharWidth() * 40);
  static const char* const kTexts[3] = {"add", "edit", "delete"};
  auto* row = new QHBoxLayout;
  for (int i = 0; i < 3; ++i) {
    buttons[i] = button(kTexts[i], QString::fromUtf8(kTexts[i]) + QLatin1Char(' ') + what, g);
    row->addWidget(buttons[i]);
  }
  auto* v = new QVBoxLayout(g);
  v->addWidget(list);
  v->addLayout(row);
  g->setFocusProxy(list);
  return g;
}

}  // namespace

TemplateEditor::TemplateEditor(ServerControl& control, const store::TemplateRecord& rec,
                               QWidget* parent)
    : QDialog(parent),
      control_(control),
      base_(rec),
      ranges_(store::LimitRangeList::from_szcl(rec.szcl)),
      run_(default_dialog_runner()),
      warn_(default_editor_warner()) {
  setWindowTitle(QStringLiteral("Edit Template"));
  name_ = new QLineEdit(QString::fromStdString(rec.name), this);
  name_->setMaxLength(static_cast<int>(store::kMaxRecordName));
  name_->setAccessibleName(QStringLiteral("name"));
  auto* name_label = new QLabel(QStringLiteral("&name"), this);
  name_label->setBuddy(name_);

  files_ = new QListWidget;
  ips_ = new QListWidget;
  limits_ = new QListWidget;
  QPushButton* fb[3];
  QPushButton* ib[3];
  QPushButton* lb[3];
  auto* file_group = list_group(QStringLiteral("&file security"), files_, fb, this,
                                QStringLiteral("file security"));
  auto* ip_group =
      list_group(QStringLiteral("&ip security"), ips_, ib, this, QStringLiteral("ip security"));
  auto* limit_group = list_group(QStringLiteral("&client limits"), limits_, lb, this,
                                 QStringLiteral("client limits"));
  limits_->setMinimumWidth(limits_->fontMetrics().averageCharWidth() * 56);
  file_edit_ = fb[1];
  file_delete_ = fb[2];
  ip_edit_ = ib[1];
  ip_delete_ = ib[2];
  limit_edit_ = lb[1];
  limit_delete_ = lb[2];
  connect(fb[0], &QPushButton::clicked, this, &TemplateEditor::add_file);
  connect(fb[1], &QPushButton::clicked, this, &TemplateEditor::edit_file);
  connect(fb[2], &QPushButton::clicked, this, &TemplateEditor::delete_file);
  connect(ib[0], &QPushButton::clicked, this, &TemplateEditor::add_ip);
  connect(ib[1], &QPushButton::clicked, this, &TemplateEditor::edit_ip);
  connect(ib[2], &QPushButton::clicked, this, &TemplateEditor::delete_ip);
  connect(lb[0], &QPushButton::clicked, this, &TemplateEditor::add_limit);
  connect(lb[1], &QPushButton::clicked, this, &TemplateEditor::edit_limit);
  connect(lb[2], &QPushButton::clicked, this, &TemplateEditor::delete_limit);
  connect(files_, &QListWidget::itemDoubleClicked, this, &TemplateEditor::edit_file);
  connect(ips_, &QListWidget::itemDoubleClicked, this, &TemplateEditor::edit_ip);
  connect(limits_, &QListWidget::itemDoubleClicked, this, &TemplateEditor::edit_limit);
  for (auto* list : {files_, ips_, limits_}) {
    connect(list, &QListWidget::currentRowChanged, this, &TemplateEditor::update_buttons);
  }

  files_->addItems(stored_lines(rec.szfp));
  ips_->addItems(stored_lines(rec.szip));
  ips_->addItem(QString::fromUtf8(store::settings().ballowip != 0 ? vfs::kDefaultAllowIpLine
                                                                  : vfs::kDefaultDenyIpLine));
  files_->setCurrentRow(files_->count() > 0 ? 0 : -1);
  ips_->setCurrentRow(ips_->count() - 1);
  show_limits({}, -1);

  ratios_ = new QCheckBox(QStringLiteral("use upload/download &ratios"), this);
  session_ = new QCheckBox(QStringLiteral("ratios are \"per session\""), this);
  files_ratio_ = new QCheckBox(QStringLiteral("files:"), this);
  bytes_ratio_ = new QCheckBox(QStringLiteral("bytes:"), this);
  ratios_->setChecked(rec.bratio);
  session_->setChecked(rec.bsession);
  files_ratio_->setChecked(rec.bfiles);
  bytes_ratio_->setChecked(rec.bbytes);
  const uint32_t values[4] = {rec.iufiles, rec.idfiles, rec.iubytes, rec.idbytes};
  static const char* const kNames[4] = {"upload files", "download files", "upload bytes",
                                        "download bytes"};
  for (int i = 0; i < 4; ++i) {
    ratio_edits_[i] = new QLineEdit(QString::number(values[i]), this);
    ratio_edits_[i]->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]*")), ratio_edits_[i]));
    ratio_edits_[i]->setMaxLength(kRatioDigits);
    ratio_edits_[i]->setAccessibleName(QString::fromUtf8(kNames[i]));
  }
  for (auto* box : {ratios_, files_ratio_, bytes_ratio_}) {
    connect(box, &QCheckBox::toggled, this, &TemplateEditor::update_ratios);
  }
  auto* ratio_grid = new QGridLayout;
  ratio_grid->addWidget(ratios_, 0, 0, 1, 4);
  ratio_grid->addWidget(session_, 1, 0, 1, 4);
  ratio_grid->addWidget(files_ratio_, 2, 0);
  ratio_grid->addWidget(ratio_edits_[0], 2, 1);
  ratio_grid->addWidget(new QLabel(QStringLiteral("/"), this), 2, 2);
  ratio_grid->addWidget(ratio_edits_[1], 2, 3);
  ratio_grid->addWidget(bytes_ratio_, 3, 0);
  ratio_grid->addWidget(ratio_edits_[2], 3, 1);
  ratio_grid->addWidget(new QLabel(QStringLiteral("/"), this), 3, 2);
  ratio_grid->addWidget(ratio_edits_[3], 3, 3);

  auto* ok = new QPushButton(QStringLiteral("ok"), this);
  auto* cancel = new QPushButton(QStringLiteral("cancel"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* left = new QVBoxLayout;
  left->addWidget(name_label);
  left->addWidget(name_);
  left->addWidget(file_group);
  left->addWidget(ip_group);
  auto* right = new QVBoxLayout;
  right->addWidget(limit_group);
  right->addLayout(ratio_grid);
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
  update_ratios();
  update_buttons();
  name_->setFocus();
}

store::TemplateRecord TemplateEditor::record() const {
  store::TemplateRecord rec = base_;
  rec.name = name_->text().toStdString();
  rec.szfp = origin_lines(files_, 't');
  rec.szip = origin_lines(ips_, 't');
  rec.szcl = ranges_.to_szcl();
  rec.bratio = ratios_->isChecked();
  rec.bsession = session_->isChecked();
  rec.bfiles = files_ratio_->isChecked();
  rec.bbytes = bytes_ratio_->isChecked();
  uint32_t* out[4] = {&rec.iufiles, &rec.idfiles, &rec.iubytes, &rec.idbytes};
  for (int i = 0; i < 4; ++i) *out[i] = ratio_edits_[i]->text().toUInt();
  return rec;
}

void TemplateEditor::update_ratios() {
  const bool on = ratios_->isChecked();
  session_->setEnabled(on);
  files_ratio_->setEnabled(on);
  bytes_ratio_->setEnabled(on);
  for (int i = 0; i < 4; ++i) {
    ratio_edits_[i]->setEnabled(on && (i < 2 ? files_ratio_ : bytes_ratio_)->isChecked());
  }
}

void TemplateEditor::update_buttons() {
  const bool file_own = line_origin_is(files_->currentItem(), 't');
  file_edit_->setEnabled(file_own);
  file_delete_->setEnabled(file_own);
  const bool ip_own = line_origin_is(ips_->currentItem(), 't');
  ip_edit_->setEnabled(ip_own);
  ip_delete_->setEnabled(ip_own);
  const bool range = selected_range() >= 0;
  limit_edit_->setEnabled(range);
  limit_delete_->setEnabled(range);
}

void TemplateEditor::show_limits(const std::string& select, int row) {
  const QSignalBlocker block(limits_);
  limits_->clear();
  limits_->addItem(QString::fromUtf8(store::kLimitListHeader));
  const auto lines = ranges_.display_lines(store::settings().imaxc);
  for (const auto& l : lines) limits_->addItem(QString::fromStdString(l));
  if (!select.empty()) {
    const QString prefix = QString::fromStdString("[t] " + select);
    for (int i = 1; i < limits_->count(); ++i) {
      if (limits_->item(i)->text().startsWith(prefix)) row = i;
    }
  }
  if (row >= limits_->count()) row = limits_->count() - 1;
  limits_->setCurrentRow(row);
}

int TemplateEditor::selected_range() const {
  const int row = limits_->currentRow();
  if (row < 1 || !line_origin_is(limits_->item(row), 't')) return -1;
  int index = 0;
  for (int i = 1; i < row; ++i) {
    if (line_origin_is(limits_->item(i), 't')) ++index;
  }
  return index;
}

bool TemplateEditor::ask_limits(store::LimitRange& r) {
  ClientLimitsDialog d(r, store::settings().imaxc, this);
  while (run_(d) == QDialog::Accepted) {
    const store::LimitRange typed = d.range();
    auto refused = store::check_limit_time(typed.start, true);
    if (!refused) refused = store::check_limit_time(typed.end, false);
    if (refused) {
      warn_(&d, QStringLiteral("error"), QString::fromStdString(*refused));
      continue;
    }
    r = typed;
    return true;
  }
  return false;
}

void TemplateEditor::add_limit() {
  store::LimitRange r{"00:00", "23:59", {-1, -1, -1, -1}};
  if (!ask_limits(r)) return;
  ranges_.insert(r);
  // A range past midnight is shown from its start.
  show_limits(r.start + "-" + (r.end < r.start ? std::string("23:59") : r.end), -1);
  update_buttons();
}

void TemplateEditor::edit_limit() {
  const int index = selected_range();
  if (index < 0) return;
  store::LimitRange r = ranges_.ranges()[static_cast<size_t>(index)];
  const store::LimitRange before = r;
  ranges_.remove(static_cast<size_t>(index));
  // Cancel puts the range back the same way an edited one goes in.
  if (!ask_limits(r)) r = before;
  ranges_.insert(r);
  show_limits(r.start + "-" + (r.end < r.start ? std::string("23:59") : r.end), -1);
  update_buttons();
}

void TemplateEditor::delete_limit() {
  const int index = selected_range();
  if (index < 0) return;
  const int row = limits_->currentRow();
  ranges_.remove(static_cast<size_t>(index));
  show_limits({}, row);
  update_buttons();
}

void TemplateEditor::add_file() {
  // Own lines stand before the template's.
  if (add_own_line(files_, 't', vfs::kNewTemplatePermissionLine,
                   file_line_asker(this, run_, warn_)))
    update_buttons();
}

void TemplateEditor::edit_file() {
  edit_own_line(files_, 't', file_line_asker(this, run_, warn_));
}

void TemplateEditor::delete_file() {
  if (delete_own_line(files_, 't')) update_buttons();
}

void TemplateEditor::add_ip() {
  if (add_own_line(ips_, 't', vfs::kNewTemplateIpLine, ip_line_asker(this, run_, warn_)))
    update_buttons();
}

void TemplateEditor::edit_ip() {
  edit_own_line(ips_, 't', ip_line_asker(this, run_, warn_));
}

void TemplateEditor::delete_ip() {
  if (delete_own_line(ips_, 't')) update_buttons();
}

std::string run_template_flow(ServerControl& control, QWidget* parent,
                              const store::TemplateRecord& rec, const std::string& old_name,
                              const DialogRunner& run, const EditorWarner& warn) {
  auto& reg = control.store();
  TemplateEditor editor(control, rec, parent);
  editor.set_runner(run);
  editor.set_warner(warn);
  while (run(editor) == QDialog::Accepted) {
    const store::TemplateRecord fresh = editor.record();
    if (auto fault = store::new_template_name_fault(reg, fresh.name, old_name)) {
      warn(&editor, QStringLiteral("error"),
           QString::fromStdString(store::editor_name_message(*fault, !old_name.empty())));
      continue;
    }
    const platform::Status st = old_name.empty() ? store::write_template(reg, fresh)
                                                 : store::rename_template(reg, old_name, fresh);
    if (!st.ok()) {
      warn(&editor, QStringLiteral("error"),
           QStringLiteral("The template could not be stored: %1")
               .arg(QString::fromLocal8Bit(std::strerror(st.err))));
      continue;
    }
    return fresh.name;
  }
  return {};
}

}  // namespace qorda::admin
