// qorda check on a fresh home: the login verdict with the IP line, flag or limit that decides it,
// the paths a user types with the permission line that decides each, and the manual's example
// run as printed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

class CheckCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    qorda_cli(site(), "init");
    std::filesystem::create_directories(site() + "/c/home/alice");
    std::filesystem::create_directories(site() + "/c/pub/docs");
    std::filesystem::create_directories(site() + "/c/ftp/pub");
    std::ofstream(site() + "/c/pub/a.txt") << "a";
  }
  std::string site() const { return dir.path() + "/site"; }
  // `qorda --home SITE ARGS`: output (standard error included) and exit status.
  std::string check(const std::string& args, int* status) {
    int st = -1;
    std::string out =
        run_command("'" + std::string(QORDA_BINARY) + "' --home '" + site() + "' " + args, &st);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
  }
  TempDir dir;
};

TEST_F(CheckCommand, LoginVerdictNamesTheDecidingLineOrFlag) {
  qorda_cli(site(),
            "template add office --perm '[t] rwdlcxhms /c:/pub/' --ip '[t] d 10.*.*.*' "
            "--limit 09:00,17:00,-1,0,-1,-1");
  qorda_cli(site(),
            "user add ann --password x --template office --ip '[u] a 10.0.0.5' "
            "--ignore-limits");
  qorda_cli(site(), "user add ben --password x --template office --disabled");
  qorda_cli(site(), "user add cat --password x --perm '[u] rwdlcxhms /c:/missing/'");
  int st = -1;
  std::string out;

  // An exact user line beats the template's range; where no user line matches, the template's
  // line decides.
  out = check("check ann --ip 10.0.0.5", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("ip:       10.0.0.5 allowed by the user's line \"[u] a 10.0.0.5\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("limits:   not applied (priority logins: --ignore-limits)\n"),
            std::string::npos)
      << out;
  out = check("check ann --ip 10.0.0.6", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("ip:       10.0.0.6 denied by the template's line \"[t] d 10.*.*.*\"\n"
                     "password: required (not tested here)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("login:    refused (ip not allowed)\n"), std::string::npos) << out;

  // The disabled flag comes before the limits, as at PASS; with it cleared, a limit of 0 per user
  // refuses inside its range only.
  out = check("check BEN --at 12:00", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("user:     BEN (the account ben), template 'office'\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("login:    refused (account disabled)\n"), std::string::npos) << out;
  qorda_cli(site(), "user set ben --enabled");
  out = check("check ben --at 17:00", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("template 'office' line \"09:00,17:00,-1,0,-1,-1\": total 20, per user 0"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("login:    refused (limit: 0 clients using '[u] ben')\n"), std::string::npos)
      << out;
  out = check("check ben --at 17:01", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("login:    would succeed\n"), std::string::npos) << out;

  // A line on a missing directory adds no root; an unknown name stops at once.
  out = check("check cat", &st);
  EXPECT_EQ(st, 1) << out;
  EXPECT_NE(out.find("note:     the user's line \"[u] rwdlcxhms /c:/missing/\" names no existing "
                     "directory: it adds no root and is not the home\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("login:    refused (no file permissions)\n"), std::string::npos) << out;
  EXPECT_EQ(check("check FTP /pub", &st),
            "user:     FTP (the account anonymous): no such account\n"
            "login:    refused (unknown user)\n");
  EXPECT_EQ(st, 1);

  // Usage errors: exit 2 and nothing else done; a home without a store: 1.
  for (const char* bad : {"check", "check ann --ip 10.0.0", "check ann --at 24:00",
                          "check ann --at 9:00", "check ann --port 1"}) {
    out = check(bad, &st);
    EXPECT_EQ(st, 2) << bad << "\n" << out;
  }
  out = run_command(
      "'" + std::string(QORDA_BINARY) + "' --home '" + dir.path() + "/none' check ann", &st);
  EXPECT_EQ(WEXITSTATUS(st), 1) << out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/none"));
}

TEST_F(CheckCommand, PathsShowTheLineThatDecides) {
  qorda_cli(site(),
            "template add staff --perm '[t] --------- /c:/' "
            "--perm '[t] r--l---ms /c:/pub/' --perm '[t] rwdlcxhms /c:/ftp/'");
  qorda_cli(site(),
            "user add alice --password x --template staff "
            "--perm '[u] rwdlcxhms /c:/home/alice/'");
  qorda_cli(site(), "user add dan --password x --template staff --perm '[u] r--l----- /c:/'");
  int st = -1;
  std::string out = check("check alice /pub/a.txt /pub/none /home/alice", &st);
  EXPECT_EQ(st, 0) << out;
  const std::string c = site() + "/c";
  // No user line leads to /c:/pub/ or /c:/home/: the template's lines decide there, and its
  // line on /c:/ without s refuses /c:/home/ on the way to alice's own home.
  EXPECT_NE(
      out.find("path /pub/a.txt\n"
               "  file:      /c:/pub/a.txt (the client sees /pub/a.txt)\n"
               "  local:     " +
               c +
               "/pub/a.txt\n"
               "  rights:    the template's line \"[t] r--l---ms /c:/pub/\": read, list, show "
               ".message; applies to /c:/pub/ and below (a file has its directory's rights)\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("path /pub/none\n"
                     "  not found: no none in /c:/pub/ (the client sees /pub/)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("path /home/alice\n  denied:    /c:/home/ (the client sees /home/)\n"
                     "  rights:    none: the closest line, the template's \"[t] --------- /c:/\", "
                     "has no s, so it reaches /c:/ only\n"),
            std::string::npos)
      << out;

  // Dan's own line on /c:/ is the closest for /c:/ftp/: the template's longer line never counts.
  out = check("check dan /ftp/pub", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("path /ftp/pub\n"
                     "  denied:    /c:/ftp/ (the client sees /ftp/)\n"
                     "  rights:    none: the closest line, the user's \"[u] r--l----- /c:/\", has "
                     "no s, so it reaches /c:/ only (the template's lines count only where no user "
                     "line leads)\n"),
            std::string::npos)
      << out;
}

// The manual's example, as printed there (after the demo site it builds on), gives alice /pub/
// and her home; without its two lines that grant passage only, / refuses her.
TEST_F(CheckCommand, ManualExampleReachesPubAndHome) {
  std::ifstream in(std::string(QORDA_SOURCE_DIR) + "/packaging/qorda.1");
  std::stringstream man;
  man << in.rdbuf();
  std::smatch m;
  const std::string text = man.str();
  ASSERT_TRUE(std::regex_search(
      text, m, std::regex("\\.nf\\n(mkdir[\\s\\S]*?user add alice[\\s\\S]*?)\\.fi")))
      << "no example for alice in the manual";
  std::string block = std::regex_replace(m[1].str(), std::regex("\\\\-"), "-");
  block = std::regex_replace(block, std::regex("\\\\e"), "\\");
  // Exported, so that the shell itself expands ~ to the test's directory.
  const std::string env = "export HOME='" + dir.path() + "' PATH='" +
                          std::filesystem::path(QORDA_BINARY).parent_path().string() +
                          ":'\"$PATH\"; ";
  int st = -1;
  std::string out = run_command(env + "'" + QORDA_BINARY + "' --home ~/ftp init --demo", &st);
  ASSERT_EQ(st, 0) << out;
  std::ofstream(dir.path() + "/example.sh") << block;
  out = run_command(env + "sh -e '" + dir.path() + "/example.sh'", &st);
  ASSERT_EQ(st, 0) << block << out;
  EXPECT_NE(out.find("path /pub\n  directory: /c:/pub/ (the client sees /pub/)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  rights:    the user's line \"[u] r--l---ms /c:/pub/\""), std::string::npos)
      << out;
  EXPECT_NE(out.find("path /home/alice\n  directory: /c:/home/alice/"), std::string::npos) << out;

  out = run_command(env +
                        "qorda --home ~/ftp user set alice --perm '[u] rwdlcxhms /c:/home/alice/' "
                        "--perm '[u] r--l---ms /c:/pub/' && qorda --home ~/ftp check alice /pub",
                    &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("  hint:      no line applies to /c:/, so the client cannot list it or pass "
                     "through it: give it a line (\"[u] --------- /c:/\" grants passage only)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("path /pub\n  denied:    /c:/ (the client sees /)\n"), std::string::npos)
      << out;
}

}  // namespace
}  // namespace qorda::test
