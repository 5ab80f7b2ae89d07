#include "admin/disconnect_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"
#include "admin/server_control.h"

namespace qorda::admin {

QString dotted_address(const std::array<uint8_t, 4>& a) {
  return QStringLiteral("%1.%2.%3.%4").arg(a[0]).arg(a[1]).arg(a[2]).arg(a[3]);
}

DisconnectDialog::DisconnectDialog(const QString& address, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Disconnect Client"));
  setModal(true);
  disable_ = new QCheckBox(QStringLiteral("disable account"), this);
  disable_->setAccessibleName(disable_->text());
  ban_ = new QCheckBox(QStringLiteral("ban ip number"), this);
  ban_->setAccessibleName(ban_->text());
  address_ = new QLineEdit(address, this);
  address_->setReadOnly(true);
  address_->setAccessibleName(QStringLiteral("ip number"));
  const OkCancelRow buttons = ok_cancel_row(this);
  ok_ = buttons.ok;
  cancel_ = buttons.cancel;
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(disable_);
  layout->addWidget(ban_);
  layout->addWidget(address_);
  layout->addLayout(buttons.layout);
  setTabOrder(disable_, ban_);
  setTabOrder(ban_, address_);
  setTabOrder(address_, ok_);
  setTabOrder(ok_, cancel_);
}

std::optional<DisconnectChoice> DisconnectDialog::choice() const {
  if (result() != QDialog::Accepted) return std::nullopt;
  return DisconnectChoice{disable_->isChecked(), ban_->isChecked()};
}

std::optional<DisconnectChoice> DisconnectDialog::ask(QWidget* parent, const QString& address) {
  DisconnectDialog d(address, parent);
  d.exec();
  return d.choice();
}

DisconnectResult disconnect_client(ServerControl& control, uint32_t id,
                                   const DisconnectAsker& ask) {
  return control::disconnect_client(
      control.target(), id,
      [&ask](const std::array<uint8_t, 4>& address) { return ask(dotted_address(address)); });
}

}  // namespace qorda::admin
