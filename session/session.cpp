#include "session/session.h"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/client_list.h"
#include "log/log.h"
#include "platform/event_loop.h"
#include "session/cmd_login.h"
#include "session/command_table.h"
#include "session/data_link.h"
#include "session/tls_setup.h"
#include "store/keys.h"
#include "store/settings.h"

namespace qorda::session {

using platform::MsgKind;

namespace {

// Transfers and listings run over a data connection, made by default when there is none.
bool needs_data_connection(Command idx) {
  return idx == Command::Retr || idx == Command::Stor || idx == Command::Stou ||
         idx == Command::List || idx == Command::Nlst;
}

uint32_t to_network_order(uint32_t host) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(host);
  return host;
}

}  // namespace

Session::Session(engine::SessionHost& host, platform::Socket s, platform::SockAddr peer)
    : host_(host), socket_(std::move(s)) {
  sock = socket_.fd();
  peer_addr = peer;
  auto local = socket_.local_addr();
  if (local.ok()) {
    local_addr = *local;
  } else {
    local_addr = {};
    log(log::Level::Debug, "***DEBUG: csock_c::csock_c(), getsockname():%d", local.err);
  }
  for (int i = 0; i < 4; ++i) data_addr[i] = peer.byte(i);
  data_port[0] = static_cast<uint8_t>(peer.port >> 8);
  data_port[1] = static_cast<uint8_t>(peer.port & 0xff);
  remote_host = peer.dotted();
  connect_tick = last_activity = host_.now();
}

void Session::start() {
  refresh_client_line();
  socket_.select(MsgKind::Control, platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE);
  if (host_.settings().benabledns != 0) {
    // A handle of 0 means the look-up could not start: greet without a name.
    lookup_handle_ = host_.loop().start_reverse_lookup(to_network_order(peer_addr.addr));
  }
  log(log::Level::Security, "Connected to %s.", peer_addr.dotted().c_str());
  if (lookup_handle_ == 0) greet();
}

Session::~Session() {
  if (lookup_handle_ != 0) cancel_lookup();
  if (socket_.valid()) {
    socket_.select(MsgKind::Control, 0);
    if (tls_.established()) tls_.close_notify();
    socket_.shutdown_send();
    socket_.close();
  }
  discard_output();
  drop_data();
}

bool Session::control_event(uint32_t event) {
  if ((tls_phase_ == TlsPhase::Handshake || tls_phase_ == TlsPhase::Closing) &&
      (event == platform::FD_READ || event == platform::FD_WRITE)) {
    if (event == platform::FD_WRITE) writable = true;
    tls_step();
    return false;
  }
  switch (event) {
    case platform::FD_READ:
      receive();
      // A client that pipelined commands and closed is finished once its last line has run.
      return peer_gone_ && !holds_input() && peer_closed();
    case platform::FD_WRITE:
      writable_event();
      return false;
    case platform::FD_CLOSE:
      if (holds_input()) {
        peer_gone_ = true;  // the lines it sent before closing are dispatched first
        return false;
      }
      return peer_closed();
    default:
      return false;
  }
}

bool Session::peer_closed() {
  if (state != SessionState::Closing) {
    if (examined) {
      host_.observer().examine_caption(static_cast<uint32_t>(sock),
                                       "examining client (disconnected!)");
    }
    log(log::Level::Security, "Disconnected. (client close)");
    state = SessionState::Closing;
    if (lookup_handle_ != 0) cancel_lookup();
  }
  if (lookup_handle_ != 0) return false;  // the answer or the tick frees it
  delete_mark = true;
  return true;
}

bool Session::tick(uint32_t now) {
  if (data_ && data_->client_took_bytes()) last_activity = now;
  const uint32_t idle = now - last_activity;
  const uint64_t idle_limit = uint64_t{host_.settings().imaxt} * 1000;
  if (state != SessionState::Closing && idle > idle_limit && lookup_handle_ == 0) {
    close(CloseReason::IdleTimeout);
  }
  resume_if_due(now);
  return delete_mark && (lookup_handle_ == 0 || idle > kLookupGraceMs);
}

void Session::shut_down() {
  // A session already closing has said its farewell; it is only freed.
  if (state != SessionState::Closing) close(CloseReason::ServerShutdown);
}

void Session::disconnect() {
  if (state != SessionState::Closing) close(CloseReason::Disconnected);
}

void Session::set_examined(bool on) {
  examined = on;
}

ConnectionView Session::view(uint32_t now) const {
  ConnectionView v;
  v.id = static_cast<uint32_t>(sock);
  v.user = user_name;
  v.host = remote_host;
  v.online_ms = now - connect_tick;
  v.idle_ms = now - last_activity;
  v.logged_in = state == SessionState::LoggedIn;
  v.examined = examined;
  v.closing = closing();
  for (int i = 0; i < 4; ++i) v.address[static_cast<size_t>(i)] = peer_addr.byte(i);
  v.files_stored = files_stored;
  v.kb_stored = kb_stored;
  v.files_retrieved = files_retrieved;
  v.kb_retrieved = kb_retrieved;
  // A file on its way; a listing is not shown as a transfer.
  if (transfer_running() && data_->list_mode() == transfer::ListMode::File) {
    v.direction = data_->direction();
    v.file_name = data_->file_name();
    v.position = data_->position();
    v.total_bytes = data_->total_bytes();
    v.rate_kbps = data_->speed(now);
  }
  return v;
}

void Session::refresh_client_line() {
  const auto id = static_cast<uint32_t>(sock);
  host_.observer().client_line(id, log::ClientList::format_line(id, user_name, remote_host));
}

void Session::cancel_lookup() {
  // The loop guarantees that no answer is delivered for a cancelled request, so the handle can
  // go at once.
  if (lookup_handle_ != 0) host_.loop().cancel_lookup(lookup_handle_);
  lookup_handle_ = 0;
}

void Session::lookup_answered(int error, const std::string& host) {
  if (state == SessionState::Closing) {
    // The client left while its name was looked up: nothing more to do but be freed.
    delete_mark = true;
    lookup_handle_ = 0;
    return;
  }
  if (error == 0 && !host.empty()) {
    remote_host = host;
    refresh_client_line();
  }
  log(log::Level::Security, "DNS lookup returned \"%s\".",
      log::escape_for_log(remote_host).c_str());
  lookup_handle_ = 0;
  greet();
}

void Session::greet() {
  const std::string host = host_.host_name();
  const std::string& banner = host_.settings().szmsg1;
  std::vector<std::string_view> lines = split_banner(banner);
  reply(lines.empty() ? 220 : -220, "%s FTP Server (%s %s) ready.", host.c_str(), store::kShortName,
        store::kVersion);
  for (size_t i = 0; i < lines.size(); ++i) {
    send_text_line(i + 1 == lines.size() ? 220 : -220, lines[i]);
  }
  state = SessionState::WaitingForUser;
  flush();
}

std::vector<std::string_view> split_banner(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return lines;
}

void Session::receive() {
  if (!taking_input()) {
    // A hold resumes with another turn; a closing session takes nothing more.
    if (state == SessionState::Closing) drop_held_input();
    return;
  }
  int budget = kCommandsPerTurn;
  if (password_waits_) {
    password_waits_ = false;
    std::string password = std::move(waiting_password_);
    waiting_password_.clear();
    cmd_pass(*this, password);
    flush();
    if (!taking_input()) return;
    if (--budget <= 0) {
      continue_later();  // what else it sent is taken in the next turn
      return;
    }
  }
  if (held_input_) {
    held_pos_ += take_input(held_input_.get() + held_pos_, held_len_ - held_pos_, budget);
    if (held_pos_ < held_len_) {
      if (taking_input()) {
        continue_later();
      } else if (state == SessionState::Closing) {
        drop_held_input();  // nothing more is taken from a session that said goodbye
      }
      return;
    }
    drop_held_input();
    if (line_fill_ == 0) line_.reset();
    if (!taking_input()) return;
    if (budget <= 0) {
      continue_later();  // the socket is read in the next turn
      return;
    }
  }
  char buf[kChunkSize];
  platform::IoResult r = recv_bytes(buf, sizeof buf);
  if (!r.ok() || r.n == 0) return;  // the closed event handles the end
  const bool was_plain = tls_phase_ == TlsPhase::Off;
  const size_t taken = take_input(buf, r.n, budget);
  // SECURITY: bytes that came in plain text behind AUTH TLS are never taken once the session
  // is protected (command injection by someone in the path): they are dropped, however far the
  // handshake got meanwhile.
  const bool tls_started_here = was_plain && tls_phase_ != TlsPhase::Off;
  if (taken < r.n && state != SessionState::Closing && !tls_started_here) {
    hold_input(buf + taken, r.n - taken);
    if (taking_input()) continue_later();
  }
  if (line_fill_ == 0) line_.reset();  // no partial line waits for more bytes
}

size_t Session::take_input(const char* p, size_t n, int& budget) {
  size_t i = 0;
  while (i < n) {
    if (line_check() && (!taking_input() || spent_turn(budget))) return i;
    take_byte(static_cast<uint8_t>(p[i++]));
  }
  if (line_check()) spent_turn(budget);
  return n;
}

bool Session::spent_turn(int& budget) {
  // While a transfer runs, a line is either dropped or a cheap STAT or ABOR, and a client that
  // pipelines commands behind RETR or STOR expects them taken as the transfer begins (dropped),
  // not after it ended: such lines cost nothing and the turn goes on.
  if (transfer_running()) return false;
  return --budget <= 0;
}

void Session::hold_input(const char* p, size_t n) {
  held_input_ = std::make_unique<char[]>(kChunkSize);
  std::memcpy(held_input_.get(), p, n);
  held_pos_ = 0;
  held_len_ = n;
}

void Session::drop_held_input() {
  held_input_.reset();
  held_pos_ = held_len_ = 0;
}

void Session::continue_later() {
  host_.loop().post_event(sock, platform::FD_READ);
}

void Session::hold_after_failed_login(uint32_t until, bool then_close) {
  on_hold_ = true;
  hold_until_ = until;
  close_after_hold_ = then_close;
}

void Session::defer_password(std::string password, uint32_t until) {
  password_waits_ = true;
  waiting_password_ = std::move(password);
  on_hold_ = true;
  hold_until_ = until;
  close_after_hold_ = false;
}

void Session::resume_if_due(uint32_t now) {
  if (!on_hold_ || static_cast<int32_t>(now - hold_until_) < 0) return;
  on_hold_ = false;
  flush();
  if (close_after_hold_) {
    close_after_hold_ = false;
    close(CloseReason::TooManyAttempts);
    return;
  }
  // Input that arrived meanwhile (and a password that waited) is taken in the next turn.
  if (state != SessionState::Closing) continue_later();
}

void Session::put_line_byte(char c) {
  if (!line_) line_ = std::make_unique<char[]>(kLineBuffer + 1);
  line_[line_fill_++] = c;
}

void Session::take_byte(uint8_t c) {
  last_byte_ = c;
  switch (telnet_state_) {
    case 0:
      if (c == kIAC) {
        telnet_state_ = 1;
      } else {
        put_line_byte(static_cast<char>(c));
      }
      break;
    case 1:
      if (c == kIAC) {
        put_line_byte(static_cast<char>(kIAC));
        telnet_state_ = 0;
      } else if (c == kWILL || c == kWONT) {
        telnet_answer_[1] = kDONT;
        telnet_state_ = 2;
      } else if (c == kDO || c == kDONT) {
        telnet_answer_[1] = kWONT;
        telnet_state_ = 2;
      } else {
        telnet_state_ = 0;  // interrupt, data mark and the rest: dropped
      }
      break;
    default:
      // Every option is refused.
      telnet_answer_[2] = c;
      queue_output(reinterpret_cast<const char*>(telnet_answer_.data()), telnet_answer_.size());
      flush();
      telnet_state_ = 0;
      break;
  }
}

bool Session::line_check() {
  if (line_fill_ == 0) return false;
  if (line_fill_ == kLineBuffer) {
    // SECURITY: a line that fills the buffer is refused; collection starts over so that no
    // line, however long, grows memory.
    line_too_long_ = true;
    line_fill_ = 0;
  }
  if (last_byte_ == '\n') {
    line_[line_fill_] = '\0';
    dispatch();
    line_too_long_ = false;
    line_fill_ = 0;
    return true;
  }
  return false;
}

void Session::dispatch() {
  if (state == SessionState::Closing) return;
  last_activity = host_.now();
  if (line_too_long_) {
    reply(500, "Command line too long. (max: %d bytes)", kMaxLine);
    flush();
    return;
  }

  // Keep the text up to the first CR, LF or NUL; a backspace removes the character before it.
  std::string line;
  for (size_t i = 0; i < line_fill_; ++i) {
    char c = line_[i];
    if (c == '\r' || c == '\n' || c == '\0') break;
    if (c == '\b' && !line.empty()) {
      line.pop_back();
    } else {
      line.push_back(c);
    }
  }

  if (examined || log::logger().wants(log::Level::Commands)) {
    const std::string shown = loggable_line(line);
    examine(shown);
    if (log::logger().wants(log::Level::Commands)) {
      log(log::Level::Commands, "CMD:\"%s\"", log::escape_for_log(shown).c_str());
    }
  }

  std::string arg;
  std::string word = split_word(line, &arg);
  if (word == "BOR") word = "ABOR";
  const Command idx = find_command(word);
  const CommandRow* row = idx != Command::NotFound ? &command_row(idx) : nullptr;

  if (rest_offset != 0 && idx != Command::Retr && idx != Command::Stor) rest_offset = 0;

  if (row != nullptr && !row->implemented) {
    reply(502, "%s%s command not implemented", "", row->word);
  } else if (transfer_running()) {
    // During a transfer only ABOR and STAT are acted upon; everything else is dropped.
    if (idx == Command::Stat) reply_transfer_status(*this);
    if (idx == Command::Abor) abort_transfer(*this);
  } else if (row == nullptr) {
    if (!tls_command(*this, word, arg)) {
      reply(500, "'%s%s': command not understood.", "", word.c_str());
    }
  } else if (idx == Command::User && tls_required() && !tls_active()) {
    reply(530, "TLS is required: send AUTH TLS before USER.");
  } else if (row->login && state != SessionState::LoggedIn) {
    reply(530, "Please login with USER and PASS.");
  } else if (row->arg == ArgRule::Required && arg.empty()) {
    reply(501, "'%s': command not understood.", row->word);
  } else if (row->handler == nullptr) {
    reply(502, "%s%s command not implemented", "", row->word);
  } else if (needs_data_connection(idx) && tls_data_required() && !protect_data) {
    reply(521, "Data connections must be protected: send PROT P first.");
  } else if (needs_data_connection(idx) && !ensure_data_connection(*this)) {
    // The data connection could not be made; its failure has been answered.
  } else {
    row->handler(*this, arg);
  }
  flush();
}

void Session::examine(std::string_view line) {
  if (examined) host_.observer().examine_line(static_cast<uint32_t>(sock), line);
}

void Session::reply(int code, const char* fmt, ...) {
  constexpr size_t kText = kReplyCut + 1;  // the line and its terminating zero
  char buf[kText + 1];                     // room for CR LF in place of the zero
  int n = 0;
  if (code != 0) n = std::snprintf(buf, kText, "%03d%c", std::abs(code), code < 0 ? '-' : ' ');
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf + n, kText - static_cast<size_t>(n), fmt, ap);  // cut at 509
  va_end(ap);
  std::string_view line(buf);
  examine(line);
  if (log::logger().wants(log::Level::Commands)) {
    log(log::Level::Commands, "REP:\"%s\"", log::escape_for_log(line).c_str());
  }
  if (delete_mark) return;
  const size_t len = line.size();
  buf[len] = '\r';
  buf[len + 1] = '\n';
  queue_output(buf, len + 2);
}

void Session::queue_output(const char* p, size_t n) {
  if (delete_mark) return;
  while (n > 0) {
    if (out_tail_ == nullptr || out_tail_->fill == kChunkSize) {
      auto chunk = std::make_unique<OutChunk>();
      OutChunk* added = chunk.get();
      if (out_tail_ == nullptr) {
        out_head_ = std::move(chunk);
      } else {
        out_tail_->next = std::move(chunk);
      }
      out_tail_ = added;
    }
    OutChunk& c = *out_tail_;
    size_t k = std::min(n, kChunkSize - c.fill);
    std::memcpy(c.bytes.data() + c.fill, p, k);
    c.fill += k;
    out_bytes_ += k;
    p += k;
    n -= k;
  }
  if (out_bytes_ > kMaxOutputQueue) close(CloseReason::OutputOverflow);
}

void Session::flush() {
  // Nothing may interleave with the handshake's own bytes.
  if (tls_phase_ == TlsPhase::Handshake) return;
  // A failed login's reply waits for the end of its hold.
  while (out_head_ && writable && !on_hold_) {
    OutChunk& c = *out_head_;
    size_t want = c.fill - c.sent;
    platform::IoResult r = send_bytes(c.bytes.data() + c.sent, want);
    if (!r.ok()) {
      writable = false;  // the rest waits for the next writable event
      break;
    }
    c.sent += r.n;
    out_bytes_ -= r.n;
    // A partial send goes round again: only a refused send asks the loop for the next writable
    // event, so stopping here would leave the rest queued until the client sent a command.
    if (r.n < want) continue;
    pop_output();
  }
  // AUTH's reply has left in plain text: the handshake begins.
  if (tls_phase_ == TlsPhase::Starting && !out_head_ && state != SessionState::Closing) {
    tls_phase_ = TlsPhase::Handshake;
    tls_step();
  } else if (tls_phase_ == TlsPhase::Closing && !out_head_) {
    tls_step();  // REIN's reply has left: the closing exchange follows
  }
}

void Session::pop_output() {
  out_head_ = std::move(out_head_->next);  // frees the first chunk
  if (!out_head_) out_tail_ = nullptr;
}

void Session::writable_event() {
  writable = true;
  flush();
}

void Session::discard_output() {
  while (out_head_) pop_output();  // one chunk at a time: no recursion through the chain
  out_bytes_ = 0;
}

void Session::log(log::Level level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log::logger().vlog(level, static_cast<uint32_t>(sock), fmt, ap);
  va_end(ap);
}

}  // namespace qorda::session
