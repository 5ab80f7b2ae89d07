// The "Disconnect Client" rules, shared by the status tab's dialog and `qorda kick`: a client that
// is not logged in, or whose account no longer exists, is disconnected at once; for a logged-in
// one the administrator's choice (disable the account, ban the address) is applied to the store
// first, then the client is disconnected.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "control/target.h"
#include "vfs/ipban.h"

namespace qorda::control {

struct DisconnectChoice {
  bool disable_account = false;
  bool ban_ip = false;
};

enum class DisconnectOutcome {
  Nothing,    // no such connection, or it is already closing
  AtOnce,     // not logged in or no account: disconnected without asking
  Cancelled,  // the administrator left the connection alone
  Confirmed,  // the choice was applied to the account and the client disconnected
};

struct DisconnectResult {
  DisconnectOutcome outcome = DisconnectOutcome::Nothing;
  vfs::BanResult ban;  // what was done to the account (Confirmed only)
};

// Asks for the choice, given the client's address; nothing means cancel.
using DisconnectAsker =
    std::function<std::optional<DisconnectChoice>(const std::array<uint8_t, 4>& address)>;

// The disconnect of connection `id`, asking through `ask` when the client is logged in to an
// existing account.
DisconnectResult disconnect_client(ControlTarget& target, uint32_t id, const DisconnectAsker& ask);

}  // namespace qorda::control
