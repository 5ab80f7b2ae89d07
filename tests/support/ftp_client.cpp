#include "tests/support/ftp_client.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "log/log.h"
#include "platform/volume.h"
#include "store/settings.h"
#include "tests/support/serve_child.h"

namespace qorda::test {

namespace {
constexpr int kPumpBudget = 4000;  // waits of at most a few ms each: a stuck test fails, not hangs
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qorda-test-XXXXXX";
  char* p = ::mkdtemp(tmpl.data());
  if (p == nullptr) ADD_FAILURE() << "mkdtemp failed: " << errno;
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

uint16_t free_port() {
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok() || !s->bind(platform::SockAddr::loopback(0)).ok()) {
    ADD_FAILURE() << "cannot bind a probe socket";
    return 0;
  }
  auto a = s->local_addr();
  return a.ok() ? a->port : 0;
}

bool port_free(uint16_t port) {
  auto s = platform::Socket::tcp(nullptr);
  return port > 1024 && s.ok() && s->bind(platform::SockAddr::loopback(port)).ok();
}

int RecordingObserver::count(std::string_view text) const {
  int n = 0;
  const std::string tail = "] " + std::string(text);
  for (const std::string& l : lines) {
    if (l == text || (l.size() > tail.size() && l.ends_with(tail))) ++n;
  }
  return n;
}

uint16_t apply_test_settings(const std::function<void(store::ServerSettings&)>& configure) {
  store::ServerSettings& s = store::settings();
  s = store::ServerSettings{};
  s.szmsg1.clear();
  s.szmsg2.clear();
  s.benabledns = 0;
  s.ilogls = 6;
  s.iloglf = 0;
  s.boverride = 1;
  s.szhostname = "test.host";
  // Active data connections come from iport - 1: that port must be free as well. The port is
  // taken below the ephemeral range, where other tests' outgoing connections cannot hold it.
  s.iport = serve_port();
  if (configure) configure(s);
  return static_cast<uint16_t>(s.iport);
}

std::unique_ptr<platform::Registry> open_test_home(const std::string& home) {
  // Drive c: is <home>/c, as for a fresh home.
  std::error_code ec;
  std::filesystem::create_directories(home + "/c", ec);
  platform::drive_table().clear();
  EXPECT_TRUE(platform::drive_table().set('c', home + "/c").ok());
  auto reg = platform::Registry::open(home + "/qorda.db");
  EXPECT_TRUE(reg.ok()) << "store: " << reg.msg;
  if (!reg.ok()) return nullptr;
  EXPECT_TRUE(store::create_key_tree(**reg).ok());
  return std::move(reg.value);
}

TestServer::TestServer(const std::function<void(store::ServerSettings&)>& configure) {
  clock.tick = 100000;
  clock.epoch = 1700000000;
  platform::set_clock(&clock);
  port_ = apply_test_settings(configure);
  installed_ = std::make_unique<engine::ObserverInstallation>(observer);
  auto loop = platform::EventLoop::create();
  EXPECT_TRUE(loop.ok()) << "event loop: " << loop.err;
  loop_ = std::move(loop.value);
  reg_ = open_test_home(home_.path());
  net_ = engine::NetModule::open(env());
}

TestServer::~TestServer() {
  net_->close();
  net_.reset();
  reg_.reset();
  installed_.reset();
  platform::set_clock(nullptr);
}

void TestServer::pump(int timeout_ms) {
  loop_->run_once(timeout_ms);
}

void TestServer::advance_and_tick(uint32_t ms) {
  clock.tick += ms;
  net_->timer_tick();
}

FtpClient::FtpClient(uint16_t port, Pump pump) : pump_(std::move(pump)) {
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok() || !s->connect(platform::SockAddr::loopback(port)).ok()) {
    ADD_FAILURE() << "cannot connect to port " << port;
    return;
  }
  sock_ = std::move(*s);
}

FtpClient::FtpClient(TestServer& server) : FtpClient(server.port(), [&server] { server.pump(); }) {}

FtpClient::FtpClient(platform::Socket prepared, TestServer& server)
    : pump_([&server] { server.pump(); }) {
  if (!prepared.connect(platform::SockAddr::loopback(server.port())).ok()) {
    ADD_FAILURE() << "cannot connect to port " << server.port();
    return;
  }
  sock_ = std::move(prepared);
}

bool FtpClient::send_raw(std::string_view bytes) {
  int budget = kPumpBudget;
  while (!bytes.empty()) {
    platform::IoResult r = sock_.send(bytes.data(), bytes.size());
    if (r.ok()) {
      bytes.remove_prefix(r.n);
      continue;
    }
    if (!(r.would_block() || r.err == ENOTCONN) || --budget == 0) return false;
    wait(true);
  }
  return true;
}

bool FtpClient::fill() {
  if (closed_ || !sock_.valid()) return false;
  char buf[65536];
  platform::IoResult r = sock_.recv(buf, sizeof buf);
  if (r.ok() && r.n > 0) {
    in_.append(buf, r.n);
    return true;
  }
  if (r.ok() || !(r.would_block() || r.err == ENOTCONN)) {
    closed_ = true;  // orderly close or reset
    return false;
  }
  wait(false);
  return false;
}

void FtpClient::wait(bool for_write) {
  if (pump_) {
    pump_();
    return;
  }
  pollfd p{sock_.fd(), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  ::poll(&p, 1, 20);
}

bool FtpClient::next_line(std::string* line) {
  for (int budget = kPumpBudget; budget > 0; --budget) {
    size_t lf = in_.find("\r\n");
    if (lf != std::string::npos) {
      *line = in_.substr(0, lf);
      in_.erase(0, lf + 2);
      return true;
    }
    if (!fill() && closed_) return false;
  }
  return false;
}

std::vector<std::string> FtpClient::read_reply() {
  std::vector<std::string> lines;
  std::string line;
  if (!next_line(&line)) return lines;
  lines.push_back(line);
  if (line.size() >= 4 && line[3] == '-') {
    const std::string end = line.substr(0, 3) + " ";
    while (next_line(&line)) {
      lines.push_back(line);
      if (line.compare(0, 4, end) == 0) break;
    }
  }
  return lines;
}

std::string FtpClient::reply() {
  std::string out;
  for (const std::string& l : read_reply()) {
    if (!out.empty()) out += '\n';
    out += l;
  }
  return out;
}

uint16_t FtpClient::local_port() const {
  auto a = sock_.local_addr();
  return a.ok() ? a->port : 0;
}

std::string FtpClient::cmd(std::string_view line) {
  if (!send_line(line)) return "<send failed>";
  return reply();
}

std::string FtpClient::read_bytes(size_t n) {
  for (int budget = kPumpBudget; in_.size() < n && budget > 0; --budget) {
    if (!fill() && closed_) break;
  }
  std::string out = in_.substr(0, n);
  in_.erase(0, out.size());
  return out;
}

std::string FtpClient::read_until_close() {
  for (int budget = kPumpBudget; !closed_ && budget > 0; --budget) fill();
  std::string out = std::move(in_);
  in_.clear();
  return out;
}

}  // namespace qorda::test
