// A home that the command's user cannot write: instead of the store's own words ("attempt to
// write a readonly database", "Permission denied") the commands name the user id that owns it
// and what to do. Runs the real program as an unprivileged user id, so it needs root.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/serve_child.h"

namespace {

namespace fs = std::filesystem;
using qorda::test::run_command;

constexpr const char* kOwner = "65534";  // the home's owner
constexpr const char* kCaller = "4242";  // the user id that runs the commands

class HomeAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a home to another user id";
    if (!qorda::test::have_program("setpriv")) GTEST_SKIP() << "setpriv is not installed";
    std::string tmpl = fs::temp_directory_path().string() + "/qorda-access-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    home_ = dir_ + "/home";
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // `qorda --home HOME ARGS` as the caller's user id: exit status and standard error.
  struct Outcome {
    int status = -1;
    std::string err;
  };
  Outcome as_caller(const std::string& home, const std::string& args) {
    int st = 0;
    std::string err = run_command(std::string("{ setpriv --reuid ") + kCaller + " --regid " +
                                      kCaller + " --clear-groups '" + QORDA_BINARY + "' --home '" +
                                      home + "' " + args + " 2>&1 >/dev/null; }",
                                  &st);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, err};
  }
  void sh(const std::string& cmd) {
    int st = 0;
    std::string out = run_command(cmd, &st);
    ASSERT_EQ(st, 0) << cmd << "\n" << out;
  }

  std::string dir_, home_;
};

TEST_F(HomeAccess, AnotherUsersHomeNamesTheOwnerAndHowToRunAsIt) {
  sh("'" + std::string(QORDA_BINARY) + "' --home '" + home_ + "' init");
  sh(std::string("chown -R ") + kOwner + ":" + kOwner + " '" + home_ + "'");
  const std::string expect = "the home " + home_ + " belongs to uid " + kOwner;

  // The home as init makes it (0700): nothing in it can even be looked at.
  Outcome r = as_caller(home_, "user add alice");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qorda user add: cannot open the store: " + expect, 0), 0u) << r.err;
  EXPECT_NE(r.err.find(std::string(" and this command runs as uid ") + kCaller +
                       "; run it as that user (sudo -u "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(" qorda --home " + home_ +
                       " user add ...) or choose a home of your own with --home DIR\n"),
            std::string::npos)
      << r.err;

  // A store the caller may write in a home it may not: the store's engine refuses to write
  // ("attempt to write a readonly database"); the message is the same.
  fs::permissions(home_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(
      home_ + "/qorda.db",
      fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  r = as_caller(home_, "set iport 2121");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("readonly"), std::string::npos) << r.err;

  // A home yet to be made in a directory root owns: run it as root.
  const std::string unborn = dir_ + "/new-home";
  r = as_caller(unborn, "init");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the directory " + dir_ + ", which holds the home " + unborn +
                       ", belongs to uid 0"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("(sudo qorda --home " + unborn + " init ...)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(unborn));
}

TEST_F(HomeAccess, OwnHomeThatIsNotWritableOrHoldsAnotherUsersJournal) {
  sh("'" + std::string(QORDA_BINARY) + "' --home '" + home_ + "' init");
  sh(std::string("chown -R ") + kCaller + " '" + home_ + "'");
  fs::permissions(home_, fs::perms::owner_read | fs::perms::owner_exec);
  Outcome r = as_caller(home_, "user add alice");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the home " + home_ +
                       " or its store is not writable, though both belong "
                       "to uid " +
                       kCaller + ", this command's user"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("chmod u+w " + home_ + " " + home_ + "/qorda.db"), std::string::npos)
      << r.err;

  // The journal of a store that root has open (a server run with sudo): the store's engine
  // takes the store as read-only and refuses the write.
  fs::permissions(home_, fs::perms::owner_all);
  sh("touch '" + home_ + "/qorda.db-wal' '" + home_ + "/qorda.db-shm'");
  r = as_caller(home_, "user add alice");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(home_ + "/qorda.db-wal belongs to uid 0"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(sudo qorda --home " + home_ + " user add ...)"), std::string::npos)
      << r.err;
}

}  // namespace
