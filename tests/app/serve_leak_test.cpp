// A whole `qorda serve` run on the demo site, from start to SIGTERM: logins (one with a wrong
// password), listings, a download, an upload, a client that vanishes without QUIT and one still
// connected at the end. The server must end with status 0 and, in a sanitizer build, without a
// leak or memory-error report: everything it allocated during the run is released by the end.
#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/socket.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

#if defined(__SANITIZE_ADDRESS__)
#define QORDA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QORDA_TEST_ASAN 1
#endif
#endif
#ifndef QORDA_TEST_ASAN
#define QORDA_TEST_ASAN 0
#endif

namespace qorda::test {
namespace {

constexpr int kWaitMs = 10000;  // one wait for a server in another process

// The client end of a passive data connection to a server in another process.
class PassiveData {
 public:
  // Sends PASV on `c` and connects to the port its 227 reply names.
  explicit PassiveData(FtpClient& c) {
    const std::string r = c.cmd("PASV");
    std::smatch m;
    if (!std::regex_search(r, m, std::regex(R"(^227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\))"))) {
      ADD_FAILURE() << "PASV: " << r;
      return;
    }
    const auto port = static_cast<uint16_t>(std::stoi(m[5]) * 256 + std::stoi(m[6]));
    auto s = platform::Socket::tcp(nullptr);
    if (!s.ok() || !s->connect(platform::SockAddr::loopback(port)).ok()) {
      ADD_FAILURE() << "cannot connect to the passive port " << port;
      return;
    }
    sock_ = std::move(*s);
  }

  // Reads until the server closes the connection.
  std::string read_all() {
    std::string out;
    char buf[16384];
    while (sock_.valid() && wait(POLLIN)) {
      platform::IoResult r = sock_.recv(buf, sizeof buf);
      if (r.ok() && r.n == 0) break;
      if (r.ok()) {
        out.append(buf, r.n);
      } else if (!r.would_block() && r.err != ENOTCONN) {
        break;
      }
    }
    sock_.close();
    return out;
  }

  // Sends everything, then closes (the end of an upload).
  void send_all(std::string_view bytes) {
    while (sock_.valid() && !bytes.empty() && wait(POLLOUT)) {
      platform::IoResult r = sock_.send(bytes.data(), bytes.size());
      if (r.ok()) {
        bytes.remove_prefix(r.n);
      } else if (!r.would_block() && r.err != ENOTCONN) {
        break;
      }
    }
    EXPECT_TRUE(bytes.empty()) << "upload cut short";
    sock_.close();
  }

 private:
  bool wait(short events) {
    pollfd p{sock_.fd(), events, 0};
    const bool ready = ::poll(&p, 1, kWaitMs) > 0;
    if (!ready) ADD_FAILURE() << "data connection stalled";
    return ready;
  }

  platform::Socket sock_;
};

std::string run(const std::string& cmd, int* status) {
  std::string out;
  std::FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

// The code of a (possibly multi-line) reply: the first three characters of its last line.
std::string code(const std::string& reply) {
  const size_t lf = reply.rfind('\n');
  return reply.substr(lf == std::string::npos ? 0 : lf + 1, 3);
}

// Reports from the sanitizer runtimes (leaks and memory errors, undefined behaviour).
bool has_sanitizer_report(const std::string& output) {
  return output.find("LeakSanitizer") != std::string::npos ||
         output.find("ERROR: AddressSanitizer") != std::string::npos ||
         output.find("runtime error:") != std::string::npos;
}

TEST(ServeLeak, SanitizerReportsAreRecognised) {
  EXPECT_TRUE(has_sanitizer_report(
      "==12==ERROR: LeakSanitizer: detected memory leaks\nDirect leak of 4 byte(s)"));
  EXPECT_TRUE(has_sanitizer_report("==7==ERROR: AddressSanitizer: heap-use-after-free"));
  EXPECT_TRUE(has_sanitizer_report("x.cpp:3:5: runtime error: signed integer overflow"));
  EXPECT_FALSE(has_sanitizer_report("qorda disabled.\n[09:00:00] (3) Disconnected.\n"));
}

TEST(ServeLeak, FullRunOnTheDemoSiteEndsCleanly) {
  TempDir dir;
  const std::string home = dir.path() + "/h";
  int st = -1;
  const std::string init =
      run(std::string("'") + QORDA_BINARY + "' --home '" + home + "' init --demo", &st);
  ASSERT_EQ(st, 0) << init;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(init, m, std::regex("password: ([a-z0-9]+)\\n"))) << init;
  const std::string password = m[1];

  const uint16_t port = free_port();
  // detect_leaks is the default on this platform; naming it keeps the check on where a
  // system-wide ASAN_OPTIONS turned it off. atexit makes the runtime say that it reached the
  // end of the run, where the leak check runs.
  ServeChild srv(home, "--port " + std::to_string(port),
                 "export ASAN_OPTIONS=detect_leaks=1:atexit=1;");
  ASSERT_TRUE(srv.wait_for("qorda enabled on port")) << srv.output();

  // A wrong password, then the right one on the same connection.
  FtpClient demo(port, FtpClient::Pump{});
  ASSERT_FALSE(demo.read_reply().empty());
  EXPECT_EQ(code(demo.cmd("USER demo")), "331");
  EXPECT_EQ(code(demo.cmd("PASS wrong-password")), "530");
  EXPECT_EQ(code(demo.cmd("USER demo")), "331");
  EXPECT_EQ(code(demo.cmd("PASS " + password)), "230");
  EXPECT_EQ(code(demo.cmd("TYPE I")), "200");

  {
    PassiveData d(demo);
    EXPECT_EQ(code(demo.cmd("LIST /pub")), "150");
    EXPECT_NE(d.read_all().find("hello.txt"), std::string::npos);
    EXPECT_EQ(code(demo.reply()), "226");
  }
  {
    PassiveData d(demo);
    EXPECT_EQ(code(demo.cmd("RETR /pub/hello.txt")), "150");
    EXPECT_EQ(d.read_all(), "Hello, world!\n");
    EXPECT_EQ(code(demo.reply()), "226");
  }
  std::string upload;
  for (int i = 0; i < 50000; ++i) upload += static_cast<char>('a' + (i * 7) % 26);
  {
    PassiveData d(demo);
    EXPECT_EQ(code(demo.cmd("STOR /incoming/upload.bin")), "150");
    d.send_all(upload);
    EXPECT_EQ(code(demo.reply()), "226");
  }
  {
    std::ifstream f(home + "/c/incoming/upload.bin", std::ios::binary);
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_TRUE(text.str() == upload) << "stored " << text.str().size() << " bytes";
  }
  EXPECT_EQ(demo.cmd("SIZE /incoming/upload.bin"), "213 50000");
  EXPECT_EQ(code(demo.cmd("MKD /incoming/tmp")), "257");
  EXPECT_EQ(code(demo.cmd("RNFR /incoming/upload.bin")), "350");
  EXPECT_EQ(code(demo.cmd("RNTO /incoming/tmp/moved.bin")), "250");
  EXPECT_EQ(code(demo.cmd("DELE /incoming/tmp/moved.bin")), "250");
  EXPECT_EQ(code(demo.cmd("RMD /incoming/tmp")), "250");
  EXPECT_EQ(code(demo.cmd("STAT")), "211");
  EXPECT_EQ(code(demo.cmd("QUIT")), "221");

  // The guest lists and fetches, then drops the connection without QUIT.
  {
    FtpClient guest(port, FtpClient::Pump{});
    ASSERT_FALSE(guest.read_reply().empty());
    EXPECT_EQ(code(guest.cmd("USER anonymous")), "331");
    EXPECT_EQ(code(guest.cmd("PASS guest@example.org")), "230");
    {
      PassiveData d(guest);
      EXPECT_EQ(code(guest.cmd("NLST /pub")), "150");
      EXPECT_NE(d.read_all().find("hello.txt"), std::string::npos);
      EXPECT_EQ(code(guest.reply()), "226");
    }
    // A passive port left waiting when the client goes.
    PassiveData pending(guest);
  }

  // Still logged in when the server stops: the shutdown frees this session too.
  FtpClient last(port, FtpClient::Pump{});
  ASSERT_FALSE(last.read_reply().empty());
  EXPECT_EQ(code(last.cmd("USER ftp")), "331");
  EXPECT_EQ(code(last.cmd("PASS x@y.z")), "230");
  EXPECT_EQ(code(last.cmd("CWD /pub")), "250");
  srv.signal(SIGTERM);
  EXPECT_EQ(last.reply(), "421 Server shutting down.  Goodbye.");
  EXPECT_EQ(srv.wait_exit(), 0) << srv.output();
  EXPECT_NE(srv.output().find("qorda disabled."), std::string::npos) << srv.output();
  EXPECT_FALSE(has_sanitizer_report(srv.output())) << srv.output();
  if (QORDA_TEST_ASAN) {
    EXPECT_NE(srv.output().find("AddressSanitizer exit stats:"), std::string::npos)
        << "the sanitizer runtime never saw the end of the run:\n"
        << srv.output();
  }
}

}  // namespace
}  // namespace qorda::test
