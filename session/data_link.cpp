#include "session/data_link.h"

#include "session/csock.h"

namespace qorda::session {

// Data connections (dsock_c, PORT/PASV and transfers) are not part of the server yet: no command
// creates one, so `data` is always null here. Each function below is where the data connection
// plugs in.

bool transfer_running(const csock_c&) {
  return false;
}

void reply_transfer_status(csock_c& s) {
  s.reply(213, "Status: %d bytes transferred", 0);
}

void reply_data_connection_line(csock_c& s) {
  s.reply(0, "    No data connection.");
}

double data_throughput(const csock_c&) {
  return 0.0;
}

void destroy_data(csock_c& s) {
  s.data = nullptr;
}

}  // namespace qorda::session
