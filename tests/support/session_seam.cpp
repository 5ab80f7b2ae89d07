#include "tests/support/session_seam.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/conn_table.h"
#include "platform/volume.h"
#include "store/password.h"
#include "vfs/resolver.h"

namespace qorda::test {

namespace {
constexpr int kBudget = 20000;  // pumps of at most a few ms: a stuck test fails, it never hangs
}

session::Session* session_of(TestServer& srv, const FtpClient& c) {
  const uint16_t port = c.local_port();
  for (int b = 0; b < engine::kBuckets; ++b) {
    for (session::Session* s = srv.net().sessions().head(b); s != nullptr; s = s->next) {
      if (s->peer_addr.port == port) return s;
    }
  }
  return nullptr;
}

session::Session* first_session(TestServer& srv) {
  for (int b = 0; b < engine::kBuckets; ++b) {
    if (auto* s = srv.net().sessions().head(b)) return s;
  }
  return nullptr;
}

void pump_until_taken(TestServer& srv, const FtpClient& c) {
  int left = -1;
  for (int idle = 0; idle < 4000;) {
    session::Session* s = session_of(srv, c);
    int unsent = 0, unread = 0;
    if (s == nullptr || ::ioctl(c.fd(), SIOCOUTQ, &unsent) != 0 ||
        ::ioctl(s->sock, SIOCINQ, &unread) != 0 || unsent + unread == 0) {
      return;
    }
    idle = unsent + unread == left ? idle + 1 : 0;
    left = unsent + unread;
    srv.pump(1);
  }
}

void log_in(TestServer& srv, session::Session& s, const std::string& user, const std::string& szfp,
            const store::TemplateRecord* tmpl, const store::UserRecord* stats) {
  s.state = session::SessionState::LoggedIn;
  s.user_name = user;
  s.account = stats != nullptr ? *stats : store::UserRecord{};
  s.account.name = user;
  s.account.szfp = szfp;
  s.has_template = tmpl != nullptr;
  s.tmpl = tmpl != nullptr ? *tmpl : store::TemplateRecord{};
  if (tmpl != nullptr) s.account.sztemp = store::template_ref(tmpl->name);
  EXPECT_TRUE(
      store::write_user(srv.reg(), s.account, {.main_fields = true, .counters = store::kCountAll})
          .ok());
  s.fs.reset();
  s.fs.user_szfp = szfp;
  if (tmpl != nullptr) s.fs.template_szfp = tmpl->szfp;
  vfs::add_permission_roots(s.fs);
  EXPECT_TRUE(vfs::choose_home(s.fs, platform::drive_table().startup_drive()));
}

void connect_logged_in(TestServer& srv, FtpClient& c, const std::string& user) {
  c.reply();
  session::Session* s = session_of(srv, c);
  ASSERT_NE(s, nullptr);
  log_in(srv, *s, user, "[u] rwdlcxhms /c:/");
}

store::UserRecord stored_user(TestServer& srv, const std::string& user) {
  store::UserRecord u;
  u.name = user;
  EXPECT_TRUE(store::read_user(srv.reg(), u, {.main_fields = false, .counters = true}));
  return u;
}

bool DataPeer::connect_pasv(std::string_view reply227, uint32_t from, int recv_buffer) {
  size_t open = reply227.find('(');
  if (open == std::string_view::npos) return false;
  unsigned f[6] = {};
  if (std::sscanf(std::string(reply227.substr(open)).c_str(), "(%u,%u,%u,%u,%u,%u)", &f[0], &f[1],
                  &f[2], &f[3], &f[4], &f[5]) != 6) {
    return false;
  }
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok()) return false;
  if (from != 0 && !s->bind(platform::SockAddr{from, 0}).ok()) return false;
  if (recv_buffer != 0 &&
      ::setsockopt(s->fd(), SOL_SOCKET, SO_RCVBUF, &recv_buffer, sizeof recv_buffer) != 0) {
    return false;
  }
  platform::SockAddr to{(f[0] << 24) | (f[1] << 16) | (f[2] << 8) | f[3],
                        static_cast<uint16_t>((f[4] << 8) | f[5])};
  if (!s->connect(to).ok()) return false;
  conn_ = std::move(*s);
  srv_.pump(0);
  return true;
}

std::string DataPeer::listen() {
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok() || !s->bind(platform::SockAddr::loopback(0)).ok() || !s->listen(5).ok()) return "";
  auto a = s->local_addr();
  listener_ = std::move(*s);
  return "127,0,0,1," + std::to_string(a->port >> 8) + "," + std::to_string(a->port & 0xff);
}

bool DataPeer::listen_on(uint16_t port) {
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok()) return false;
  s->set_reuse_addr(true);
  if (!s->bind(platform::SockAddr::loopback(port)).ok() || !s->listen(5).ok()) return false;
  listener_ = std::move(*s);
  return true;
}

bool DataPeer::accept() {
  for (int i = 0; i < kBudget; ++i) {
    auto a = listener_.accept(&peer_);
    if (a.ok()) {
      conn_ = std::move(*a);
      return true;
    }
    srv_.pump(1);
  }
  return false;
}

std::string DataPeer::read_some(size_t n) {
  std::string out;
  char buf[65536];
  for (int i = 0; i < kBudget && out.size() < n && !eof_; ++i) {
    platform::IoResult r = conn_.recv(buf, sizeof buf);
    if (r.ok() && r.n > 0) {
      out.append(buf, r.n);
      continue;
    }
    if (r.ok() || !(r.would_block() || r.err == ENOTCONN)) {
      eof_ = true;
      break;
    }
    srv_.pump(1);
  }
  return out;
}

std::string DataPeer::read_all() {
  return read_some(SIZE_MAX);
}

bool DataPeer::send_all(std::string_view bytes) {
  for (int i = 0; i < kBudget && !bytes.empty(); ++i) {
    platform::IoResult r = conn_.send(bytes.data(), bytes.size());
    if (r.ok()) {
      bytes.remove_prefix(r.n);
      continue;
    }
    if (!(r.would_block() || r.err == ENOTCONN)) return false;
    srv_.pump(1);
  }
  return bytes.empty();
}

std::string read_file(TestServer& srv, const std::string& rel) {
  std::ifstream f(srv.home() + "/c/" + rel, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string pattern_bytes(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 16);
  }
  return out;
}

int open_fds() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

bool log_in(TestServer& srv, FtpClient& c, const store::UserRecord& user,
            const std::optional<store::TemplateRecord>& tmpl, const std::string& password) {
  store::UserRecord stored = user;
  stored.szpass = store::encode_password(password);
  if (tmpl) stored.sztemp = store::template_ref(tmpl->name);
  if (!store::write_user(srv.reg(), stored, {.main_fields = true, .counters = store::kCountAll}))
    return false;
  if (tmpl && !store::write_template(srv.reg(), *tmpl)) return false;
  const std::string u = c.cmd("USER " + user.name);
  const std::string p = c.cmd("PASS " + password);
  const bool ok = p.rfind("230", 0) == 0 || p.find("\n230 ") != std::string::npos;
  EXPECT_TRUE(ok) << u << "\n" << p;
  return ok;
}

}  // namespace qorda::test
