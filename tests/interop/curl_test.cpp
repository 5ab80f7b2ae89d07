// curl against the demo site: uploads and downloads in passive and active mode, a resumed
// download, the name list and the long listing, anonymous uploads into /incoming/, and a resumed
// upload (curl appends with APPE, which this server does not offer) that fails cleanly and leaves
// the server serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/interop/demo_site.h"

namespace qorda::test {
namespace {

// The non-empty lines of `text`, without line ends, sorted.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(DemoSite, CurlTransfersListsAndFallsBackFromExtendedCommands) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  int st = -1;
  std::string out;
  auto curl = [&](const std::string& args) {
    out = run_command("curl -sS --max-time 30 " + args, &st);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  const std::string big = slurp(drive() + "/pub/big.bin");
  const std::string up = pattern_bytes(250000, 31);
  spit(work.path() + "/up.bin", up);

  // Passive (the default): curl asks EPSV first and takes PASV after our 500.
  ASSERT_EQ(curl("-v -o '" + work.path() + "/down.bin' " + url("/pub/big.bin")), 0) << out;
  EXPECT_TRUE(slurp(work.path() + "/down.bin") == big);
  EXPECT_TRUE(in_order(out, {"> EPSV", "< 500 'EPSV': command not understood.", "> PASV",
                             "< 227 Entering passive mode (127,0,0,1,", "> RETR big.bin",
                             "< 226 Transfer Complete."}))
      << out;
  ASSERT_EQ(curl("--ftp-create-dirs -T '" + work.path() + "/up.bin' " + url("/upload/pasv.bin")), 0)
      << out;
  EXPECT_TRUE(slurp(drive() + "/upload/pasv.bin") == up);

  // Active, from the control connection's address (-P -) and a given one; EPRT falls back to
  // PORT.
  ASSERT_EQ(curl("-v -P - -o '" + work.path() + "/active.bin' " + url("/pub/big.bin")), 0) << out;
  EXPECT_TRUE(slurp(work.path() + "/active.bin") == big);
  EXPECT_TRUE(in_order(out, {"> EPRT |1|127.0.0.1|", "< 500 'EPRT': command not understood.",
                             "> PORT 127,0,0,1,", "< 200 PORT command successful."}))
      << out;
  ASSERT_EQ(curl("-P 127.0.0.1 -T '" + work.path() + "/up.bin' " + url("/upload/port.bin")), 0)
      << out;
  EXPECT_TRUE(slurp(drive() + "/upload/port.bin") == up);

  // A download that stopped after 100000 bytes resumes where it stopped (SIZE, REST, RETR).
  spit(work.path() + "/part.bin", big.substr(0, 100000));
  ASSERT_EQ(curl("-C - -o '" + work.path() + "/part.bin' " + url("/pub/big.bin")), 0) << out;
  EXPECT_TRUE(slurp(work.path() + "/part.bin") == big);

  // The name list of /pub/ names every entry, links included.
  ASSERT_EQ(curl("--list-only " + url("/pub/")), 0) << out;
  std::vector<std::string> names;
  for (const auto& [path, what] : pub_tree()) {
    if (path.find('/') == std::string::npos) names.push_back(path);
  }
  EXPECT_EQ(sorted_lines(out), names);
  // The long listing, in active mode: "." and "..", then a line per entry; links show where they
  // point (the size counts the target's text and its terminator).
  ASSERT_EQ(curl("-P 127.0.0.1 " + url("/pub/")), 0) << out;
  const std::vector<std::string> lines = sorted_lines(out);
  EXPECT_EQ(lines.size(), names.size() + 2) << out;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.starts_with("lrwx------   1 ftp      users         15 ") &&
                                   l.ends_with(" latest.txt -> /pub/hello.txt");
                          }),
            1)
      << out;

  // A resumed upload: curl finds the partial file with SIZE and appends with APPE, which is
  // refused. curl reports the failure, the partial file is untouched, and the server goes on.
  spit(drive() + "/upload/resume.bin", up.substr(0, 100000));
  EXPECT_EQ(curl("-C - -T '" + work.path() + "/up.bin' " + url("/upload/resume.bin")), 25) << out;
  EXPECT_NE(out.find("Failed FTP upload: 502"), std::string::npos) << out;
  EXPECT_TRUE(slurp(drive() + "/upload/resume.bin") == up.substr(0, 100000));
  ASSERT_EQ(curl("-o '" + work.path() + "/after.bin' " + url("/upload/resume.bin")), 0) << out;
  EXPECT_TRUE(slurp(work.path() + "/after.bin") == up.substr(0, 100000));

  // Anonymous stores into /incoming/ but can neither read the file back nor list it.
  ASSERT_EQ(curl("-T '" + work.path() + "/up.bin' " + url("/incoming/anon.bin", "")), 0) << out;
  EXPECT_TRUE(slurp(drive() + "/incoming/anon.bin") == up);
  EXPECT_NE(curl("-o '" + work.path() + "/anon.bin' " + url("/incoming/anon.bin", "")), 0) << out;
  EXPECT_NE(out.find("(78)"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/anon.bin"));
  ASSERT_EQ(curl(url("/incoming/", "")), 0) << out;
  EXPECT_EQ(sorted_lines(out), std::vector<std::string>{". unreadable"});
  EXPECT_EQ(curl("-T '" + work.path() + "/up.bin' " + url("/pub/anon.bin", "")), 25) << out;
  EXPECT_FALSE(std::filesystem::exists(drive() + "/pub/anon.bin"));
}

}  // namespace
}  // namespace qorda::test
