// Running the real program from tests: one-shot CLI commands, and `qorda serve` as a separate
// process (for protocol tests and for stock FTP clients such as curl, lftp, wget and Python's
// ftplib to talk to).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace qorda::test {

// Runs a shell command; its standard output and error together. `status` receives the exit
// status as pclose reports it (0 on success).
std::string run_command(const std::string& cmd, int* status);

// `BINARY --home HOME ARGS`; the test fails when it exits non-zero.
std::string run_cli(const std::string& binary, const std::string& home, const std::string& args);

// Whether a program is on PATH (a client an interop test needs).
bool have_program(const std::string& name);

// A free loopback port whose neighbour below is free too: active data connections leave from
// the control port - 1.
uint16_t serve_port();

// `qorda --home H serve ARGS` under a shell that reports the server's pid and, at the end, its
// exit status. Its standard output and error come through one pipe that a reader thread drains
// all the time, so a chatty server never stalls on a full pipe. Every wait is bounded by the
// process's own end or by a line arriving. The destructor kills a server that is still running.
class ServeChild {
 public:
#ifdef QORDA_BINARY
  // `prefix` runs in the shell before the server starts (for example a ulimit).
  ServeChild(const std::string& home, const std::string& args, const std::string& prefix = "") {
    start(QORDA_BINARY, home, args, prefix);
  }
#endif
  // A shell command line that ends by exec'ing the server (a script such as scripts/serve.sh).
  struct Script {
    std::string line;
  };
  explicit ServeChild(const Script& script) {
    start_line(script.line);
  }
  ~ServeChild();
  ServeChild(const ServeChild&) = delete;
  ServeChild& operator=(const ServeChild&) = delete;

  // Waits for an output line after the last one matched that contains `text` (true) or for the
  // end of the process (false).
  bool wait_for(const std::string& text);
  // Waits until the listener is up.
  bool wait_up() {
    return wait_for("qorda enabled on port");
  }
  // Waits for the end; returns the exit status.
  int wait_exit();
  void signal(int signo);
  // SIGTERM, then the exit status (0 for an orderly shutdown).
  int stop();
  // Everything read so far.
  std::string output();

 private:
  void start(const std::string& binary, const std::string& home, const std::string& args,
             const std::string& prefix);
  void start_line(const std::string& line);
  void drain();

  std::FILE* pipe_ = nullptr;
  int pid_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string output_;  // guarded by mu_
  size_t matched_ = 0;  // output_ before this offset was passed by wait_for; guarded by mu_
  bool ended_ = false;  // the shell reported the exit status or closed the pipe; by mu_
  int exit_ = -1;       // guarded by mu_
};

#ifdef QORDA_BINARY
// The program under test (test programs are built knowing where it is).
inline std::string qorda_cli(const std::string& home, const std::string& args) {
  return run_cli(QORDA_BINARY, home, args);
}
#endif

}  // namespace qorda::test
