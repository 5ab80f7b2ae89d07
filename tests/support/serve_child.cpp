#include "tests/support/serve_child.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>

#include "tests/support/ftp_client.h"

namespace qorda::test {

std::string run_command(const std::string& cmd, int* status) {
  std::string out;
  std::FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = ::pclose(p);
  return out;
}

std::string run_cli(const std::string& binary, const std::string& home, const std::string& args) {
  int status = 0;
  std::string out = run_command("'" + binary + "' --home '" + home + "' " + args, &status);
  EXPECT_EQ(status, 0) << args << "\n" << out;
  return out;
}

bool have_program(const std::string& name) {
  int status = 0;
  run_command("command -v '" + name + "' >/dev/null", &status);
  return status == 0;
}

uint16_t serve_port() {
  // Below the ephemeral range when there is room: a busy machine's outgoing connections take
  // their local ports from that range and would keep `port - 1` in TIME_WAIT now and then.
  unsigned low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  std::random_device rd;
  if (low > 4096) {
    std::uniform_int_distribution<unsigned> pick(2048, low - 1);
    for (int i = 0; i < 200; ++i) {
      const auto port = static_cast<uint16_t>(pick(rd));
      if (port_free(port) && port_free(static_cast<uint16_t>(port - 1))) return port;
    }
  }
  uint16_t port = free_port();
  for (int i = 0; i < 100 && !port_free(static_cast<uint16_t>(port - 1)); ++i) port = free_port();
  return port;
}

void ServeChild::start(const std::string& binary, const std::string& home, const std::string& args,
                       const std::string& prefix) {
  start_line(prefix + " '" + binary + "' --home '" + home + "' serve " + args);
}

void ServeChild::start_line(const std::string& line) {
  const std::string cmd = "exec 2>&1; " + line + " & echo PID:$!; wait $!; echo EXIT:$?";
  pipe_ = ::popen(cmd.c_str(), "r");
  if (pipe_ == nullptr) {
    ADD_FAILURE() << "popen failed";
    ended_ = true;
    return;
  }
  // The shell names the server's pid once it has started it, and a server that fails at once
  // may have written its reason before that: such lines are output like any later ones.
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe_) != nullptr) {
    std::string text = buf;
    if (text.rfind("PID:", 0) == 0) {
      pid_ = std::atoi(buf + 4);
      break;
    }
    if (text.back() != '\n') text += '\n';
    output_ += text;
  }
  reader_ = std::thread([this] { drain(); });
}

void ServeChild::drain() {
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe_) != nullptr) {
    std::string line = buf;
    std::lock_guard<std::mutex> lock(mu_);
    if (line.rfind("EXIT:", 0) == 0) {
      exit_ = std::atoi(line.c_str() + 5);
      break;
    }
    if (line.back() != '\n') line += '\n';
    output_ += line;
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  cv_.notify_all();
}

ServeChild::~ServeChild() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pid_ > 0 && !ended_) ::kill(pid_, SIGKILL);
  }
  if (reader_.joinable()) reader_.join();
  if (pipe_ != nullptr) ::pclose(pipe_);
}

bool ServeChild::wait_for(const std::string& text) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const size_t at = output_.find(text, matched_);
    if (at != std::string::npos) {
      const size_t eol = output_.find('\n', at);
      matched_ = eol == std::string::npos ? output_.size() : eol + 1;
      return true;
    }
    // Only whole lines are ever appended, so the text cannot straddle the next one.
    matched_ = output_.size();
    if (ended_) return false;
    cv_.wait(lock);
  }
}

int ServeChild::wait_exit() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return ended_; });
  return exit_;
}

void ServeChild::signal(int signo) {
  std::lock_guard<std::mutex> lock(mu_);
  if (pid_ > 0 && !ended_) ::kill(pid_, signo);
}

int ServeChild::stop() {
  signal(SIGTERM);
  return wait_exit();
}

std::string ServeChild::output() {
  std::lock_guard<std::mutex> lock(mu_);
  return output_;
}

}  // namespace qorda::test
