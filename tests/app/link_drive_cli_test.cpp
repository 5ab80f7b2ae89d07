// The link and drive commands, run as the real program against a temporary
// home.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct CliRun {
  int status;
  std::string out, err;
};

class LinkDriveCli : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-cli-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    ASSERT_EQ(qorda({"init"}).status, 0);
  }
  void TearDown() override { fs::remove_all(home_); }

  static std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
      q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static std::string slurp(const std::string &p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  CliRun qorda(const std::vector<std::string> &args) {
    std::string cmd = std::string(QORDA_BINARY) + " --home " + quote(home_);
    for (const auto &a : args)
      cmd += " " + quote(a);
    cmd += " >" + quote(home_ + "/.out") + " 2>" + quote(home_ + "/.err");
    int st = std::system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(home_ + "/.out"),
            slurp(home_ + "/.err")};
  }
  std::string home_;
};

} // namespace

TEST_F(LinkDriveCli, LinkEditorChecksAndMessages) {
  CliRun r = qorda({"link", "add", "c:\\ftp\\new", "d:\\"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = qorda({"link", "list"});
  EXPECT_EQ(r.out, "/c:/ftp/new -> /d:/\n");
  r = qorda({"link", "add", "/C:/FTP/NEW", "~"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qorda link add: there is already a link at /c:/ftp/new (to /d:/)\n");
  r = qorda({"link", "add", "/c:/9lives", "~"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("qorda link add: invalid link location '/c:/9lives': give a full "
                        "virtual path",
                        0),
            0u)
      << r.err;
  r = qorda({"link", "add", "/c:/x", "~pub"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("qorda link add: invalid link target '~pub': give a virtual path", 0), 0u)
      << r.err;
  EXPECT_EQ(qorda({"link", "list"}).out,
            "/c:/ftp/new -> /d:/\n"); // nothing written
  EXPECT_EQ(qorda({"link", "add", "/c:/x"}).status, 2);
  EXPECT_EQ(qorda({"link", "frob"}).status, 2);
  r = qorda({"link", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: qorda link"), std::string::npos);
  EXPECT_NE(qorda({"link", "del", "/c:/ftp/other"}).status, 0);
  ASSERT_EQ(qorda({"link", "del", "/C:/ftp/NEW/"}).status, 0);
  EXPECT_EQ(qorda({"link", "list"}).out, "");
}

TEST_F(LinkDriveCli, DriveTableEditing) {
  CliRun r = qorda({"drive", "list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "c: " + home_ + "/c (default)\n");
  fs::create_directories(home_ + "/srv/d");
  r = qorda({"drive", "set", "D:", home_ + "/srv/d/"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = qorda({"drive", "list"});
  // Setting the first drive keeps the default c: that was in use.
  EXPECT_EQ(r.out, "c: " + home_ + "/c\nd: " + home_ + "/srv/d\n");
  r = qorda({"drive", "set", "e", home_ + "/nothere"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("not an existing directory"), std::string::npos);
  EXPECT_EQ(qorda({"drive", "set", "1", home_}).status, 2);
  EXPECT_EQ(qorda({"drive", "set", "ee", home_}).status, 2);
  EXPECT_EQ(qorda({"drive", "list"}).out,
            "c: " + home_ + "/c\nd: " + home_ + "/srv/d\n");
  EXPECT_EQ(qorda({"drive", "del", "d"}).status, 0);
  EXPECT_NE(qorda({"drive", "del", "d"}).status, 0);
  EXPECT_EQ(qorda({"drive", "--help"}).status, 0);
  EXPECT_EQ(qorda({"drive"}).status, 2);
}

TEST_F(LinkDriveCli, DriveThatReachesTheHomeIsRefused) {
  // A drive on the home or above it would serve the store itself to FTP users.
  fs::create_directories(home_ + "/srv");
  fs::create_symlink(home_, home_ + "/srv/back");
  const std::string parent = fs::path(home_).parent_path().string();
  for (const std::string &dir :
       {home_, home_ + "/", home_ + "/srv/..", home_ + "/srv/back", parent,
        std::string("/")}) {
    CliRun r = qorda({"drive", "set", "d", dir});
    EXPECT_EQ(r.status, 2) << dir;
    EXPECT_NE(r.err.find(" the home " + home_ +
                         ", whose store keeps the accounts"),
              std::string::npos)
        << r.err;
  }
  EXPECT_NE(qorda({"drive", "set", "d", home_}).err.find("' is the home"),
            std::string::npos);
  EXPECT_NE(qorda({"drive", "set", "d", "/"}).err.find("'/' holds the home"),
            std::string::npos);
  EXPECT_EQ(qorda({"drive", "list"}).out,
            "c: " + home_ + "/c (default)\n"); // nothing was written
  // A directory inside the home is fine (the default drive c: is one).
  EXPECT_EQ(qorda({"drive", "set", "d", home_ + "/srv"}).status, 0);
}

TEST_F(LinkDriveCli, DriveChangesSayThatARunningServerNeedsSighup) {
  fs::create_directories(home_ + "/srv/d");
  const std::string note = "A running server applies it on SIGHUP.\n";
  EXPECT_EQ(qorda({"drive", "set", "d", home_ + "/srv/d"}).out, note);
  EXPECT_EQ(qorda({"drive", "del", "d"}).out, note);
  // Nothing changed, nothing to apply.
  EXPECT_EQ(qorda({"drive", "del", "d"}).out, "");
  EXPECT_EQ(qorda({"drive", "set", "d", home_ + "/none"}).out, "");
}
