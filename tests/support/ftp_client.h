// Test helpers for protocol tests: an in-process server (engine on a free loopback port, a
// temporary home, a manual clock, captured log lines) and a small FTP client with non-blocking
// sockets that pumps the server's loop while it waits, so tests never sleep and run on one
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/netmodule.h"
#include "engine/observer.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "store/settings.h"

namespace qorda::test {

// A fresh empty directory under $TMPDIR; removed (with its contents) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A loopback port nobody listens on right now.
uint16_t free_port();
// Whether a loopback port above 1024 can be bound right now.
bool port_free(uint16_t port);

// Records everything the engine shows.
class RecordingObserver final : public engine::Observer {
 public:
  void screen_line(std::string_view line) override { lines.emplace_back(line); }
  void client_count(int count, const std::string& tip) override {
    last_count = count;
    last_tip = tip;
  }
  void client_line(uint32_t id, const std::string& line) override {
    client_lines.push_back(std::to_string(id) + " " + line);
  }
  void client_line_removed(uint32_t id) override { removed.push_back(id); }
  void switch_position(bool on) override { switch_on = on; }
  void examine_line(uint32_t, std::string_view line) override { examined.emplace_back(line); }
  void examine_caption(uint32_t, std::string_view c) override { caption = std::string(c); }
  void after_tick() override { ++ticks; }

  // Number of screen lines whose text (after the time and id prefix) equals `text`.
  int count(std::string_view text) const;
  // Whether some screen line ends with `text`.
  bool has(std::string_view text) const { return count(text) > 0; }

  std::vector<std::string> lines;
  std::vector<std::string> client_lines;
  std::vector<uint32_t> removed;
  std::vector<std::string> examined;
  std::string caption;
  std::string last_tip;
  int last_count = -1;
  bool switch_on = false;
  int ticks = 0;
};

// Resets the process-wide settings to the test defaults (no DNS, no banners, screen level 6, no
// log file, host name "test.host", a free port), then lets `configure` change them; returns the
// port. Used by every in-process server of the tests.
uint16_t apply_test_settings(const std::function<void(store::ServerSettings&)>& configure);
// Makes `home` a fresh home: drive c: is <home>/c (created), the store <home>/qorda.db with its
// key tree.
std::unique_ptr<platform::Registry> open_test_home(const std::string& home);

// The engine running in this process. Settings are reset to test defaults (no DNS, no banners,
// screen level 6, no log file) before `configure` runs, and the engine opens on a free port.
class TestServer {
 public:
  explicit TestServer(const std::function<void(store::ServerSettings&)>& configure = {});
  ~TestServer();

  // Dispatches the loop's messages for at most `timeout_ms`.
  void pump(int timeout_ms = 5);
  // Advances the manual clock and runs one timer tick.
  void advance_and_tick(uint32_t ms);

  engine::NetModule& net() { return *net_; }
  // The store in the home (<home>/qorda.db) the engine reads accounts from.
  platform::Registry& registry() { return *reg_; }
  // The engine's owner and environment, for code that closes and reopens the engine.
  std::unique_ptr<engine::NetModule>& engine_slot() { return net_; }
  engine::EngineEnv env() { return {loop_.get(), reg_.get()}; }
  platform::EventLoop& loop() { return *loop_; }
  uint16_t port() const { return port_; }
  const std::string& home() const { return home_.path(); }
  // The store (<home>/qorda.db, key tree created) that accounts and links are read from.
  platform::Registry& reg() { return *reg_; }
  platform::ManualClock clock;
  RecordingObserver observer;

 private:
  TempDir home_;
  std::unique_ptr<engine::ObserverInstallation> installed_;  // `observer`, while the server lives
  std::unique_ptr<platform::Registry> reg_;
  std::unique_ptr<platform::EventLoop> loop_;
  std::unique_ptr<engine::NetModule> net_;
  uint16_t port_ = 0;
};

// One control connection. `pump` is called whenever the client waits for the server.
class FtpClient {
 public:
  using Pump = std::function<void()>;
  // An empty pump waits on the client's own socket (for a server in another process).
  FtpClient(uint16_t port, Pump pump);
  // For a server in this process.
  explicit FtpClient(TestServer& server);
  // Connects a socket the caller prepared (bound to a chosen port, say).
  FtpClient(platform::Socket prepared, TestServer& server);

  bool connected() const { return sock_.valid(); }
  // Sends bytes as they are (waits until all are written or the connection fails).
  bool send_raw(std::string_view bytes);
  bool send_line(std::string_view line) { return send_raw(std::string(line) + "\r\n"); }
  // Reads one complete reply (single or multi-line); the lines without CR LF. Empty when the
  // connection closed or nothing arrived within the pump budget.
  std::vector<std::string> read_reply();
  // send_line + read_reply, the reply's lines joined with "\n".
  std::string cmd(std::string_view line);
  // The next reply joined with "\n".
  std::string reply();
  // Reads exactly n raw bytes (for Telnet answers).
  std::string read_bytes(size_t n);
  // Waits until the server closes the connection; returns what arrived before the close.
  std::string read_until_close();
  // Whether the server closed the connection (after the queued input is read).
  bool peer_closed() const { return closed_; }
  void close() { sock_.close(); }
  int fd() const { return sock_.fd(); }
  // The client end's port (0 when unknown).
  uint16_t local_port() const;

 private:
  bool fill();  // one receive attempt; pumps when nothing is there
  void wait(bool for_write);
  bool next_line(std::string* line);

  platform::Socket sock_;
  Pump pump_;
  std::string in_;
  bool closed_ = false;
};

}  // namespace qorda::test
