#include "session/data_link.h"

#include "log/log.h"
#include "platform/event_loop.h"
#include "session/cmd_transfer.h"
#include "session/session.h"
#include "store/settings.h"

namespace qorda::session {

using transfer::Direction;
using transfer::ListMode;
using transfer::Progress;

void reply_transfer_status(Session& s) {
  const transfer::DataConnection* d = s.data();
  if (d == nullptr) return;
  if (d->direction() == Direction::Send) {
    s.reply(213, "Status: %llu of %llu bytes transferred",
            static_cast<unsigned long long>(d->position()),
            static_cast<unsigned long long>(d->total_bytes()));
  } else {
    s.reply(213, "Status: %llu bytes transferred", static_cast<unsigned long long>(d->position()));
  }
}

void reply_data_connection_line(Session& s) {
  const transfer::DataConnection* d = s.data();
  if (d == nullptr) {
    s.reply(0, "    No data connection.");
    return;
  }
  const bool passive = d->kind() == transfer::Kind::Passive;
  const platform::SockAddr& a = passive ? d->local_addr() : d->remote_addr();
  s.reply(0, passive ? "    in Passive mode (%u,%u,%u,%u,%u,%u)" : "    PORT (%u,%u,%u,%u,%u,%u)",
          a.byte(0), a.byte(1), a.byte(2), a.byte(3), static_cast<unsigned>(a.port >> 8),
          static_cast<unsigned>(a.port & 0xff));
}

void abort_transfer(Session& s) {
  transfer::DataConnection* d = s.data();
  if (d == nullptr) return;
  if (d->direction() == Direction::Send && d->list_mode() == ListMode::File) {
    refund_download(s, *d);
  }
  s.drop_data();
  s.reply(426, "Transfer aborted. Data connection closed.");
  s.reply(226, "Transfer aborted.");
}

std::unique_ptr<transfer::DataConnection> open_active_data(Session& s) {
  const platform::SockAddr local{s.local_addr.addr,
                                 static_cast<uint16_t>(s.host().settings().iport - 1)};
  platform::SockAddr remote;
  for (int i = 0; i < 4; ++i) remote.addr = (remote.addr << 8) | s.data_addr[i];
  remote.port = static_cast<uint16_t>((s.data_port[0] << 8) | s.data_port[1]);
  transfer::OpenFailure failure;
  auto d = transfer::DataConnection::open_active(s.host().loop(), local, remote, failure);
  if (!d) {
    s.log(log::Level::Debug, "***DEBUG: dsock_c::dsock_c() failed, type# %d, code# %d, err# %d",
          static_cast<int>(transfer::Kind::Active), failure.stage, failure.err);
    s.reply(425, "Can't create data socket.");
  }
  return d;
}

bool ensure_data_connection(Session& s) {
  transfer::DataConnection* d0 = s.data();
  // SECURITY: PROT P given after PASV or PORT still protects the transfer: a connection made
  // under PROT C becomes TLS before it carries anything, instead of sending in clear.
  if (d0 != nullptr && s.protect_data && s.tls_active() && !d0->protected_by_tls() &&
      !d0->running() && !d0->protect(s.control_tls())) {
    s.reply(425, "Can't create data socket.");
    s.drop_data();
    return false;
  }
  // PROT C after PASV or PORT under PROT P: in clear, unless TLS has begun on it already (then
  // the client must make a new one: a clear transfer over it could never start).
  if (d0 != nullptr && !s.protect_data && d0->protected_by_tls() && !d0->unprotect()) {
    s.reply(425, "Can't open data connection.");
    s.drop_data();
    return false;
  }
  if (d0 != nullptr) return true;
  auto d = open_active_data(s);
  if (!d) {
    s.log(log::Level::Debug, "***DEBUG: csock_c::chkdata() failed");
    return false;
  }
  s.set_data(std::move(d));
  return true;
}

// ---- the session's data connection ----

void Session::set_data(std::unique_ptr<transfer::DataConnection> d) {
  drop_data();
  data_ = std::move(d);
  // Not yet connected: the TLS stream is set up when the connection is made.
  if (data_ && protect_data && tls_active()) data_->protect(tls_);
  route_data();
}

void Session::route_data() {
  const int fd = data_ ? data_->socket_handle() : -1;
  if (fd == routed_data_fd_) return;
  if (routed_data_fd_ >= 0) host_.drop_data_route(routed_data_fd_);
  routed_data_fd_ = fd;
  if (fd >= 0) host_.route_data(fd, *this);
}

void Session::drop_data() {
  data_.reset();
  route_data();
}

double Session::transfer_rate() const {
  if (!data_ || !data_->connected()) return 0.0;
  return data_->speed(host_.now());
}

void Session::data_event(uint32_t event, int error) {
  if (!data_) return;
  transfer::DataConnection& d = *data_;
  const uint32_t now = host_.now();
  // Moving bytes, in either direction, is activity.
  if (event == platform::FD_READ ||
      (event == platform::FD_WRITE && d.direction() == Direction::Send) ||
      (event == platform::FD_CLOSE && d.direction() == Direction::Receive)) {
    last_activity = now;
  }
  const transfer::EventOutcome out = d.handle_event(event, error, now);
  const std::string path = log::escape_for_log(d.file_path());
  const bool file = d.list_mode() == ListMode::File;
  switch (out.progress) {
    case Progress::Waiting:
      return;
    case Progress::Connected:
      route_data();  // a passive connection's socket replaced its listener
      return;
    case Progress::RefusedPeer:
      log(log::Level::Security, "Refused data connection from %s (not the client's address).",
          out.peer.dotted().c_str());
      return;
    case Progress::ConnectFailed:
      reply(425, "Can't build data connection.");
      flush();
      log(log::Level::Debug, "***DEBUG: nproc() failed, WS_DATA/FD_CONNECT err# %d", out.error);
      log(log::Level::Actions, "Transfer aborted (%s).", "no data conn.");
      drop_data();
      return;
    case Progress::AcceptFailed:
      reply(425, "Can't open data connection.");
      flush();
      log(log::Level::Debug, "***DEBUG: nproc() failed, WS_DATA/FD_ACCEPT err# %d", out.error);
      log(log::Level::Actions, "Transfer aborted (%s).", "no data conn.");
      drop_data();
      return;
    case Progress::Sent:
      if (file) {
        log(log::Level::Reads, "Retrieved \"%s\" (%llu bytes %01.2f kb/s).", path.c_str(),
            static_cast<unsigned long long>(d.position()), d.speed(now));
        files_retrieved += 1;
        kb_retrieved += transfer::kb_of(d.total_bytes());
      }
      drop_data();
      reply(226, "Transfer Complete.");
      break;
    case Progress::ReadFailed:
      log(log::Level::Actions, "Transfer aborted (%s).", "read error");
      if (file) refund_download(*this, d);
      drop_data();
      reply(426, "Transfer aborted. Error reading file.");
      break;
    case Progress::WriteFailed:
      log(log::Level::Actions, "Transfer aborted (%s).", "write error");
      drop_data();
      reply(426, "Transfer aborted. Error writing file.");
      break;
    case Progress::ClientClosed:
      log(log::Level::Actions, "Transfer aborted (%s).", "by client");
      if (file) refund_download(*this, d);
      reply(426, "Transfer aborted. Data connection closed.");
      drop_data();
      break;
    case Progress::Received:
      credit_upload(*this, d);
      log(log::Level::Writes, "Stored \"%s\" (%llu bytes %01.2f kb/s).", path.c_str(),
          static_cast<unsigned long long>(d.position()), d.speed(now));
      reply(226, "Transfer Complete.");
      drop_data();
      break;
    case Progress::Closed:
      drop_data();
      break;
    case Progress::Secured:
      log(log::Level::Debug, "Data connection TLS established (%s)", d.tls_version().c_str());
      return;
    case Progress::TlsFailed:
    case Progress::TlsNotResumed: {
      const bool failed = out.progress == Progress::TlsFailed;
      log(log::Level::Debug, "Data connection TLS %s: %s", failed ? "handshake failed" : "refused",
          failed ? log::escape_for_log(d.tls_error()).c_str()
                 : "it did not resume the control connection's TLS session");
      const bool under_way = d.direction() != Direction::None;
      if (under_way) {
        log(log::Level::Actions, "Transfer aborted (%s).", "data TLS");
        if (file && d.direction() == Direction::Send) refund_download(*this, d);
      }
      drop_data();
      // A connection made ahead of its transfer is dropped quietly: no command awaits a reply.
      if (!under_way) return;
      if (failed) {
        reply(522, "Data connection TLS handshake failed.");
      } else {
        reply(522,
              "Data connection refused: it must resume the control connection's TLS "
              "session.");
      }
      break;
    }
  }
  flush();
}

}  // namespace qorda::session
