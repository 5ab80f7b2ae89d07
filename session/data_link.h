// The session's side of its data connection: making the default one, the STAT lines about it,
// ABOR of a running transfer, and what each data-socket event means for the client (the final
// reply, the log line, the statistics).
#pragma once

#include "transfer/data_connection.h"

namespace qorda::session {

class Session;

// The STAT reply during a transfer (213 with the progress).
void reply_transfer_status(Session& s);
// The data-connection line of STAT without argument.
void reply_data_connection_line(Session& s);
// ABOR while a transfer is running: 426, then 226 (a retrieval's charge is refunded).
void abort_transfer(Session& s);
// Makes an active data connection aimed at the session's data address. On failure it has
// logged and replied 425, and returns null.
std::unique_ptr<transfer::DataConnection> open_active_data(Session& s);
// Before a transfer or listing command: makes the default active data connection when the
// session has none, and puts one made before PROT P under TLS. False when that failed (it
// replied); the command then ends.
bool ensure_data_connection(Session& s);

}  // namespace qorda::session
