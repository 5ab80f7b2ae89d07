#include "admin/disconnect_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/dialog_buttons.h"
#include "admin/server_control.h"
#include "store/records.h"

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
  DisconnectResult r;
  const std::optional<session::ConnectionView> view = control.connection(id);
  if (!view || view->closing) return r;

  store::UserRecord account;
  account.name = view->user;
  const bool has_account =
      view->logged_in && store::read_user(control.store(), account,
                                          store::UserParts{.main_fields = true, .counters = false});
  if (!has_account) {
    control.disconnect(id);
    r.outcome = DisconnectOutcome::AtOnce;
    return r;
  }

  const std::optional<DisconnectChoice> choice = ask(dotted_address(view->address));
  if (!choice) {
    r.outcome = DisconnectOutcome::Cancelled;
    return r;
  }
  if (choice->disable_account || choice->ban_ip) {
    r.ban = vfs::ban_client_address(control.store(), view->user, view->address,
                                    choice->disable_account, choice->ban_ip);
  }
  // The dialog ran the event loop: the client may have left meanwhile and a new connection may
  // have been given the same socket number. Only the client that was asked about is dropped.
  const std::optional<session::ConnectionView> still = control.connection(id);
  if (still && still->user == view->user && still->address == view->address) {
    control.disconnect(id);
  }
  r.outcome = DisconnectOutcome::Confirmed;
  return r;
}

}  // namespace qorda::admin
