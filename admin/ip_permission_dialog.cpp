#include "admin/ip_permission_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"

namespace qorda::admin {

IpPermissionDialog::IpPermissionDialog(const vfs::IpRecord& rec, QWidget* parent)
    : QDialog(parent), origin_(rec.origin) {
  setWindowTitle(QStringLiteral("Edit IP Permission"));
  auto* help = new QPlainTextEdit(this);
  help->setReadOnly(true);
  help->setTabChangesFocus(true);
  help->setAccessibleName(QStringLiteral("explanation"));
  help->setPlainText(QStringLiteral(
      "Enter a static IP address, or follow the examples below to use wildcards, ranges, or both "
      "to create a mask to match multiple IP addresses.\r\n\tWildcard: '128.2.34.*'\r\n\tRange: "
      "'128.2.34-78.*'"));
  help->setFixedHeight(help->fontMetrics().lineSpacing() * 5 + 12);
  mask_ = new QLineEdit(QString::fromStdString(rec.mask), this);
  auto* label = new QLabel(QStringLiteral("&ip number or mask"), this);
  label->setBuddy(mask_);
  mask_->setAccessibleName(QStringLiteral("ip number or mask"));
  allow_ = new QCheckBox(QStringLiteral("&allow login"), this);
  allow_->setChecked(rec.allow);

  const OkCancelRow buttons = ok_cancel_row(this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(help);
  layout->addWidget(label);
  layout->addWidget(mask_);
  layout->addWidget(allow_);
  layout->addLayout(buttons.layout);
  mask_->setFocus();
}

vfs::IpRecord IpPermissionDialog::record() const {
  return vfs::IpRecord{origin_, allow_->isChecked(), mask_->text().toStdString()};
}

}  // namespace qorda::admin
