#include "admin/link_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"

namespace qorda::admin {

LinkDialog::LinkDialog(const QString& location, const QString& target, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Edit Symbolic Link"));
  auto* help = new QPlainTextEdit(this);
  help->setReadOnly(true);
  help->setTabChangesFocus(true);
  help->setAccessibleName(QStringLiteral("explanation"));
  help->setPlainText(QStringLiteral(
      "Remember to specify a full path, including drive letter for the link location. The "
      "target may be a full path or relative to a user's home, i.e. beginning with \"~/\"."));
  help->setFixedHeight(help->fontMetrics().lineSpacing() * 4 + 12);
  location_ = new QLineEdit(location, this);
  target_ = new QLineEdit(target, this);
  auto* location_label = new QLabel(QStringLiteral("&link location"), this);
  auto* target_label = new QLabel(QStringLiteral("&target file or directory"), this);
  location_label->setBuddy(location_);
  target_label->setBuddy(target_);
  location_->setAccessibleName(QStringLiteral("link location"));
  target_->setAccessibleName(QStringLiteral("target file or directory"));
  location_->setMinimumWidth(location_->fontMetrics().averageCharWidth() * 40);

  const OkCancelRow buttons = ok_cancel_row(this);
  ok_ = buttons.ok;
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(help);
  layout->addWidget(location_label);
  layout->addWidget(location_);
  layout->addWidget(target_label);
  layout->addWidget(target_);
  layout->addLayout(buttons.layout);
  location_->setFocus();
}

QString LinkDialog::location() const {
  return location_->text();
}

QString LinkDialog::target() const {
  return target_->text();
}

bool LinkDialog::ask(QWidget* parent, QString* location, QString* target) {
  LinkDialog d(*location, *target, parent);
  if (d.exec() != QDialog::Accepted) return false;
  *location = d.location();
  *target = d.target();
  return true;
}

}  // namespace qorda::admin
