#include "control/disconnect_rules.h"

#include "store/records.h"

namespace qorda::control {

DisconnectResult disconnect_client(ControlTarget& target, uint32_t id, const DisconnectAsker& ask) {
  DisconnectResult r;
  const std::optional<session::ConnectionView> view = target.connection(id);
  if (!view || view->closing) return r;

  store::UserRecord account;
  account.name = view->user;
  const bool has_account =
      view->logged_in && store::read_user(target.store(), account,
                                          store::UserParts{.main_fields = true, .counters = false});
  if (!has_account) {
    target.disconnect(id);
    r.outcome = DisconnectOutcome::AtOnce;
    return r;
  }

  const std::optional<DisconnectChoice> choice = ask(view->address);
  if (!choice) {
    r.outcome = DisconnectOutcome::Cancelled;
    return r;
  }
  if (choice->disable_account || choice->ban_ip) {
    r.ban = vfs::ban_client_address(target.store(), view->user, view->address,
                                    choice->disable_account, choice->ban_ip);
  }
  // Asking may have run the event loop (a modal dialog): the client may have left meanwhile and
  // a new connection may have been given the same socket number. Only the client that was asked
  // about is dropped.
  const std::optional<session::ConnectionView> still = target.connection(id);
  if (still && still->user == view->user && still->address == view->address) {
    target.disconnect(id);
  }
  r.outcome = DisconnectOutcome::Confirmed;
  return r;
}

}  // namespace qorda::control
