// The site `qorda init --demo` makes, served by `qorda serve` and used by Python's ftplib as a
// newcomer would: anonymous reads /pub/ and only stores into /incoming/; the printed password
// logs the demo account in.
#include "tests/interop/demo_site.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qorda::test {
namespace {

// Runs a Python ftplib session against the port; `body` uses the connected object `f` and
// `ls(path)`, which prints "LISTED" and the LIST lines.
std::string ftplib(uint16_t port, const std::string& body, int* status) {
  const std::string script =
      "import ftplib, io, sys\n"
      "def ls(path):\n"
      "  lines = []\n"
      "  f.retrlines('LIST ' + path, lines.append)\n"
      "  print('LISTED', lines)\n"
      "f = ftplib.FTP()\n"
      "f.connect('127.0.0.1', " +
      std::to_string(port) + ", timeout=20)\n" + body + "f.quit()\n";
  TempDir dir;
  const std::string path = dir.path() + "/session.py";
  { std::ofstream(path) << script; }
  return run_command("python3 '" + path + "'", status);
}

TEST_F(DemoSite, AnonymousReadsPubAndStoresIntoIncomingOnly) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
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
  EXPECT_NE(out.find("README.txt"), std::string::npos) << out;
  EXPECT_NE(out.find("release notes.txt"), std::string::npos) << out;
  // A directory without the list permission lists as ". unreadable".
  EXPECT_NE(out.find("LISTED ['. unreadable']"), std::string::npos) << out;
  EXPECT_NE(out.find("GOT b'Hello, world!\\n'"), std::string::npos) << out;
  EXPECT_EQ(out.find("GUIDE 0"), std::string::npos) << out;
  EXPECT_NE(out.find("GUIDE "), std::string::npos) << out;
  EXPECT_NE(out.find("226"), std::string::npos) << out;
  EXPECT_EQ(out.find("ALLOWED"), std::string::npos) << out;
  EXPECT_NE(out.find("REFUSED read 550"), std::string::npos) << out;
  EXPECT_NE(out.find("REFUSED store 550"), std::string::npos) << out;
  std::ifstream up(drive() + "/incoming/up.txt");
  std::stringstream text;
  text << up.rdbuf();
  EXPECT_EQ(text.str(), "uploaded\n");
  EXPECT_FALSE(std::filesystem::exists(drive() + "/pub/x"));
}

TEST_F(DemoSite, PrintedPasswordLogsTheDemoAccountIn) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
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
  EXPECT_NE(out.find("LISTED"), std::string::npos) << out;
  EXPECT_NE(out.find("back.txt"), std::string::npos) << out;
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
