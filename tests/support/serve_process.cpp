#include "tests/support/serve_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace qorda::test {

std::string run_command(const std::string& cmd, int* status) {
  std::string out;
  std::FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[1024];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
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

ServeProcess::ServeProcess(const std::string& binary, const std::string& home, uint16_t port) {
  const std::string cmd = "exec 2>&1; '" + binary + "' --home '" + home +
                          "' serve --port " + std::to_string(port) + " & echo PID:$!; wait $!";
  pipe_ = ::popen(cmd.c_str(), "r");
  if (pipe_ == nullptr) {
    ADD_FAILURE() << "popen failed";
    return;
  }
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe_) != nullptr) {
    std::string line = buf;
    output_ += line;
    if (line.rfind("PID:", 0) == 0) pid_ = std::atoi(line.c_str() + 4);
    if (line.find("enabled on port") != std::string::npos) {
      up_ = true;
      return;
    }
  }
  ADD_FAILURE() << "server did not come up:\n" << output_;
}

ServeProcess::~ServeProcess() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  if (pipe_ != nullptr) ::pclose(pipe_);
}

}  // namespace qorda::test
