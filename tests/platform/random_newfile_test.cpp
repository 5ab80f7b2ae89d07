// Generated secrets and files created only where no file exists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/fileio.h"
#include "platform/random.h"

namespace qorda::platform {
namespace {

namespace fs = std::filesystem;

TEST(RandomText, DrawsOnlyFromTheAlphabetAndReachesAllOfIt) {
  auto t = random_text(4000, "ab7");
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->size(), 4000u);
  EXPECT_EQ(std::set<char>(t->begin(), t->end()), (std::set<char>{'a', 'b', '7'}));
  // A full byte alphabet takes every byte as drawn.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  auto b = random_text(64, all);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->size(), 64u);
  EXPECT_NE(*random_text(32, "abcdefghijklmnopqrstuvwxyz"),
            *random_text(32, "abcdefghijklmnopqrstuvwxyz"));
}

TEST(RandomText, RefusesAnEmptyOrOversizedAlphabet) {
  EXPECT_EQ(random_text(8, "").err, EINVAL);
  EXPECT_EQ(random_text(8, std::string(257, 'x')).err, EINVAL);
  EXPECT_EQ(random_text(0, "a").value, "");
}

class NewFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path().string() + "/qorda-newfile-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST_F(NewFile, CreatesOnceAndNeverOverwrites) {
  const std::string p = dir_ + "/f.txt";
  ASSERT_TRUE(create_new_file(p, "first\r\n", 0640).ok());
  EXPECT_EQ(slurp(p), "first\r\n");
  EXPECT_EQ(fs::status(p).permissions() & fs::perms::group_write, fs::perms::none);
  EXPECT_EQ(create_new_file(p, "second", 0644).err, EEXIST);
  EXPECT_EQ(slurp(p), "first\r\n");
}

TEST_F(NewFile, NeverWritesThroughASymbolicLink) {
  const std::string target = dir_ + "/target";
  const std::string link = dir_ + "/link";
  fs::create_symlink(target, link);  // dangling
  EXPECT_FALSE(create_new_file(link, "x", 0644).ok());
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(NewFile, MissingDirectoryIsAnError) {
  platform::Status s = create_new_file(dir_ + "/no/such/f", "x", 0644);
  EXPECT_EQ(s.err, ENOENT);
  EXPECT_NE(s.msg.find(dir_ + "/no/such/f"), std::string::npos) << s.msg;
}

}  // namespace
}  // namespace qorda::platform
