// Running the real program for interop tests: one-shot CLI commands, and `qorda serve` in the
// background for stock FTP clients (curl, lftp, Python's ftplib) to talk to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qorda::test {

// Runs a shell command; its standard output and error together. `status` receives the exit
// status as pclose reports it (0 on success).
std::string run_command(const std::string& cmd, int* status);

// `BINARY --home HOME ARGS`; the test fails when it exits non-zero.
std::string run_cli(const std::string& binary, const std::string& home, const std::string& args);

// Whether a program is on PATH (a client an interop test needs).
bool have_program(const std::string& name);

// `BINARY --home HOME serve --port PORT` in the background, up once it reports its listener;
// stopped with SIGTERM on destruction.
class ServeProcess {
 public:
  ServeProcess(const std::string& binary, const std::string& home, uint16_t port);
  ~ServeProcess();
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;
  bool up() const { return up_; }
  const std::string& output() const { return output_; }

 private:
  std::FILE* pipe_ = nullptr;
  int pid_ = -1;
  bool up_ = false;
  std::string output_;
};

#ifdef QORDA_BINARY
// The program under test (test programs are built knowing where it is).
inline std::string qorda_cli(const std::string& home, const std::string& args) {
  return run_cli(QORDA_BINARY, home, args);
}
#endif

}  // namespace qorda::test
