#include "platform/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/fd.h"

namespace {

using namespace qorda::platform;

class FileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qorda-io-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST_F(FileIo, BoundedReadStopsAtTheLimit) {
  auto old_pipe = std::signal(SIGPIPE, SIG_IGN);  // the writer outlives the reader
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd rd(fds[0]), wr(fds[1]);
  // A writer that would go on far beyond the limit; the reader gives up after the limit.
  std::thread writer([fd = wr.release()] {
    std::string chunk(4096, 'a');
    for (int i = 0; i < 1000; ++i) {
      if (::write(fd, chunk.data(), chunk.size()) < 0) break;
    }
    ::close(fd);
  });
  auto r = read_all_bounded(rd.get(), 100 * 1024);
  rd.reset();  // the writer's next write fails with EPIPE and it stops
  writer.join();
  std::signal(SIGPIPE, old_pipe);
  EXPECT_EQ(r.err, EFBIG);
  EXPECT_TRUE(r.value.empty());

  std::string f = dir_ + "/in";
  std::ofstream(f) << std::string(1000, 'x');
  auto exact = read_file_bounded(f, 1000);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact->size(), 1000u);
  EXPECT_EQ(read_file_bounded(f, 999).err, EFBIG);
  auto missing = read_file_bounded(dir_ + "/none", 10);
  EXPECT_EQ(missing.err, ENOENT);
  EXPECT_NE(missing.msg.find("/none"), std::string::npos);
}

TEST_F(FileIo, ReplaceFileLeavesOldOrNewAndNoLeftovers) {
  std::string f = dir_ + "/out.reg";
  std::ofstream(f) << "old";
  ASSERT_TRUE(replace_file(f, "new contents", 0600));
  EXPECT_EQ(slurp(f), "new contents");
  struct stat st {};
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Replacing a directory fails and leaves neither a change nor a temporary file.
  std::filesystem::create_directory(dir_ + "/sub");
  EXPECT_FALSE(replace_file(dir_ + "/sub", "x", 0600));
  EXPECT_FALSE(replace_file(dir_ + "/no/such/dir/file", "x", 0600));
  size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);  // out.reg and sub
}

TEST_F(FileIo, MakeDirectoriesCreatesParentsWithTheMode) {
  std::string deep = dir_ + "/a/b/c";
  mode_t old = ::umask(0);
  ASSERT_TRUE(make_directories(deep, 0700));
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir_ + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(make_directories(deep + "/", 0700));  // already there
  std::ofstream(dir_ + "/file") << "x";
  EXPECT_EQ(make_directories(dir_ + "/file/sub", 0700).err, ENOTDIR);
  EXPECT_EQ(make_directories(dir_ + "/file", 0700).err, ENOTDIR);
}

}  // namespace
