// A stock client against `qorda serve`: Python's ftplib logs in with a password and as
// anonymous with an e-mail address, walks a restricted user's tree and changes it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/ftp_client.h"

namespace qorda::test {
namespace {

std::string run(const std::string& cmd, int* status) {
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

std::string qorda(const std::string& home, const std::string& args) {
  int status = 0;
  std::string out =
      run("'" + std::string(QORDA_BINARY) + "' --home '" + home + "' " + args, &status);
  EXPECT_EQ(status, 0) << args << "\n" << out;
  return out;
}

// `qorda serve` in the background, its output read through a pipe; stopped with SIGTERM.
class Server {
 public:
  Server(const std::string& home, uint16_t port) {
    std::string cmd = "exec 2>&1; '" + std::string(QORDA_BINARY) + "' --home '" + home +
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
      if (line.find("enabled on port") != std::string::npos) return;
    }
    ADD_FAILURE() << "server did not come up:\n" << output_;
  }
  ~Server() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    if (pipe_ != nullptr) ::pclose(pipe_);
  }
  const std::string& output() const { return output_; }

 private:
  std::FILE* pipe_ = nullptr;
  int pid_ = -1;
  std::string output_;
};

TEST(Interop, FtplibLogsInWalksAndChangesTheTree) {
  if (std::system("python3 -c 'import ftplib' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 with ftplib is not installed";
  }
  TempDir home;
  std::filesystem::create_directories(home.path() + "/c/ftp/pub/docs");
  std::ofstream(home.path() + "/c/ftp/pub/a.txt") << "alpha";
  qorda(home.path(), "user add alice --password Secret --perm '[u] rwdlcxhms /c:/ftp/'");
  qorda(home.path(), "user add anonymous --guest --perm '[u] r--l---ms /c:/ftp/pub/'");
  const uint16_t port = free_port();
  Server srv(home.path(), port);

  const std::string script = home.path() + "/client.py";
  std::ofstream(script) << R"(import ftplib, sys
f = ftplib.FTP()
f.connect('127.0.0.1', int(sys.argv[1]))
print(f.login('alice', 'sECRET'))
print(f.pwd())
f.cwd('pub/docs')
print(f.pwd())
f.cwd('..')
print(f.mkd('new dir'))
print(f.rename('a.txt', 'new dir/b.txt'))
f.cwd('new dir')
print(f.delete('b.txt'))
f.cwd('/')
print(f.rmd('pub/new dir'))
try:
    f.rmd('/')
except ftplib.error_perm as e:
    print(e)
f.quit()
g = ftplib.FTP()
g.connect('127.0.0.1', int(sys.argv[1]))
print(g.login('anonymous', 'guest@example.org'))
print(g.pwd())
try:
    g.mkd('x')
except ftplib.error_perm as e:
    print(e)
g.quit()
)";
  int status = 0;
  std::string out = run("python3 '" + script + "' " + std::to_string(port), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "230 User alice logged in.\n"
            "/\n"
            "/pub/docs/\n"
            "/pub/new dir\n"
            "250 RNTO command successful.\n"
            "250 DELE command successful.\n"
            "250 RMD command successful.\n"
            "553 /: Permission denied.\n"
            "230-No home directory. Logging in with home \"/\".\n"
            "230 User anonymous logged in.\n"
            "/\n"
            "550 x: Permission denied.\n")
      << srv.output();
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/c/ftp/pub/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/c/ftp/pub/new dir"));
  EXPECT_TRUE(std::filesystem::exists(home.path() + "/c/ftp/pub/docs"));
}

}  // namespace
}  // namespace qorda::test
