// Running out of file descriptors: the first shortage of an episode is logged at level 1, and a
// command that could not open what it needed gets its failure reply, never an empty success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "session/session.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"
#include "transfer/data_connection.h"

namespace qorda::test {
namespace {

// Takes every descriptor this process may still open: the limit is lowered to just above the
// highest one open and the free numbers below are filled; the destructor gives everything back.
class NoFreeDescriptors {
 public:
  NoFreeDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    int highest = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::stoi(e.path().filename().string()));
    }
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(highest) + 1;
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    fill();
  }
  ~NoFreeDescriptors() {
    for (int fd : held_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  NoFreeDescriptors(const NoFreeDescriptors&) = delete;
  NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

 private:
  void fill() {
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
    EXPECT_EQ(errno, EMFILE);
  }

  rlimit saved_{};
  std::vector<int> held_;
};

constexpr const char* kAcceptShort =
    "error: out of file descriptors (accept, Too many open files).";
constexpr const char* kOpenShort =
    "error: out of file descriptors (file open, Too many open files).";

// Every line about a shortage, whatever ran short.
long shortage_lines(const TestServer& srv) {
  return std::count_if(srv.observer.lines.begin(), srv.observer.lines.end(), [](const auto& l) {
    return l.find("error: out of file descriptors") != std::string::npos;
  });
}

TEST(OutOfDescriptors, ShortageIsLoggedOncePerEpisodeAndCommandsAnswerWithTheirFailure) {
  TestServer srv;
  FtpClient c(srv);
  connect_logged_in(srv, c);
  write_file(srv, "f.txt", "abc");
  session::Session* s = session_of(srv, c);
  DataPeer pasv(srv);
  ASSERT_TRUE(pasv.connect_pasv(c.cmd("PASV")));
  for (int i = 0; i < 1000 && !s->data()->connected(); ++i) srv.pump(1);
  ASSERT_TRUE(s->data()->connected());
  // A client is waiting to be accepted when the descriptors run out.
  FtpClient late(srv.port(), {});
  {
    NoFreeDescriptors none;
    for (int i = 0; i < 1000 && !srv.observer.has(kAcceptShort); ++i) srv.pump(1);
    EXPECT_EQ(srv.observer.count(kAcceptShort), 1);
    // A directory that cannot be opened is neither an empty status nor an empty listing.
    EXPECT_EQ(c.cmd("STAT /"), "550 /: No such file or directory.");
    EXPECT_EQ(c.cmd("LIST"), "150 Opening ASCII mode data connection for /bin/ls");
    EXPECT_EQ(c.reply(), "426 Transfer aborted. Error reading file.");
    EXPECT_TRUE(srv.observer.has("Transfer aborted (read error)."));
    EXPECT_EQ(shortage_lines(srv), 1);  // all in one episode
  }
  // With descriptors again, the waiting client gets in.
  for (int i = 0; i < 2000 && srv.net().client_count() < 2; ++i) srv.pump(5);
  ASSERT_EQ(srv.net().client_count(), 2);

  // A minute later a new shortage is a new episode.
  srv.advance_and_tick(60000);
  DataPeer active(srv);
  EXPECT_EQ(c.cmd("PORT " + active.listen()), "200 PORT command successful.");
  {
    NoFreeDescriptors none;
    EXPECT_EQ(c.cmd("RETR f.txt"), "450 /f.txt: Permission denied.");
    EXPECT_EQ(srv.observer.count(kOpenShort), 1);
  }
  EXPECT_EQ(shortage_lines(srv), 2);
}

}  // namespace
}  // namespace qorda::test
