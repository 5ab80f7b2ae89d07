// What the control connection and the engine ask of a session's data connection. This is the
// one place that looks inside dsock_c; until data connections are built a session never has one
// (`data` stays null), and these answer for "no data connection".
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

}  // namespace qorda::session
