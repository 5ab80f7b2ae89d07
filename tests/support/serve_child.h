// `qorda serve` as a separate process for tests: its standard output and error come through one
// pipe, read line by line; every wait is bounded by the process's own end or by a line arriving.
// Header-only: QORDA_BINARY (the program under test) is defined for the test programs.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qorda::test {

// Runs `qorda --home H serve ARGS` under a shell that reports the server's pid and, at the end,
// its exit status. The destructor kills a server that is still running.
class ServeChild {
 public:
  // `prefix` runs in the shell before the server starts (for example a ulimit).
  ServeChild(const std::string& home, const std::string& args, const std::string& prefix = "");
  ~ServeChild();
  ServeChild(const ServeChild&) = delete;
  ServeChild& operator=(const ServeChild&) = delete;

  // Reads output lines until one contains `text` (true) or the process ended (false).
  bool wait_for(const std::string& text);
  // Reads to the end; returns the exit status.
  int wait_exit();
  void signal(int signo);
  // Everything read so far.
  const std::string& output() const { return output_; }

 private:
  bool read_line(std::string* line);

  std::FILE* pipe_ = nullptr;
  int pid_ = -1;
  int exit_ = -1;
  std::string output_;
};

inline ServeChild::ServeChild(const std::string& home, const std::string& args,
                                  const std::string& prefix) {
  std::string cmd = "exec 2>&1; " + prefix + " '" + std::string(QORDA_BINARY) + "' --home '" +
                    home + "' serve " + args + " & echo PID:$!; wait $!; echo EXIT:$?";
  pipe_ = ::popen(cmd.c_str(), "r");
  if (pipe_ == nullptr) {
    ADD_FAILURE() << "popen failed";
    return;
  }
  std::string line;
  if (read_line(&line) && line.rfind("PID:", 0) == 0) pid_ = std::atoi(line.c_str() + 4);
}

inline ServeChild::~ServeChild() {
  if (pid_ > 0 && exit_ < 0) ::kill(pid_, SIGKILL);
  if (pipe_ != nullptr) ::pclose(pipe_);
}

inline bool ServeChild::wait_for(const std::string& text) {
  std::string line;
  while (read_line(&line)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

inline int ServeChild::wait_exit() {
  std::string line;
  while (read_line(&line)) {
  }
  return exit_;
}

inline void ServeChild::signal(int signo) {
  if (pid_ > 0) ::kill(pid_, signo);
}

inline bool ServeChild::read_line(std::string* line) {
  if (pipe_ == nullptr || exit_ >= 0) return false;
  char buf[4096];
  if (std::fgets(buf, sizeof buf, pipe_) == nullptr) return false;
  *line = buf;
  if (!line->empty() && line->back() == '\n') line->pop_back();
  if (line->rfind("EXIT:", 0) == 0) {
    exit_ = std::atoi(line->c_str() + 5);
    return false;
  }
  output_ += *line + "\n";
  return true;
}

}  // namespace qorda::test
