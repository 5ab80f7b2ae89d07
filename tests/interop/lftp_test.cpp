// lftp against the demo site with its default settings: it asks FEAT and AUTH TLS first and
// SITE UTIME after each upload, and goes on after our 500 replies. `ls` and `cls` read the
// listing (links included), `get` fetches through a file link, `mirror` brings /pub/ down (files,
// subdirectories, names with spaces, links as links) and, in active mode, `mirror -R` takes a
// local tree up; both trees come out identical.
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
          "cd pub; cls -1; get latest.txt -o '" +
          work.path() +
          "/fetched.txt'; cd /; "
          "mirror pub '" +
          down + "'; set ftp:passive-mode off; mirror -R '" + up +
          "' /upload; get '/upload/sub dir/deeper/blob one.bin' -o '" + work.path() +
          "/back.bin'; bye\" 127.0.0.1",
      &st);
  ASSERT_EQ(st, 0) << out;
  // The extensions it tried, and what it did after the refusal.
  EXPECT_TRUE(in_order(out, {"---> FEAT\n<--- 500 'FEAT': command not understood.\n"
                             "---> AUTH TLS\n<--- 500 'AUTH': command not understood.\n"
                             "---> USER writer\n",
                             "<--- 500 'SITE UTIME': command not understood.\n"}))
      << out;
  // `ls` passes the long listing on: the links with their targets, names with spaces; `cls`
  // parses it back into names, marking directories ("/") and links ("@").
  for (const std::string entry :
       {" manual -> /pub/docs/\n", " latest.txt -> /pub/hello.txt\n", " release notes.txt\n",
        " big.bin\n", " docs\n", "\ndocs/\n", "\nmanual@\n", "\nlatest.txt@\n",
        "\nrelease notes.txt\n", "\n\xc3\xa9t\xc3\xa9.txt\n"}) {
    EXPECT_NE(out.find(entry), std::string::npos) << entry << "\n" << out;
  }
  EXPECT_EQ(slurp(work.path() + "/fetched.txt"), slurp(drive() + "/pub/hello.txt"));
  EXPECT_EQ(tree_of(down), pub_tree());
  // The upload and the download after it went through active data connections.
  EXPECT_TRUE(in_order(
      out, {"---> PORT 127,0,0,1,", "<--- 200 PORT command successful.", "---> STOR a file.txt"}))
      << out;
  EXPECT_EQ(tree_of(drive() + "/upload"), tree_of(up));
  EXPECT_TRUE(slurp(work.path() + "/back.bin") == pattern_bytes(200000, 41));
}

}  // namespace
}  // namespace qorda::test
