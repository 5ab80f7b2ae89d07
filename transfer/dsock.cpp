#include "transfer/dsock.h"

#include <algorithm>
#include <cerrno>

#include "engine/netmodule.h"
#include "log/descriptors.h"
#include "log/log.h"
#include "platform/ascii.h"
#include "platform/event_loop.h"
#include "platform/volume.h"
#include "session/csock.h"
#include "store/records.h"
#include "store/settings.h"
#include "transfer/transfer.h"
#include "vfs/resolver.h"

namespace qorda::transfer {

using platform::MsgKind;
using session::csock_c;

namespace {

// The drive path of a virtual path: the virtual form without its leading "/".
std::string local_of(const std::string& vpath) {
  return vpath.empty() || vpath[0] != '/' ? vpath : vpath.substr(1);
}

const char* type_word(const csock_c& s) {
  return s.type == session::kTypeImage ? "BINARY" : "ASCII";
}

}  // namespace

uint32_t kb_of(uint64_t bytes) {
  const uint64_t kb = bytes / 1024;
  return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
}

uint64_t restart_at(int64_t rest_offset, uint64_t length) {
  // The offset is compared as an unsigned number: a negative one lies beyond every end.
  const auto want = static_cast<uint64_t>(rest_offset);
  return want < length ? want : length;
}

// ---- construction and teardown ----

dsock_c::dsock_c(int k, csock_c& o) : owner(&o), kind(k) {
  file_buf = std::make_unique<char[]>(kFileBuf);
  int err = 0;
  if (!build()) {
    err = last_err_;
    owner->log(log::kDebug, "***DEBUG: dsock_c::dsock_c() failed, type# %d, code# %d, err# %d",
               kind, stage_, err);
    if (kind == kActive) {
      owner->reply(425, "Can't create data socket.");
    } else {
      owner->reply(425, "Can't open passive connection. [%u]", static_cast<unsigned>(err));
    }
    done = true;
  }
}

bool dsock_c::build() {
  stage_ = 0;
  platform::Result<platform::Socket> s = platform::Socket::tcp(&owner->net().loop());
  if (!s.ok()) {
    log::report_open_failure(s.err, "data socket");
    last_err_ = s.err;
    return false;
  }
  socket_ = std::move(*s);
  sock = socket_.fd();
  owner->net().data_table().add(this);
  ++stage_;
  local_addr = platform::SockAddr{owner->local_addr.addr, 0};
  auto fail = [this](const platform::Status& st) {
    last_err_ = st.err;
    return false;
  };
  if (kind == kActive) {
    local_addr.port = static_cast<uint16_t>(store::settings().iport - 1);
    if (auto st = socket_.select(MsgKind::Data, platform::FD_CONNECT); !st.ok()) return fail(st);
    ++stage_;
    if (auto st = socket_.set_reuse_addr(true); !st.ok()) return fail(st);
    ++stage_;
    if (auto st = socket_.bind(local_addr); !st.ok()) return fail(st);
    ++stage_;
    remote_addr.addr = 0;
    for (int i = 0; i < 4; ++i) remote_addr.addr = (remote_addr.addr << 8) | owner->data_addr[i];
    remote_addr.port = static_cast<uint16_t>((owner->data_port[0] << 8) | owner->data_port[1]);
    return true;
  }
  if (auto st = socket_.select(MsgKind::Data, platform::FD_ACCEPT); !st.ok()) return fail(st);
  ++stage_;
  // A passive listener takes any free port: address reuse buys nothing there, and with it the
  // kernel checks each candidate port against every TIME_WAIT socket that busy passive
  // transfers leave behind, which made the bind the most expensive step of a small download.
  // The stage still counts, so failure codes of the later steps keep their numbers.
  ++stage_;
  if (auto st = socket_.bind(local_addr); !st.ok()) return fail(st);
  ++stage_;
  platform::Result<platform::SockAddr> bound = socket_.local_addr();
  if (!bound.ok()) return fail(bound.status());
  local_addr = *bound;
  ++stage_;
  if (auto st = socket_.listen(kPassiveBacklog); !st.ok()) return fail(st);
  ++stage_;
  owner->reply(227, "Entering passive mode (%u,%u,%u,%u,%u,%u)", local_addr.byte(0),
               local_addr.byte(1), local_addr.byte(2), local_addr.byte(3),
               static_cast<unsigned>(local_addr.port >> 8),
               static_cast<unsigned>(local_addr.port & 0xff));
  return true;
}

dsock_c::~dsock_c() {
  // An upload that ends without its close (ABOR, the session going away) keeps every byte that
  // arrived: the staged ones go to the file too.
  if (direction == kReceive && !error && buf_len > 0 && file.valid()) {
    file.write(file_buf.get(), buf_len);
  }
  if (sock >= 0) owner->net().data_table().remove(this);
  if (socket_.valid()) {
    socket_.select(MsgKind::Data, 0);
    socket_.shutdown_send();
    socket_.close();
  }
  sock = -1;
  list_chunks.clear();
  file = platform::File{};
  if (owner->data == this) owner->data = nullptr;
}

void destroy(dsock_c* d) {
  delete d;
}

// ---- start of a transfer ----

void dsock_c::start(int dir, int mode, const std::string& path, const std::string& pattern,
                    ListPreparer prepare) {
  if (kind == kActive && !connected) {
    platform::Status st = socket_.connect(remote_addr);
    if (!st.ok()) {
      owner->log(log::kDebug, "***DEBUG: dsock_c::start() failed, err# %d", st.err);
      owner->reply(425, "Can't create data socket.");
      done = true;
      return;
    }
  }
  list_mode = mode;
  const size_t slash = path.rfind('/');
  file_name = slash == std::string::npos ? path : path.substr(slash + 1);
  file_path = path;
  if (mode != kFileTransfer) {
    if (prepare == nullptr) {
      done = true;
      return;
    }
    prepare(*this, path, pattern);
  } else if (dir == kSend) {
    prepare_send(path);
  } else {
    prepare_receive(path);
  }
  if (done) return;
  direction = dir;
  if (connected) begin_moving();
}

void dsock_c::begin_moving() {
  start_tick = engine::now();
  const uint32_t mask = direction == kSend ? platform::FD_WRITE | platform::FD_CLOSE
                                           : platform::FD_READ | platform::FD_CLOSE;
  socket_.select(MsgKind::Data, mask);
}

void dsock_c::prepare_send(const std::string& path) {
  csock_c& s = *owner;
  platform::Result<platform::File> f = platform::File::open_read(local_of(path));
  if (!f.ok()) {
    // The server's own log file can be retrieved while the server writes it.
    log::Logger& lg = log::logger();
    std::string dir, name;
    if (lg.file_open() &&
        vfs::resolve_path(
            s.fs, s.fs.current_dir.path, store::settings().szlogf, &dir, &name,
            {.allow_wildcards = false, .follow_links = true, .check_permissions = true}) ==
            vfs::RESOLVE_OK &&
        platform::ascii_iequal(dir + name, path)) {
      f = platform::File::reopen_read(lg.file_fd());
    }
  }
  if (!f.ok()) {
    log::report_open_failure(f.err, "file open");
    s.reply(450, "%s: Permission denied.", vfs::display_path(s.fs, path).c_str());
    s.log(log::kActions, "Can't retrieve \"%s\" (%s).", log::escape_for_log(path).c_str(),
          "access denied");
    done = true;
    return;
  }
  file = std::move(*f);
  platform::Result<uint64_t> size = file.size();
  total_bytes = size.ok() ? *size : 0;

  if (!charge_download(*this)) {
    done = true;
    return;
  }

  const uint64_t offset = restart_at(s.rest_offset, total_bytes);
  position = offset;
  if (offset != 0) file.seek(offset);  // a file just opened reads from its start
  s.rest_offset = 0;
  s.reply(150, "Opening %s mode data connection for %s (%llu bytes).", type_word(s),
          file_name.c_str(), static_cast<unsigned long long>(total_bytes));
  s.log(log::kActions, "Retrieving \"%s\".", log::escape_for_log(path).c_str());
}

void dsock_c::prepare_receive(const std::string& path) {
  csock_c& s = *owner;
  std::string target = path;
  if (s.unique_store) {
    platform::Result<std::string> made = platform::create_unique(local_of(path));
    if (!made.ok()) {
      log::report_open_failure(made.err, "file open");
      s.reply(550, "%s: Permission denied.", "STOU");
      s.log(log::kActions, "Can't store unique (%s).", "file error");
      done = true;
      return;
    }
    const size_t cut = made->find_last_of("/\\");
    file_name = cut == std::string::npos ? *made : made->substr(cut + 1);
    target = path + file_name;
    file_path = target;
  }
  const std::string shown = vfs::display_path(s.fs, target);
  platform::Result<platform::File> f = platform::File::open_write(local_of(target));
  platform::Result<uint64_t> length;
  if (f.ok()) length = f->size();
  uint64_t offset = 0;
  bool ok = f.ok() && length.ok();
  if (ok) {
    // Without REST the upload replaces the whole file; with it the first bytes stay.
    offset = restart_at(s.rest_offset, *length);
    ok = f->seek(offset).ok() && f->truncate(offset).ok();
  }
  if (!ok) {
    if (!f.ok()) log::report_open_failure(f.err, "file open");
    s.reply(550, "%s: Permission denied.", shown.c_str());
    s.log(log::kActions, "Can't store \"%s\" (%s).", log::escape_for_log(target).c_str(),
          "file error");
    done = true;
    return;
  }
  file = std::move(*f);
  position = offset;
  // The size of the file as it grows: what is kept plus every byte received.
  total_bytes = offset;
  s.rest_offset = 0;
  if (s.unique_store) {
    s.reply(150, "FILE: %s", file_name.c_str());
  } else {
    s.reply(150, "Opening %s mode data connection for %s", type_word(s), file_name.c_str());
  }
  s.log(log::kActions, "Storing \"%s\".", log::escape_for_log(target).c_str());
}

void dsock_c::append_list_text(const char* p, size_t n) {
  while (n > 0) {
    if (list_chunks.empty() || list_chunks.back().fill == kListChunk) list_chunks.emplace_back();
    ListChunk& c = list_chunks.back();
    const size_t k = std::min(n, kListChunk - c.fill);
    std::copy(p, p + k, c.bytes.data() + c.fill);
    c.fill += k;
    p += k;
    n -= k;
  }
}

double dsock_c::speed() const {
  return engine::transfer_rate_kbps(moved_bytes, engine::now() - start_tick);
}

// ---- the loops ----

void dsock_c::write_loop() {
  if (direction != kSend || done) return;
  owner->last_activity = engine::now();
  // Past the budget, a fresh writable event continues after the other clients had their turn.
  const uint64_t stop_at = moved_bytes + kEventBudget;
  auto yield = [this] { socket_.select(MsgKind::Data, platform::FD_WRITE | platform::FD_CLOSE); };
  if (list_mode == kFileTransfer) {
    while (can_send) {
      if (buf_pos == buf_len) {
        // Never more than the size announced: a file that grows while it is sent (the live
        // log file) ends at the size it had when it was opened.
        const uint64_t left = total_bytes > position ? total_bytes - position : 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kFileBuf, left));
        platform::IoResult r{0, 0};
        if (want > 0) r = file.read(file_buf.get(), want);
        // A file that ends before the size announced (it shrank while it was sent) cannot give
        // the client what the 150 reply promised: a read error, not a complete transfer.
        if (!r.ok() || (want > 0 && r.n == 0)) {
          done = error = true;
          owner->log(log::kActions, "Transfer aborted (%s).", "read error");
          return;
        }
        buf_pos = 0;
        buf_len = r.n;
      }
      if (buf_len == 0) {
        done = true;
        log_retrieved();
        return;
      }
      const size_t n = std::min(buf_len - buf_pos, kSendPiece);
      platform::IoResult r = socket_.send(file_buf.get() + buf_pos, n);
      if (!r.ok() || r.n < 1) {
        can_send = false;  // the next writable event (or the close) continues
        return;
      }
      buf_pos += r.n;
      moved_bytes += r.n;
      position += r.n;
      if (position == total_bytes) {
        done = true;
        log_retrieved();
        return;
      }
      if (moved_bytes >= stop_at) return yield();
    }
    return;
  }
  while (can_send) {
    if (list_chunks.empty()) {
      done = true;
      return;
    }
    ListChunk& c = list_chunks.front();
    const size_t n = std::min(c.fill - c.read, kSendPiece);
    platform::IoResult r = socket_.send(c.bytes.data() + c.read, n);
    if (!r.ok() || r.n < 1) {
      can_send = false;
      return;
    }
    c.read += r.n;
    moved_bytes += r.n;
    position += r.n;
    // A partial send goes round again: the next send either moves more or would block, and
    // only a blocked send brings another writable event.
    if (c.read == c.fill) list_chunks.pop_front();
    if (moved_bytes >= stop_at && !list_chunks.empty()) return yield();
  }
}

void dsock_c::read_loop(bool drain) {
  if (done) return;
  owner->last_activity = engine::now();
  if (direction == kReceive) {
    // Past the budget the loop returns with bytes still waiting; having received, it gets
    // another readable event for them in the next round.
    const uint64_t stop_at = moved_bytes + kEventBudget;
    while (can_recv && (drain || moved_bytes < stop_at)) {
      platform::IoResult r = socket_.recv(file_buf.get() + buf_len, kFileBuf - buf_len);
      if (!r.ok() || r.n < 1) {
        can_recv = false;
        break;
      }
      position += r.n;
      moved_bytes += r.n;
      total_bytes += r.n;
      buf_len += r.n;
      if (buf_len == kFileBuf) {
        platform::IoResult w = file.write(file_buf.get(), kFileBuf);
        if (!w.ok() || w.n != kFileBuf) {
          done = error = true;
          owner->log(log::kActions, "Transfer aborted (%s).", "write error");
          return;
        }
        buf_len = 0;
      }
    }
    return;
  }
  // Nothing is being received: what arrives is read and dropped.
  char sink[kDiscardPiece];
  for (;;) {
    platform::IoResult r = socket_.recv(sink, sizeof sink);
    if (!r.ok() || r.n == 0) break;
  }
}

void dsock_c::note_delivery() {
  if (direction != kSend || !connected || done) return;
  // A slow client drains a large send buffer for a long time before the write loop gets room
  // again. The unacknowledged bytes move only when the client takes some or the write loop adds
  // some, both activity; a client that stops reading leaves them standing and still times out.
  platform::Result<size_t> unacked = socket_.unacked_bytes();
  if (!unacked.ok()) return;
  if (seen_unacked_ != kNotSeen && *unacked != seen_unacked_) owner->last_activity = engine::now();
  seen_unacked_ = *unacked;
}

void note_deliveries(const engine::ConnTable<dsock_c>& table) {
  for (int b = 0; b < engine::kBuckets; ++b) {
    for (dsock_c* d = table.head(b); d != nullptr; d = d->next) d->note_delivery();
  }
}

void dsock_c::log_retrieved() {
  owner->log(log::kReads, "Retrieved \"%s\" (%llu bytes %01.2f kb/s).",
             log::escape_for_log(file_path).c_str(), static_cast<unsigned long long>(position),
             speed());
}

// ---- events ----

void dsock_c::on_connect(int err) {
  if (err == 0) {
    connected = true;
    if (direction != kNoTransfer) begin_moving();
    return;
  }
  csock_c& s = *owner;
  s.reply(425, "Can't build data connection.");
  s.flush();
  s.log(log::kDebug, "***DEBUG: nproc() failed, WS_DATA/FD_CONNECT err# %d", err);
  s.log(log::kActions, "Transfer aborted (%s).", "no data conn.");
  destroy(this);
}

void dsock_c::on_accept(int err) {
  if (err != 0) return;
  csock_c& s = *owner;
  platform::SockAddr peer;
  platform::Result<platform::Socket> a = socket_.accept(&peer);
  if (!a.ok()) {
    // A connection that went away before it was taken leaves nothing to accept: keep waiting.
    if (a.err == EAGAIN || a.err == EWOULDBLOCK) return;
    log::report_open_failure(a.err, "data accept");
    s.reply(425, "Can't open data connection.");
    s.flush();
    s.log(log::kDebug, "***DEBUG: nproc() failed, WS_DATA/FD_ACCEPT err# %d", a.err);
    s.log(log::kActions, "Transfer aborted (%s).", "no data conn.");
    destroy(this);
    return;
  }
  if (store::settings().benablethird == 0 && peer.addr != s.peer_addr.addr) {
    // SECURITY: without third-party transfers, only the client itself may use the passive
    // port; a connection from elsewhere could steal or inject the file.
    s.log(log::kSecurity, "Refused data connection from %s (not the client's address).",
          peer.dotted().c_str());
    a->close();
    return;
  }
  // The listener has done its work; it never sent anything, so it is closed without a shutdown.
  socket_.select(MsgKind::Data, 0);
  owner->net().data_table().remove(this);
  socket_.close();
  socket_ = std::move(*a);
  sock = socket_.fd();
  owner->net().data_table().add(this);
  connected = true;
  if (direction != kNoTransfer) begin_moving();
}

void dsock_c::on_write() {
  can_send = true;
  write_loop();
  if (!done) return;
  csock_c& s = *owner;
  const bool failed = error;
  if (list_mode == kFileTransfer) {
    if (!failed) {
      s.files_retrieved += 1;
      s.kb_retrieved += kb_of(total_bytes);
    } else {
      refund_download(*this);
    }
  }
  destroy(this);
  if (failed) {
    s.reply(426, "Transfer aborted. Error reading file.");
  } else {
    s.reply(226, "Transfer Complete.");
  }
  s.flush();
}

void dsock_c::on_read() {
  can_recv = true;
  read_loop();
  if (!done) return;
  csock_c& s = *owner;
  destroy(this);
  s.reply(426, "Transfer aborted. Error writing file.");
  s.flush();
}

void dsock_c::on_close() {
  csock_c& s = *owner;
  if (direction == kSend) {
    s.log(log::kActions, "Transfer aborted (%s).", "by client");
    if (list_mode == kFileTransfer) refund_download(*this);
    s.reply(426, "Transfer aborted. Data connection closed.");
  } else if (direction == kReceive) {
    // Every byte received before the close has passed through the read loop; what is left in
    // the staging buffer goes to the file now.
    can_recv = true;
    read_loop(true);
    platform::IoResult w{0, 0};
    if (!done && buf_len > 0) w = file.write(file_buf.get(), buf_len);
    if (done || !w.ok() || w.n != buf_len) {
      if (!done) s.log(log::kActions, "Transfer aborted (%s).", "write error");
      error = true;
      s.reply(426, "Transfer aborted. Error writing file.");
    } else {
      buf_len = 0;
      credit_upload(*this);
      s.log(log::kWrites, "Stored \"%s\" (%llu bytes %01.2f kb/s).",
            log::escape_for_log(file_path).c_str(), static_cast<unsigned long long>(position),
            speed());
      s.reply(226, "Transfer Complete.");
    }
  }
  destroy(this);
  s.flush();
}

void data_event(dsock_c* d, uint32_t event, int error) {
  switch (event) {
    case platform::FD_READ:
      d->on_read();
      break;
    case platform::FD_WRITE:
      d->on_write();
      break;
    case platform::FD_ACCEPT:
      d->on_accept(error);
      break;
    case platform::FD_CONNECT:
      d->on_connect(error);
      break;
    case platform::FD_CLOSE:
      d->on_close();
      break;
    default:
      break;
  }
}

void abort_running(csock_c& s) {
  dsock_c* d = s.data;
  if (d == nullptr) return;
  if (d->direction == kSend && d->list_mode == kFileTransfer) refund_download(*d);
  destroy(d);
  s.reply(426, "Transfer aborted. Data connection closed.");
  s.reply(226, "Transfer aborted.");
}

}  // namespace qorda::transfer
