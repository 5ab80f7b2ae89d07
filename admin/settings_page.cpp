#include "admin/settings_page.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "store/keys.h"
#include "store/settings.h"

namespace qorda::admin {

QFont custom_font_or(const QFont& own) {
  const store::ServerSettings& s = store::settings();
  if (s.busefont != 1) return own;
  QFont f(QString::fromStdString(s.szfont));
  if (s.ifsiz > 0) f.setPointSizeF(s.ifsiz / 10.0);
  return f;
}

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
  warn_ = [](QWidget* owner, const QString& title, const QString& text) {
    QMessageBox::warning(owner, title, text);
  };
  ok_ = new QPushButton(QStringLiteral("&ok"), this);
  cancel_ = new QPushButton(QStringLiteral("&cancel"), this);
  ok_->setEnabled(false);
  cancel_->setEnabled(false);
  connect(ok_, &QPushButton::clicked, this, &SettingsPage::ok);
  connect(cancel_, &QPushButton::clicked, this, &SettingsPage::cancel);
}

void SettingsPage::ok() {
  if (store_controls()) reload();
}

void SettingsPage::cancel() {
  reload();
}

void SettingsPage::reload() {
  loading_ = true;
  load_controls();
  loading_ = false;
  set_clean();
}

void SettingsPage::set_clean() {
  modified_ = false;
  // The focus leaves a button before it goes off, so the keyboard stays on the page.
  if (ok_->hasFocus() || cancel_->hasFocus()) focusNextChild();
  ok_->setEnabled(false);
  cancel_->setEnabled(false);
}

void SettingsPage::warn(const QString& text, const QString& title) {
  warn_(this, title.isEmpty() ? QString::fromLatin1(store::kProductName) : title, text);
}

void SettingsPage::changed() {
  if (loading_ || modified_) return;
  modified_ = true;
  ok_->setEnabled(true);
  cancel_->setEnabled(true);
}

void SettingsPage::watch(QLineEdit* edit) {
  connect(edit, &QLineEdit::textEdited, this, &SettingsPage::changed);
}

void SettingsPage::watch(QPlainTextEdit* edit) {
  connect(edit, &QPlainTextEdit::textChanged, this, &SettingsPage::changed);
}

void SettingsPage::watch(QAbstractButton* box) {
  connect(box, &QAbstractButton::toggled, this, &SettingsPage::changed);
}

void SettingsPage::watch(QSlider* slider) {
  connect(slider, &QSlider::valueChanged, this, &SettingsPage::changed);
}

void SettingsPage::watch(QComboBox* list) {
  connect(list, &QComboBox::currentIndexChanged, this, &SettingsPage::changed);
}

QHBoxLayout* SettingsPage::bottom_row(const char* notes) {
  notes_ = new QPlainTextEdit(this);
  notes_->setReadOnly(true);
  notes_->setPlainText(QString::fromLatin1(notes).replace(QStringLiteral("\r\n"), "\n"));
  notes_->setAccessibleName(QStringLiteral("usage notes"));
  notes_->setTabChangesFocus(true);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  buttons->addStretch();
  auto* row = new QHBoxLayout;
  row->addWidget(notes_, 1);
  row->addLayout(buttons);
  return row;
}

}  // namespace qorda::admin
