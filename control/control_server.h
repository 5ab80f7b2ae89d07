// The control socket a running server serves in its home (<home>/qorda.sock, mode 0600): the
// headless stand-in for the status tab and the quick-info window. It answers on the engine's
// loop (MsgKind::Local, through the loop's local handler, so it works while the engine is
// switched off) and never blocks it: every socket is non-blocking, every buffer bounded.
//
// It sees the activity log as the window does, as the installed observer's screen lines: while
// it exists it is installed in front of the observer that was there (the console of `serve`,
// the window's QtObserver) and passes every call on to it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "control/protocol.h"
#include "control/target.h"
#include "control/usage.h"
#include "engine/observer.h"
#include "log/screen_log.h"
#include "platform/event_loop.h"
#include "platform/local_socket.h"
#include "platform/result.h"
#include "platform/socket.h"

namespace qorda::control {

class ControlServer {
 public:
  // Serves <home>/qorda.sock for `target` on `loop`. Call it holding the home's lock: a socket
  // file nobody answers on is then a leftover of a server that crashed, and is replaced; one a
  // process answers on, or a file of another kind, is left alone and refused. The loop and the
  // target must outlive the server.
  static platform::Result<std::unique_ptr<ControlServer>> open(platform::EventLoop& loop,
                                                               const std::string& home,
                                                               ControlTarget& target);
  // Tells followers and a waiting `stop` that the server ends, closes every connection and
  // removes the socket file.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::string& path() const { return path_; }
  // Control connections open now.
  size_t client_count() const { return clients_.size(); }
  // The activity log as seen here (the last kScreenLogMaxLines lines).
  const log::ScreenLog& screen_log() const { return screen_log_; }

 private:
  enum class Phase {
    Request,    // reading the request line
    Answer,     // the answer is queued; closed once it is sent
    Follow,     // log lines are sent as they are logged
    AwaitExit,  // `stop`: kept open until the server ends
  };
  struct Client {
    platform::Socket sock;
    Phase phase = Phase::Request;
    uint64_t serial = 0;  // accept order
    std::string in;
    std::string out;
  };
  // Passes every observer call on and takes what the control channel needs.
  class Tee final : public engine::Observer {
   public:
    Tee(ControlServer& server, engine::Observer& inner) : server_(server), inner_(inner) {}
    void screen_line(std::string_view line) override;
    void client_count(int count, const std::string& tray_tip) override {
      inner_.client_count(count, tray_tip);
    }
    void client_line(uint32_t id, const std::string& line) override {
      inner_.client_line(id, line);
    }
    void client_line_removed(uint32_t id) override { inner_.client_line_removed(id); }
    void switch_position(bool on) override { inner_.switch_position(on); }
    void examine_line(uint32_t id, std::string_view line) override {
      inner_.examine_line(id, line);
    }
    void examine_caption(uint32_t id, std::string_view caption) override {
      inner_.examine_caption(id, caption);
    }
    void after_tick() override;

   private:
    ControlServer& server_;
    engine::Observer& inner_;
  };

  ControlServer(platform::EventLoop& loop, std::string path, ControlTarget& target);
  void on_message(const platform::Message& m);
  void accept_one();
  // Makes room for one more connection by dropping the oldest that has sent no request yet;
  // false when every connection is busy (following the log, or taking an answer).
  bool evict_silent();
  void on_read(Client& c);
  void handle(Client& c, const std::string& line);
  // Queues `line` (and its line feed) and sends what the socket takes.
  void queue(Client& c, std::string_view line);
  // Sends what is queued; closes a client whose answer is complete. False when it was closed.
  bool flush(Client& c);
  void drop(int fd);
  // Queues an error line and closes once it is sent.
  void fail(Client& c, std::string_view code, std::string_view message);
  void logged(std::string_view line);
  int cpu_usage();

  std::string status_answer();
  std::string who_answer();
  std::string kick_answer(const Request& r);
  std::string switch_answer(const Request& r);

  platform::EventLoop& loop_;
  std::string path_;
  ControlTarget& target_;
  platform::Socket listener_;
  platform::LocalFileId file_id_;
  std::map<int, std::unique_ptr<Client>> clients_;
  uint64_t accepted_ = 0;
  log::ScreenLog screen_log_;
  UsageMeter meter_;
  int last_usage_ = -1;  // the usage over the last engine tick; -1 before the first
  Tee tee_;
  std::unique_ptr<engine::ObserverInstallation> installed_;
};

}  // namespace qorda::control
