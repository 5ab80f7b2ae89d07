// The administrator's "ban ip number" / "disable account" action on a logged-in client: edits the
// stored user and template records so that the client's address is denied from the next login.
#pragma once

#include <string_view>

#include "platform/registry.h"
#include "platform/result.h"
#include "vfs/ipmask.h"

namespace qorda::vfs {

enum class BanOutcome {
  NotRequested,     // ban_ip was false
  UnknownUser,      // the user's record no longer exists; nothing was written
  Banned,           // a deny line for the address was appended
  AlreadyDenied,    // the best entry already denies the address; nothing added
  NoMatchingEntry,  // no entry matches (the server default decides); nothing added
};

struct BanResult {
  platform::Status status;  // a failed write; the records are then unchanged
  BanOutcome outcome = BanOutcome::NotRequested;
  bool disabled = false;  // the account's disable flag was set
};

// Re-reads the user's record (and its template's, when it has one), sets the disable flag when
// `disable_account`, and when `ban_ip` finds the best entry for `addr` as at login. When that
// entry allows the address, every exact (score 12) allow line for the address is removed from its
// list and "[u] d a.b.c.d" (user list) or "[t] d a.b.c.d" (template list) is appended to that
// list. When no entry matches or the best one already denies, no entry is added: the outcome
// tells the caller, who can say so. Changed records are written back (the user's main fields
// only, so the statistics the server writes are left alone). Disconnecting the client is the
// caller's part.
BanResult ban_client_address(platform::Registry& reg, std::string_view user_name,
                             const IpBytes& addr, bool disable_account, bool ban_ip);

}  // namespace qorda::vfs
