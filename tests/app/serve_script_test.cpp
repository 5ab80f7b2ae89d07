// scripts/serve.sh, the README's first command, run on this build: it builds only the program,
// says little, and ends its own output with the demo password (or, on a later run, with how to
// set a new one) before the server's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

// The script's own lines: everything before the server's first one.
std::string script_part(const std::string& out) {
  return out.substr(0, out.find("Cindervale FTP Daemon"));
}

TEST(ServeScript, ShowsTheDemoPasswordLastAndHowToSetANewOne) {
  const std::string src = QORDA_SOURCE_DIR;
  int st = 0;
  const std::string missing = run_command("'" + src + "/scripts/deps.sh' --check", &st);
  if (st != 0) GTEST_SKIP() << "the script would install packages: " << missing;
  TempDir dir;
  const std::string home = dir.path() + "/site";
  const std::string build = std::filesystem::path(QORDA_BINARY).parent_path().string();
  const uint16_t port = serve_port();
  const ServeChild::Script script{"env QORDA_HOME='" + home + "' QORDA_BUILD='" + build + "' '" +
                                  src + "/scripts/serve.sh' --port " + std::to_string(port)};
  std::string password;
  {
    ServeChild srv(script);
    ASSERT_TRUE(srv.wait_up()) << srv.output();
    const std::string own = script_part(srv.output());
    EXPECT_NE(own.find("on port " + std::to_string(port)), std::string::npos) << own;
    EXPECT_LE(std::count(own.begin(), own.end(), '\n'), 16) << own;
    // The password stands on a line of its own; after it only how to change it.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(own, m, std::regex("\n {6}([a-z2-9]{14})\n"))) << own;
    password = m[1];
    const std::string tail = m.suffix();
    EXPECT_NE(tail.find("user passwd demo"), std::string::npos) << tail;
    EXPECT_LE(std::count(tail.begin(), tail.end(), '\n'), 3) << tail;

    FtpClient c(port, FtpClient::Pump{});
    EXPECT_EQ(login(c, "demo", password).substr(0, 3), "230");
    EXPECT_EQ(srv.stop(), 0) << srv.output();
  }
  // A second run keeps the site: no password then, but how to set a new one.
  ServeChild again(script);
  ASSERT_TRUE(again.wait_up()) << again.output();
  const std::string own = script_part(again.output());
  EXPECT_EQ(own.find(password), std::string::npos) << own;
  EXPECT_NE(own.find("shown when the site was made"), std::string::npos) << own;
  EXPECT_NE(own.find("--home " + home + " user passwd demo"), std::string::npos) << own;
  EXPECT_EQ(again.stop(), 0) << again.output();
}

}  // namespace
}  // namespace qorda::test
