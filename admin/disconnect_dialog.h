// "Disconnect Client" and the disconnect of a selected client: a client that is not logged in,
// or whose account no longer exists, is disconnected at once; a logged-in one is disconnected
// after the administrator chose whether to disable its account and ban its address too.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "control/disconnect_rules.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qorda::admin {

class ServerControl;

// The rules themselves are shared with `qorda kick` (control/disconnect_rules.h).
using control::DisconnectChoice;
using control::DisconnectOutcome;
using control::DisconnectResult;

// "a.b.c.d".
QString dotted_address(const std::array<uint8_t, 4>& address);

class DisconnectDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit DisconnectDialog(const QString& address, QWidget* parent = nullptr);

  QCheckBox* disable_box() const { return disable_; }
  QCheckBox* ban_box() const { return ban_; }
  QLineEdit* address_field() const { return address_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* cancel_button() const { return cancel_; }
  // The choice once the dialog ended with ok; nothing after cancel (or while it runs).
  std::optional<DisconnectChoice> choice() const;

  // Runs the dialog modally over `parent`.
  static std::optional<DisconnectChoice> ask(QWidget* parent, const QString& address);

 private:
  QCheckBox* disable_;
  QCheckBox* ban_;
  QLineEdit* address_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// Asks for the choice, given the client's address; nothing means cancel.
using DisconnectAsker = std::function<std::optional<DisconnectChoice>(const QString& address)>;

// The disconnect of connection `id`, asking through `ask` when the client is logged in to an
// existing account.
DisconnectResult disconnect_client(ServerControl& control, uint32_t id, const DisconnectAsker& ask);

}  // namespace qorda::admin
