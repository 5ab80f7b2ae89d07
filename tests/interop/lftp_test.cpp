// lftp against the demo site with its default settings: it asks FEAT and AUTH TLS first and
// SITE UTIME after each upload, and goes on after our 500 replies. `ls` shows the links,
// `mirror` brings /pub/ down (files, subdirectories, names with spaces, links as links) and
// `mirror -R` takes a local tree up; both trees come out identical.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/interop/demo_site.h"

namespace qorda::test {
namespace {

TEST_F(DemoSite, LftpListsAndMirrorsBothWays) {
  if (!have_program("lftp")) GTEST_SKIP() << "lftp is not installed";
  const std::string down = work.path() + "/down";
  const std::string up = work.path() + "/up";
  spit(up + "/a file.txt", "first\n");
  spit(up + "/sub dir/x", "");
  spit(up + "/sub dir/deeper/blob one.bin", pattern_bytes(200000, 41));
  std::filesystem::create_directories(up + "/empty dir");

  int st = -1;
  const std::string out = run_command(
      "lftp -d -u writer,Wr1te-me -p " + std::to_string(port) +
          " -e \"set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 10; ls pub; "
          "mirror pub '" + down + "'; mirror -R '" + up + "' /upload; bye\" 127.0.0.1",
      &st);
  ASSERT_EQ(st, 0) << out;
  // The extensions it tried, and what it did after the refusal.
  for (const std::string step :
       {"---> FEAT\n<--- 500 'FEAT': command not understood.\n---> AUTH TLS\n"
        "<--- 500 'AUTH': command not understood.\n---> USER writer\n",
        "<--- 500 'SITE UTIME': command not understood.\n"}) {
    EXPECT_NE(out.find(step), std::string::npos) << step << "\n" << out;
  }
  // `ls` passes the long listing on: the links with their targets, names with spaces.
  for (const std::string entry :
       {" manual -> /pub/docs/\n", " latest.txt -> /pub/hello.txt\n", " release notes.txt\n",
        " big.bin\n", " docs\n"}) {
    EXPECT_NE(out.find(entry), std::string::npos) << entry << "\n" << out;
  }
  EXPECT_EQ(tree_of(down), pub_tree());
  EXPECT_EQ(tree_of(drive() + "/upload"), tree_of(up));
}

}  // namespace
}  // namespace qorda::test
