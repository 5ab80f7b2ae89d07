#include "platform/lockfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

using qorda::platform::InstanceLock;

namespace {

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  // Tries the lock from a separate process; returns 0 when it was taken, 1 when refused with a
  // message naming `pid`, 2 for any other outcome.
  int try_in_child(pid_t pid) {
    pid_t child = ::fork();
    if (child == 0) {
      auto r = InstanceLock::acquire_home(home_);
      int code = 2;
      if (r.ok() && r->held()) {
        code = 0;
      } else if (r.err == EWOULDBLOCK &&
                 r.msg.find("(pid " + std::to_string(pid) + ")") != std::string::npos) {
        code = 1;
      }
      ::_exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
  }

  std::string home_;
};

TEST_F(InstanceLockTest, SecondHolderIsRefusedWithThePidUntilTheFirstReleases) {
  {
    auto first = InstanceLock::acquire_home(home_);
    ASSERT_TRUE(first.ok()) << first.msg;
    EXPECT_TRUE(first->held());
    EXPECT_EQ(try_in_child(::getpid()), 1);

    // Moving the lock keeps it held.
    InstanceLock moved = std::move(first.value);
    EXPECT_TRUE(moved.held());
    EXPECT_EQ(try_in_child(::getpid()), 1);
  }
  // Released on destruction: another process gets it.
  EXPECT_EQ(try_in_child(::getpid()), 0);
  // And so does this one again.
  auto again = InstanceLock::acquire_home(home_);
  EXPECT_TRUE(again.ok()) << again.msg;
}

TEST_F(InstanceLockTest, MissingDirectoryIsAClearError) {
  auto r = InstanceLock::acquire_home(home_ + "/no/such/dir");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.err, ENOENT);
  EXPECT_NE(r.msg.find("qorda.lock"), std::string::npos);
}

}  // namespace
