// The site `qorda init --demo` makes, served by `qorda serve` and used by Python's ftplib as a
// newcomer would: anonymous reads /pub/ and only stores into /incoming/; the printed password
// logs the demo account in.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

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

// Runs a Python ftplib session against the port; `body` uses the connected object `f` and
// `ls(path)`, which prints "LISTED" and the LIST lines, or "NOLIST" while the server has no
// listing command.
std::string ftplib(uint16_t port, const std::string& body, int* status) {
  const std::string script =
      "import ftplib, io, sys\n"
      "def ls(path):\n"
      "  lines = []\n"
      "  try:\n"
      "    f.retrlines('LIST ' + path, lines.append)\n"
      "  except ftplib.error_perm as e:\n"
      "    if str(e).startswith('502'): print('NOLIST'); return\n"
      "    raise\n"
      "  print('LISTED', lines)\n"
      "f = ftplib.FTP()\n"
      "f.connect('127.0.0.1', " +
      std::to_string(port) + ", timeout=20)\n" + body + "f.quit()\n";
  TempDir dir;
  const std::string path = dir.path() + "/session.py";
  { std::ofstream(path) << script; }
  return run("python3 '" + path + "'", status);
}

class DemoSite : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("python3 -c 'import ftplib' >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "python3 with ftplib is not installed";
    }
    int st = -1;
    const std::string out =
        run(std::string("'") + QORDA_BINARY + "' --home '" + home.path() + "/h' init --demo", &st);
    ASSERT_EQ(st, 0) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("password: ([a-z0-9]+)\\n"))) << out;
    password = m[1];
    port = free_port();
    srv = std::make_unique<ServeChild>(home.path() + "/h", "--port " + std::to_string(port));
    ASSERT_TRUE(srv->wait_for("qorda enabled on port")) << srv->output();
  }
  void TearDown() override {
    if (!srv) return;
    srv->signal(SIGTERM);
    EXPECT_EQ(srv->wait_exit(), 0) << srv->output();
  }

  TempDir home;
  std::string password;
  uint16_t port = 0;
  std::unique_ptr<ServeChild> srv;
};

TEST_F(DemoSite, AnonymousReadsPubAndStoresIntoIncomingOnly) {
  int st = -1;
  const std::string out =
      ftplib(port,
             "print(f.getwelcome())\n"
             "print(f.login('ftp', 'guest@example.org'))\n"
             "print(f.pwd())\n"
             "print(f.cwd('pub'))\n"
             "ls('.')\n"
             "b = io.BytesIO(); f.retrbinary('RETR hello.txt', b.write)\n"
             "print('GOT', b.getvalue())\n"
             "b = io.BytesIO(); f.retrbinary('RETR docs/guide.txt', b.write)\n"
             "print('GUIDE', len(b.getvalue()))\n"
             "f.cwd('/incoming')\n"
             "print(f.storbinary('STOR up.txt', io.BytesIO(b'uploaded\\n')))\n"
             "def probe(name, fn):\n"
             "  try:\n"
             "    fn(); print('ALLOWED', name)\n"
             "  except ftplib.error_perm as e:\n"
             "    print('REFUSED', name, str(e)[:3])\n"
             "ls('.')\n"
             "probe('read', lambda: f.retrbinary('RETR up.txt', print))\n"
             "f.cwd('/pub')\n"
             "probe('store', lambda: f.storbinary('STOR x', io.BytesIO(b'x')))\n",
             &st);
  ASSERT_EQ(st, 0) << out << srv->output();
  // The banner, then welcome.msg of the guest's home with its tokens filled in.
  EXPECT_NE(out.find("a qorda demo FTP site."), std::string::npos) << out;
  EXPECT_NE(out.find("Hello anonymous, welcome to the qorda demo site."), std::string::npos) << out;
  EXPECT_EQ(out.find("%U"), std::string::npos) << out;
  EXPECT_NE(out.find("\n/\n"), std::string::npos) << "home shown as the root: " << out;
  // Listings are checked once the server lists (until then LIST is answered 502).
  if (out.find("NOLIST") == std::string::npos) {
    EXPECT_NE(out.find("README.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("release notes.txt"), std::string::npos) << out;
    // A directory without the list permission lists as ". unreadable".
    EXPECT_NE(out.find("LISTED ['. unreadable']"), std::string::npos) << out;
  }
  EXPECT_NE(out.find("GOT b'Hello, world!\\n'"), std::string::npos) << out;
  EXPECT_EQ(out.find("GUIDE 0"), std::string::npos) << out;
  EXPECT_NE(out.find("GUIDE "), std::string::npos) << out;
  EXPECT_NE(out.find("226"), std::string::npos) << out;
  EXPECT_EQ(out.find("ALLOWED"), std::string::npos) << out;
  EXPECT_NE(out.find("REFUSED read 550"), std::string::npos) << out;
  EXPECT_NE(out.find("REFUSED store 550"), std::string::npos) << out;
  std::ifstream up(home.path() + "/h/c/incoming/up.txt");
  std::stringstream text;
  text << up.rdbuf();
  EXPECT_EQ(text.str(), "uploaded\n");
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/h/c/pub/x"));
}

TEST_F(DemoSite, PrintedPasswordLogsTheDemoAccountIn) {
  int st = -1;
  const std::string out = ftplib(port,
                                 "print(f.login('demo', '" + password +
                                     "'))\n"
                                     "f.cwd('/incoming')\n"
                                     "f.storbinary('STOR back.txt', io.BytesIO(b'both ways'))\n"
                                     "b = io.BytesIO(); f.retrbinary('RETR back.txt', b.write)\n"
                                     "print('GOT', b.getvalue())\n"
                                     "ls('.')\n",
                                 &st);
  ASSERT_EQ(st, 0) << out << srv->output();
  EXPECT_NE(out.find("230"), std::string::npos) << out;
  EXPECT_NE(out.find("GOT b'both ways'"), std::string::npos) << out;
  if (out.find("NOLIST") == std::string::npos) {
    EXPECT_NE(out.find("LISTED"), std::string::npos) << out;
    EXPECT_NE(out.find("back.txt"), std::string::npos) << out;
  }
  // Any other password is refused.
  const std::string wrong = ftplib(port,
                                   "try:\n"
                                   "  f.login('demo', 'not-the-password'); print('LOGGED IN')\n"
                                   "except ftplib.error_perm as e:\n"
                                   "  print('REFUSED', str(e)[:3])\n",
                                   &st);
  EXPECT_NE(wrong.find("REFUSED 530"), std::string::npos) << wrong;
}

}  // namespace
}  // namespace qorda::test
