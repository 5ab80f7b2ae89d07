// What the control connection and the engine ask of a session's data connection. This is the
// one place in session/ that looks inside dsock_c.
#pragma once

namespace qorda::session {

class csock_c;

// A data connection is connected and a transfer is under way.
bool transfer_running(const csock_c& s);
// The STAT reply during a transfer (213 with the progress).
void reply_transfer_status(csock_c& s);
// The data-connection line of STAT without argument.
void reply_data_connection_line(csock_c& s);
// The session's current transfer rate in KiB/s (0 without a moving transfer).
double data_throughput(const csock_c& s);
// Destroys the session's data connection, if any, without reply.
void destroy_data(csock_c& s);
// ABOR while a transfer is running: 426, then 226 (a retrieval's charge is refunded).
void abort_transfer(csock_c& s);
// Before a transfer or listing command: makes the default active data connection when the
// session has none. False when that failed (it replied); the command then ends.
bool chkdata(csock_c& s);

}  // namespace qorda::session
