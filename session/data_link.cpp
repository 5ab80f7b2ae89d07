#include "session/data_link.h"

#include "engine/netmodule.h"
#include "session/csock.h"
#include "transfer/dsock.h"
#include "transfer/transfer.h"

namespace qorda::session {

bool transfer_running(const csock_c& s) {
  return s.data != nullptr && s.data->connected && s.data->direction != transfer::kNoTransfer;
}

void reply_transfer_status(csock_c& s) {
  const transfer::dsock_c* d = s.data;
  if (d == nullptr) return;
  if (d->direction == transfer::kSend) {
    s.reply(213, "Status: %llu of %llu bytes transferred",
            static_cast<unsigned long long>(d->position),
            static_cast<unsigned long long>(d->total_bytes));
  } else {
    s.reply(213, "Status: %llu bytes transferred", static_cast<unsigned long long>(d->position));
  }
}

void reply_data_connection_line(csock_c& s) {
  const transfer::dsock_c* d = s.data;
  if (d == nullptr) {
    s.reply(0, "    No data connection.");
    return;
  }
  const platform::SockAddr& a = d->kind == transfer::kPassive ? d->local_addr : d->remote_addr;
  s.reply(0,
          d->kind == transfer::kPassive ? "    in Passive mode (%u,%u,%u,%u,%u,%u)"
                                        : "    PORT (%u,%u,%u,%u,%u,%u)",
          a.byte(0), a.byte(1), a.byte(2), a.byte(3), static_cast<unsigned>(a.port >> 8),
          static_cast<unsigned>(a.port & 0xff));
}

double data_throughput(const csock_c& s) {
  const transfer::dsock_c* d = s.data;
  if (d == nullptr || !d->connected || d->done) return 0.0;
  return d->speed();
}

void destroy_data(csock_c& s) {
  if (s.data != nullptr) transfer::destroy(s.data);
  s.data = nullptr;
}

void abort_transfer(csock_c& s) {
  transfer::abort_running(s);
}

bool chkdata(csock_c& s) {
  return transfer::chkdata(s);
}

}  // namespace qorda::session
