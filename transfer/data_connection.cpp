#include "transfer/data_connection.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "log/descriptors.h"
#include "platform/event_loop.h"
#include "platform/send_file.h"

namespace qorda::transfer {

using platform::MsgKind;

uint32_t kb_of(uint64_t bytes) {
  const uint64_t kb = bytes / 1024;
  return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
}

uint64_t restart_at(int64_t rest_offset, uint64_t length) {
  // The offset is compared as an unsigned number: a negative one lies beyond every end.
  const auto want = static_cast<uint64_t>(rest_offset);
  return want < length ? want : length;
}

double transfer_rate_kbps(uint64_t moved_bytes, uint32_t elapsed_ms) {
  if (elapsed_ms < 55) elapsed_ms = 27;
  return (static_cast<double>(moved_bytes) / 1024.0) / (elapsed_ms * 0.001);
}

bool ratio_refuses(uint32_t u, uint32_t d, uint32_t up, uint32_t down) {
  if (u == 0) return true;
  if (d == 0) return false;
  const double want = static_cast<double>(up) / static_cast<double>(down);
  const double have = static_cast<double>(u) / static_cast<double>(d);
  // A ratio that is not a number or infinite refuses too.
  return !std::isfinite(want) || have < want;
}

// ---- construction and teardown ----

DataConnection::DataConnection(platform::Socket s, Kind kind)
    : socket_(std::move(s)), kind_(kind) {}

std::unique_ptr<DataConnection> DataConnection::create(platform::EventLoop& loop, Kind kind,
                                                       OpenFailure& failure) {
  failure = {};
  platform::Result<platform::Socket> s = platform::Socket::tcp(&loop);
  if (!s.ok()) {
    log::report_open_failure(s.err, "data socket");
    failure.err = s.err;
    return nullptr;
  }
  failure.stage = 1;
  return std::unique_ptr<DataConnection>(new DataConnection(std::move(*s), kind));
}

std::unique_ptr<DataConnection> DataConnection::open_active(platform::EventLoop& loop,
                                                            platform::SockAddr local,
                                                            platform::SockAddr remote,
                                                            OpenFailure& failure) {
  std::unique_ptr<DataConnection> d = create(loop, Kind::Active, failure);
  if (!d) return nullptr;
  d->local_addr_ = local;
  d->remote_addr_ = remote;
  auto fail = [&failure](int err) {
    failure.err = err;
    return nullptr;
  };
  if (auto st = d->socket_.select(MsgKind::Data, platform::FD_CONNECT); !st.ok())
    return fail(st.err);
  ++failure.stage;
  if (auto st = d->socket_.set_reuse_addr(true); !st.ok()) return fail(st.err);
  ++failure.stage;
  if (auto st = d->socket_.bind(local); !st.ok()) return fail(st.err);
  ++failure.stage;
  return d;
}

std::unique_ptr<DataConnection> DataConnection::open_passive(platform::EventLoop& loop,
                                                             uint32_t local_ip,
                                                             std::optional<uint32_t> only_from,
                                                             OpenFailure& failure) {
  std::unique_ptr<DataConnection> d = create(loop, Kind::Passive, failure);
  if (!d) return nullptr;
  d->only_from_ = only_from;
  d->local_addr_ = platform::SockAddr{local_ip, 0};
  auto fail = [&failure](int err) {
    failure.err = err;
    return nullptr;
  };
  if (auto st = d->socket_.select(MsgKind::Data, platform::FD_ACCEPT); !st.ok())
    return fail(st.err);
  ++failure.stage;
  // The port is picked here rather than by the kernel: its port-0 search steps over every
  // TIME_WAIT socket that busy passive transfers leave behind. bind_ephemeral sets address reuse
  // itself, so the reuse step only counts, keeping the failure codes of the later steps.
  ++failure.stage;
  if (auto st = d->socket_.bind_ephemeral(local_ip); !st.ok()) return fail(st.err);
  ++failure.stage;
  platform::Result<platform::SockAddr> bound = d->socket_.local_addr();
  if (!bound.ok()) return fail(bound.err);
  d->local_addr_ = *bound;
  ++failure.stage;
  if (auto st = d->socket_.listen(kPassiveBacklog); !st.ok()) return fail(st.err);
  ++failure.stage;
  return d;
}

DataConnection::~DataConnection() {
  if (direction_ == Direction::Receive && !finished_ && buf_len_ > 0 && file_.valid()) {
    file_.write(file_buf_.get(), buf_len_);
  }
  if (socket_.valid()) {
    socket_.select(MsgKind::Data, 0);
    if (tls_.established()) tls_.close_notify();
    socket_.shutdown_send();
    socket_.close();
  }
}

platform::Status DataConnection::connect_if_needed() {
  if (kind_ != Kind::Active || connected_) return {};
  return socket_.connect(remote_addr_);
}

// ---- start of a transfer ----

void DataConnection::start_transfer(Direction dir, ListMode mode, const std::string& path,
                                    uint32_t now) {
  list_mode_ = mode;
  const size_t slash = path.rfind('/');
  file_name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  file_path_ = path;
  direction_ = dir;
  if (ready()) begin_moving(now);
}

void DataConnection::send_file(platform::File file, uint64_t offset, uint64_t total,
                               const std::string& path, uint32_t now) {
  file_ = std::move(file);
  total_bytes_ = total;
  position_ = offset;
  start_transfer(Direction::Send, ListMode::File, path, now);
}

void DataConnection::receive_file(platform::File file, uint64_t offset, const std::string& path,
                                  uint32_t now) {
  file_ = std::move(file);
  file_buf_ = std::make_unique<char[]>(kRecvBuf);
  position_ = offset;
  // The size of the file as it grows: what is kept plus every byte received.
  total_bytes_ = offset;
  start_transfer(Direction::Receive, ListMode::File, path, now);
}

void DataConnection::send_listing(ListMode mode, const std::string& path, uint32_t now) {
  // What STAT reports as the size of the transfer under way.
  total_bytes_ = 0;
  for (const ListChunk& c : list_chunks_) total_bytes_ += c.fill - c.read;
  start_transfer(Direction::Send, mode, path, now);
}

void DataConnection::begin_moving(uint32_t now) {
  start_tick_ = now;
  const uint32_t mask = direction_ == Direction::Send ? platform::FD_WRITE | platform::FD_CLOSE
                                                      : platform::FD_READ | platform::FD_CLOSE;
  socket_.select(MsgKind::Data, mask);
}

void DataConnection::append_list_text(const char* p, size_t n) {
  while (n > 0) {
    if (list_chunks_.empty() || list_chunks_.back().fill == kListChunk) list_chunks_.emplace_back();
    ListChunk& c = list_chunks_.back();
    const size_t k = std::min(n, kListChunk - c.fill);
    std::copy(p, p + k, c.bytes.data() + c.fill);
    c.fill += k;
    p += k;
    n -= k;
  }
}

double DataConnection::speed(uint32_t now) const {
  return transfer_rate_kbps(moved_bytes_, now - start_tick_);
}

// ---- the loops ----

Progress DataConnection::write_loop() {
  if (direction_ != Direction::Send || finished_) return Progress::Waiting;
  // Past the budget, a fresh writable event continues after the other clients had their turn.
  const uint64_t stop_at = moved_bytes_ + kEventBudget;
  auto yield = [this] {
    socket_.select(MsgKind::Data, platform::FD_WRITE | platform::FD_CLOSE);
    return Progress::Waiting;
  };
  auto end = [this](Progress p) {
    finished_ = true;
    return p;
  };
  if (list_mode_ == ListMode::File) {
    const Progress p = zero_copy_ ? send_file_bytes(stop_at) : send_staged_file_bytes(stop_at);
    if (p == Progress::Sent || p == Progress::ReadFailed) return end(p);
    // Waiting with room left to send means the budget is spent.
    return can_send_ ? yield() : p;
  }
  while (can_send_) {
    if (list_chunks_.empty()) return end(Progress::Sent);
    ListChunk& c = list_chunks_.front();
    // Capped at the budget: a TLS write retried after "would block" is then never shorter
    // than the one that blocked (the next event's budget is whole again).
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(c.fill - c.read, stop_at - moved_bytes_));
    platform::IoResult r = send_bytes(c.bytes.data() + c.read, n);
    if (!r.ok() || r.n < 1) {
      can_send_ = false;
      return Progress::Waiting;
    }
    c.read += r.n;
    moved_bytes_ += r.n;
    position_ += r.n;
    // A partial send goes round again: the next send either moves more or would block, and
    // only a blocked send brings another writable event.
    if (c.read == c.fill) list_chunks_.pop_front();
    if (moved_bytes_ >= stop_at && !list_chunks_.empty()) return yield();
  }
  return Progress::Waiting;
}

Progress DataConnection::send_file_bytes(uint64_t stop_at) {
  while (can_send_) {
    // Never more than the size announced: a file that grows while it is sent (the live log
    // file) ends at the size it had when it was opened.
    const uint64_t left = total_bytes_ > position_ ? total_bytes_ - position_ : 0;
    if (left == 0) return Progress::Sent;
    const size_t want = static_cast<size_t>(std::min(left, stop_at - moved_bytes_));
    platform::IoResult r = tls_.valid() ? tls_.send_file(file_, position_, want)
                                        : platform::send_file(socket_, file_, position_, want);
    if (r.would_block()) {
      can_send_ = false;  // the next writable event (or the close) continues
      return Progress::Waiting;
    }
    if (!r.ok()) {
      // Refused for this file or socket, or failed on one of the two sides: the ordinary path
      // takes over from here and tells a read error from a send error as it always has.
      zero_copy_ = false;
      return send_staged_file_bytes(stop_at);
    }
    // A file that ends before the size announced (it shrank while it was sent) cannot give
    // the client what the 150 reply promised: a read error, not a complete transfer.
    if (r.n == 0) return Progress::ReadFailed;
    moved_bytes_ += r.n;
    position_ += r.n;
    if (position_ == total_bytes_) return Progress::Sent;
    // A partial send goes round again: the next call either moves more or would block, and
    // only a blocked send brings another writable event.
    if (moved_bytes_ >= stop_at) return Progress::Waiting;
  }
  return Progress::Waiting;
}

Progress DataConnection::send_staged_file_bytes(uint64_t stop_at) {
  if (!file_buf_) {
    // The zero-copy path leaves the file's own offset alone: reading resumes at the position.
    file_buf_ = std::make_unique<char[]>(tls_.valid() ? kTlsFileBuf : kFileBuf);
    buf_pos_ = buf_len_ = 0;
    if (!file_.seek(position_).ok()) return Progress::ReadFailed;
  }
  while (can_send_) {
    if (buf_pos_ == buf_len_) {
      const uint64_t left = total_bytes_ > position_ ? total_bytes_ - position_ : 0;
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(tls_.valid() ? kTlsFileBuf : kFileBuf, left));
      platform::IoResult r{0, 0};
      if (want > 0) r = file_.read(file_buf_.get(), want);
      if (!r.ok() || (want > 0 && r.n == 0)) return Progress::ReadFailed;
      buf_pos_ = 0;
      buf_len_ = r.n;
    }
    if (buf_len_ == 0) return Progress::Sent;
    // Under TLS the whole buffer goes as one record; a segment-sized record would waste both.
    const size_t piece =
        tls_.valid() ? buf_len_ - buf_pos_ : std::min(buf_len_ - buf_pos_, kSendPiece);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, stop_at - moved_bytes_));
    platform::IoResult r = send_bytes(file_buf_.get() + buf_pos_, n);
    if (!r.ok() || r.n < 1) {
      can_send_ = false;
      return Progress::Waiting;
    }
    buf_pos_ += r.n;
    moved_bytes_ += r.n;
    position_ += r.n;
    if (position_ == total_bytes_) return Progress::Sent;
    if (moved_bytes_ >= stop_at) return Progress::Waiting;
  }
  return Progress::Waiting;
}

bool DataConnection::flush_received() {
  if (buf_len_ == 0) return true;
  platform::IoResult w = file_.write(file_buf_.get(), buf_len_);
  if (!w.ok() || w.n != buf_len_) return false;
  buf_len_ = 0;
  return true;
}

Progress DataConnection::read_loop(bool drain) {
  if (finished_) return Progress::Waiting;
  if (direction_ == Direction::Receive) {
    // Past the budget the loop returns with bytes still waiting; having received, it gets
    // another readable event for them in the next round.
    const uint64_t stop_at = moved_bytes_ + kEventBudget;
    bool tls_closed = false;
    while (can_recv_ && (drain || moved_bytes_ < stop_at)) {
      platform::IoResult r = recv_bytes(file_buf_.get() + buf_len_, kRecvBuf - buf_len_);
      if (!r.ok() || r.n < 1) {
        can_recv_ = false;
        tls_closed = tls_.valid() && r.ok();
        break;
      }
      position_ += r.n;
      moved_bytes_ += r.n;
      total_bytes_ += r.n;
      buf_len_ += r.n;
      if (buf_len_ == kRecvBuf && !flush_received()) {
        finished_ = true;
        return Progress::WriteFailed;
      }
    }
    // The socket has nothing more for now (or the budget is spent): what arrived goes to the
    // file before the loop turns to the other clients.
    if (!flush_received()) {
      finished_ = true;
      return Progress::WriteFailed;
    }
    // The client's close_notify ends the upload: it waits for ours before it closes.
    if (tls_closed) {
      finished_ = true;
      return Progress::Received;
    }
    // Bytes decrypted but not yet taken are announced by no socket event: another turn.
    if (tls_.pending() && socket_.loop() != nullptr) {
      socket_.loop()->post_event(socket_.fd(), platform::FD_READ);
    }
    return Progress::Waiting;
  }
  // Nothing is being received: what arrives is read and dropped.
  char sink[kDiscardPiece];
  for (;;) {
    platform::IoResult r = recv_bytes(sink, sizeof sink);
    if (!r.ok() || r.n == 0) break;
  }
  return Progress::Waiting;
}

bool DataConnection::client_took_bytes() {
  if (direction_ != Direction::Send || !connected_ || finished_) return false;
  // A slow client drains a large send buffer for a long time before the write loop gets room
  // again. The unacknowledged bytes move only when the client takes some or the write loop adds
  // some, both activity; a client that stops reading leaves them standing and still times out.
  platform::Result<size_t> unacked = socket_.unacked_bytes();
  if (!unacked.ok()) return false;
  const bool moved = seen_unacked_ != kNotSeen && *unacked != seen_unacked_;
  seen_unacked_ = *unacked;
  return moved;
}

// ---- events ----

EventOutcome DataConnection::handle_event(uint32_t event, int error, uint32_t now) {
  if (tls_.valid() && !secured_ && !finished_) {
    if (event == platform::FD_READ || event == platform::FD_WRITE) return tls_handshake_step(now);
    if (event == platform::FD_CLOSE) {
      finished_ = true;
      if (direction_ == Direction::None) return EventOutcome{Progress::Closed};
      return EventOutcome{Progress::TlsFailed};
    }
  }
  switch (event) {
    case platform::FD_READ:
      return on_read();
    case platform::FD_WRITE:
      return on_write();
    case platform::FD_ACCEPT:
      return on_accept(error, now);
    case platform::FD_CONNECT:
      return on_connect(error, now);
    case platform::FD_CLOSE:
      return on_close();
    default:
      return {};
  }
}

EventOutcome DataConnection::on_connect(int err, uint32_t now) {
  if (err != 0) return EventOutcome{Progress::ConnectFailed, err};
  connected_ = true;
  if (tls_control_ != nullptr) return start_tls();
  if (direction_ != Direction::None) begin_moving(now);
  return EventOutcome{Progress::Connected};
}

EventOutcome DataConnection::on_accept(int err, uint32_t now) {
  if (err != 0) return {};
  platform::SockAddr peer;
  platform::Result<platform::Socket> a = socket_.accept(&peer);
  if (!a.ok()) {
    // A connection that went away before it was taken leaves nothing to accept: keep waiting.
    if (a.err == EAGAIN || a.err == EWOULDBLOCK) return {};
    log::report_open_failure(a.err, "data accept");
    return EventOutcome{Progress::AcceptFailed, a.err};
  }
  if (only_from_ && peer.addr != *only_from_) {
    // SECURITY: without third-party transfers, only the client itself may use the passive
    // port; a connection from elsewhere could steal or inject the file.
    a->close();
    return EventOutcome{Progress::RefusedPeer, 0, peer};
  }
  // The listener has done its work; it never sent anything, so it is closed without a shutdown.
  socket_.select(MsgKind::Data, 0);
  socket_.close();
  socket_ = std::move(*a);
  connected_ = true;
  if (tls_control_ != nullptr) return start_tls();
  if (direction_ != Direction::None) begin_moving(now);
  return EventOutcome{Progress::Connected};
}

// ---- PROT P ----

bool DataConnection::protect(const platform::TlsStream& control) {
  tls_control_ = &control;
  if (!connected_ || tls_.valid()) return true;
  return start_tls().progress == Progress::Connected;
}

bool DataConnection::unprotect() {
  if (tls_.valid()) return false;
  tls_control_ = nullptr;
  return true;
}

EventOutcome DataConnection::start_tls() {
  platform::Result<platform::TlsStream> t = platform::TlsStream::data(*tls_control_, socket_);
  if (!t.ok()) {
    finished_ = true;
    return EventOutcome{Progress::TlsFailed};
  }
  tls_ = std::move(*t);
  // The client speaks first (its ClientHello); the handshake moves on both kinds of event.
  socket_.select(MsgKind::Data, platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE);
  return EventOutcome{Progress::Connected};
}

EventOutcome DataConnection::tls_handshake_step(uint32_t now) {
  platform::Status st = tls_.handshake();
  if (st.err == EAGAIN) return {};
  finished_ = !st.ok();
  if (!st.ok()) return EventOutcome{Progress::TlsFailed};
  // SECURITY: the data connection must be the client's own: one that does not resume the
  // control connection's session may come from anyone who found the port (data theft or
  // injection), however it authenticated its own TLS session.
  if (!tls_.resumes(*tls_control_)) {
    finished_ = true;
    return EventOutcome{Progress::TlsNotResumed};
  }
  secured_ = true;
  if (direction_ != Direction::None) {
    begin_moving(now);
  } else {
    socket_.select(MsgKind::Data, platform::FD_CLOSE);
  }
  return EventOutcome{Progress::Secured};
}

platform::IoResult DataConnection::send_bytes(const void* buf, size_t len) {
  return tls_.valid() ? tls_.write(buf, len) : socket_.send(buf, len);
}

platform::IoResult DataConnection::recv_bytes(void* buf, size_t len) {
  return tls_.valid() ? tls_.read(buf, len) : socket_.recv(buf, len);
}

EventOutcome DataConnection::on_write() {
  can_send_ = true;
  return EventOutcome{write_loop()};
}

EventOutcome DataConnection::on_read() {
  can_recv_ = true;
  return EventOutcome{read_loop(false)};
}

EventOutcome DataConnection::on_close() {
  if (direction_ == Direction::Send) {
    finished_ = true;
    return EventOutcome{Progress::ClientClosed};
  }
  if (direction_ == Direction::None) return EventOutcome{Progress::Closed};
  // Every byte received before the close has passed through the read loop; what is left in the
  // staging buffer goes to the file now.
  can_recv_ = true;
  const Progress drained = read_loop(true);
  if (drained == Progress::Received) return EventOutcome{Progress::Received};  // close_notify
  if (drained == Progress::WriteFailed || finished_) {
    finished_ = true;
    return EventOutcome{Progress::WriteFailed};
  }
  finished_ = true;
  if (!flush_received()) return EventOutcome{Progress::WriteFailed};
  // SECURITY: under TLS a connection that ends without close_notify may have been cut by
  // someone in the path; the bytes stay in the file, but the upload is not reported complete.
  if (tls_.valid()) return EventOutcome{Progress::ClientClosed};
  return EventOutcome{Progress::Received};
}

}  // namespace qorda::transfer
