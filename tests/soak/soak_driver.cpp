#include "tests/soak/soak_driver.h"

#include <cerrno>
#include <utility>

namespace qorda::test::soak {

using platform::MsgKind;

namespace {
constexpr uint32_t kStreamEvents =
    platform::FD_CONNECT | platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE;
constexpr size_t kRecvPiece = 64 * 1024;
constexpr uint16_t kListenPortFirst = 20000;
constexpr uint16_t kListenPortLast = 32000;
constexpr int kListenTries = 200;
}  // namespace

Driver::Driver(platform::EventLoop& loop) : loop_(loop) {
  loop_.set_handler([this](const platform::Message& m) {
    if (m.kind == MsgKind::Timer) {
      if (on_tick) on_tick();
      return;
    }
    auto it = by_fd_.find(m.handle);
    if (it != by_fd_.end()) it->second->on_event(m.event, m.error);
  });
}

Driver::~Driver() {
  loop_.set_handler({});
  graveyard_.clear();
}

uint16_t Driver::next_listen_port() {
  for (;;) {
    if (listen_port_ < kListenPortFirst || listen_port_ >= kListenPortLast) {
      listen_port_ = kListenPortFirst;
    }
    const uint16_t p = listen_port_++;
    if (p < reserved_first_ || p > reserved_last_) return p;
  }
}

void Driver::detach(int fd, const Stream* s) {
  auto it = by_fd_.find(fd);
  if (it != by_fd_.end() && it->second == s) by_fd_.erase(it);
}

void Driver::retire(std::unique_ptr<Stream> s) {
  if (s == nullptr) return;
  s->close();
  graveyard_.push_back(std::move(s));
}

Stream::Stream(Driver& d, platform::Socket s, Hooks hooks, bool reading)
    : driver_(d),
      sock_(std::move(s)),
      fd_(sock_.fd()),
      hooks_(std::move(hooks)),
      reading_(reading) {
  driver_.attach(fd_, this);
}

Stream::~Stream() {
  close();
}

std::unique_ptr<Stream> Stream::connect(Driver& d, platform::SockAddr to, Hooks hooks,
                                        bool reading) {
  auto s = platform::Socket::tcp(&d.loop());
  if (!s.ok()) return nullptr;
  std::unique_ptr<Stream> st(new Stream(d, std::move(*s), std::move(hooks), reading));
  uint32_t mask = kStreamEvents;
  if (!reading) mask &= ~platform::FD_READ;
  if (!st->sock_.select(MsgKind::Data, mask).ok()) return nullptr;
  if (!st->sock_.connect(to).ok()) return nullptr;
  return st;
}

std::unique_ptr<Stream> Stream::listen(Driver& d, Hooks hooks) {
  platform::Socket sock;
  for (int i = 0; i < kListenTries && !sock.valid(); ++i) {
    auto s = platform::Socket::tcp(&d.loop());
    if (!s.ok()) return nullptr;
    // A port in use elsewhere (another test's server, say) is skipped.
    if (s->bind(platform::SockAddr::loopback(d.next_listen_port())).ok() && s->listen(4).ok()) {
      sock = std::move(*s);
    }
  }
  if (!sock.valid()) return nullptr;
  std::unique_ptr<Stream> st(new Stream(d, std::move(sock), std::move(hooks), true));
  if (!st->sock_.select(MsgKind::Data, platform::FD_ACCEPT).ok()) return nullptr;
  return st;
}

std::unique_ptr<Stream> Stream::adopt(Driver& d, platform::Socket s, Hooks hooks) {
  std::unique_ptr<Stream> st(new Stream(d, std::move(s), std::move(hooks), true));
  if (!st->sock_.select(MsgKind::Data, platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE)
           .ok()) {
    return nullptr;
  }
  return st;
}

uint16_t Stream::local_port() const {
  auto a = sock_.local_addr();
  return a.ok() ? a->port : 0;
}

void Stream::set_paused(bool paused) {
  if (!sock_.valid() || !reading_ || paused == paused_) return;
  paused_ = paused;
  sock_.select(MsgKind::Data, paused ? kStreamEvents & ~platform::FD_READ : kStreamEvents);
  if (!paused && close_pending_) {
    drain_input();
    report_close(close_err_);
  }
}

void Stream::close() {
  if (!sock_.valid()) return;
  driver_.detach(fd_, this);
  sock_.close();
}

void Stream::send(std::string_view bytes) {
  if (!sock_.valid() || failed_) return;
  if (out_off_ == out_.size()) {
    out_.clear();
    out_off_ = 0;
  }
  out_.append(bytes);
  flush();
}

void Stream::flush() {
  while (writable_ && out_off_ < out_.size()) {
    platform::IoResult r = sock_.send(out_.data() + out_off_, out_.size() - out_off_);
    if (r.would_block()) {
      writable_ = false;
      return;
    }
    if (!r.ok()) {
      // The loop reports the close (reset or broken pipe); what is queued can never go.
      failed_ = true;
      out_.clear();
      out_off_ = 0;
      return;
    }
    out_off_ += r.n;
    sent_ += r.n;
  }
}

void Stream::drain_input() {
  if (!reading_ || paused_) return;
  std::string buf(kRecvPiece, '\0');
  while (sock_.valid() && !paused_) {
    platform::IoResult r = sock_.recv(buf.data(), buf.size());
    if (r.would_block()) return;
    if (!r.ok()) {
      report_close(r.err);
      return;
    }
    if (r.n == 0) {
      report_close(0);
      return;
    }
    if (hooks_.data) hooks_.data(std::string_view(buf.data(), r.n));
  }
}

void Stream::report_close(int err) {
  // A stream its owner closed (from a hook, say) reports nothing more.
  if (close_reported_ || !sock_.valid()) return;
  close_reported_ = true;
  if (hooks_.closed) hooks_.closed(err);
}

void Stream::on_event(uint32_t event, int err) {
  switch (event) {
    case platform::FD_CONNECT:
      if (err != 0) {
        report_close(err);
      } else if (hooks_.connected) {
        hooks_.connected(0);
      }
      break;
    case platform::FD_WRITE:
      writable_ = true;
      flush();
      if (writable_ && pending() == 0 && hooks_.drained) hooks_.drained();
      break;
    case platform::FD_READ:
      drain_input();
      break;
    case platform::FD_CLOSE:
      if (paused_) {
        close_pending_ = true;
        close_err_ = err;
        break;
      }
      drain_input();
      report_close(err);
      break;
    case platform::FD_ACCEPT:
      while (sock_.valid()) {
        platform::SockAddr peer;
        auto a = sock_.accept(&peer);
        if (!a.ok()) break;
        if (hooks_.accepted) hooks_.accepted(std::move(*a));
      }
      break;
    default:
      break;
  }
}

void ReplyParser::feed(std::string_view bytes, std::vector<Reply>* out) {
  buf_.append(bytes);
  size_t start = 0;
  for (;;) {
    size_t lf = buf_.find('\n', start);
    if (lf == std::string::npos) break;
    std::string line = buf_.substr(start, lf - start);
    start = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool coded = line.size() >= 4 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' &&
                       line[1] <= '9' && line[2] >= '0' && line[2] <= '9' &&
                       (line[3] == ' ' || line[3] == '-');
    const int code = coded ? std::stoi(line.substr(0, 3)) : 0;
    if (in_multi_) {
      open_.all += "\n" + line;
      if (coded && code == open_.code && line[3] == ' ') {
        open_.last = line;
        out->push_back(std::move(open_));
        open_ = Reply{};
        in_multi_ = false;
      }
    } else if (coded && line[3] == '-') {
      open_ = Reply{code, line, line};
      in_multi_ = true;
    } else if (coded) {
      out->push_back(Reply{code, line, line});
    } else {
      ++stray_;
    }
  }
  buf_.erase(0, start);
}

}  // namespace qorda::test::soak
