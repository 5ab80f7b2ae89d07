// What the program does when it is not told what to do, or is pointed at a home that is not
// one: it explains itself and starts or creates nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

namespace fs = std::filesystem;

// Bounded, so that a program that starts serving fails the test instead of hanging it.
std::string qorda_run(const std::string& env, const std::string& args, int* status) {
  const std::string out =
      run_command("env " + env + " timeout 20 '" + QORDA_BINARY + "' " + args, status);
  *status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return out;
}

TEST(NoCommand, PrintsTheUsageAndStartsNoServer) {
  TempDir dir;
  const std::string home = dir.path() + "/home";
  // A home that could be served at once, on a free port.
  qorda_cli(home, "init");
  qorda_cli(home, "set iport " + std::to_string(serve_port()));
  const std::string env = "QORDA_HOME='" + home + "'";
  // With a display the window opens instead (gui_command_test.cpp).
  for (const char* display : {"-u DISPLAY -u WAYLAND_DISPLAY", "DISPLAY= WAYLAND_DISPLAY="}) {
    int st = 0;
    const std::string out = qorda_run(std::string(display) + " " + env, "", &st);
    EXPECT_EQ(st, 2) << display << ": " << out;
    EXPECT_EQ(out.rfind("usage: qorda [--home DIR] COMMAND", 0), 0u) << display << ": " << out;
    EXPECT_NE(out.find("  serve "), std::string::npos) << out;
  }
  // Not even the default home is created.
  int st = 0;
  qorda_run("-u DISPLAY -u WAYLAND_DISPLAY QORDA_HOME='" + dir.path() + "/none'", "", &st);
  EXPECT_EQ(st, 2);
  EXPECT_FALSE(fs::exists(dir.path() + "/none"));
}

TEST(MissingHome, EveryCommandButInitSaysSoAndCreatesNothing) {
  TempDir dir;
  TempDir elsewhere;  // a directory drive d: could map to
  const std::string port = std::to_string(serve_port());
  const std::string import = dir.path() + "/in.reg";
  { std::ofstream(import) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"v\"=\"1\"\n"; }
  const std::vector<std::string> commands = {"serve --port " + port,
                                             "get",
                                             "get iport",
                                             "set iport 2121",
                                             "user list",
                                             "user show bob",
                                             "user add bob --password pw",
                                             "user del bob",
                                             "template list",
                                             "template add t",
                                             "link list",
                                             "link add /c:/x d:",
                                             "drive list",
                                             "drive set d '" + elsewhere.path() + "'",
                                             "drive del d",
                                             "reg export -",
                                             "reg import '" + import + "'",
                                             "reg query Software",
                                             "reg set Software v sz x",
                                             "reg delete Software v"};
  // A mistyped home that does not exist, and an existing directory with no store in it.
  const std::string absent = dir.path() + "/typo";
  const std::string empty = dir.path() + "/empty";
  fs::create_directories(empty);
  for (const std::string& home : {absent, empty}) {
    for (const std::string& cmd : commands) {
      int st = 0;
      const std::string out = qorda_run("", "--home '" + home + "' " + cmd, &st);
      EXPECT_EQ(st, 1) << cmd << ": " << out;
      EXPECT_NE(out.find(home + " is not a qorda home: there is no store " + home + "/qorda.db"),
                std::string::npos)
          << cmd << ": " << out;
      EXPECT_NE(out.find("'qorda --home " + home + " init'"), std::string::npos) << cmd;
    }
  }
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_TRUE(fs::is_empty(empty));

  // init makes the home, and then the commands work on it.
  qorda_cli(empty, "init");
  EXPECT_EQ(qorda_cli(empty, "get iport"), "iport=21\n");
  int st = 0;
  const std::string out = qorda_run("", "--home '" + empty + "' serve --port 0", &st);
  EXPECT_EQ(st, 1);
  EXPECT_NE(out.find("the port is 0"), std::string::npos) << out;
}

}  // namespace
}  // namespace qorda::test
