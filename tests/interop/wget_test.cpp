// wget fetches /pub/ of the demo site recursively as anonymous: every file byte for byte, in
// subdirectories and under names with spaces. By default it fetches what a file link points
// to (a directory link it cannot follow); told not to, it makes the links.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/interop/demo_site.h"

namespace qorda::test {
namespace {

TEST_F(DemoSite, WgetFetchesPubRecursively) {
  if (!have_program("wget")) GTEST_SKIP() << "wget is not installed";
  int st = -1;
  std::string out =
      run_command("wget -r -nH -nv -P '" + work.path() + "/follow' " + url("/pub/", ""), &st);
  ASSERT_EQ(st, 0) << out;
  std::map<std::string, std::string> expected = pub_tree();
  expected.erase("manual");
  expected["latest.txt"] = expected["hello.txt"];
  EXPECT_EQ(tree_of(work.path() + "/follow/pub"), expected) << out;

  out = run_command(
      "wget -r -nH -nv --retr-symlinks=no -P '" + work.path() + "/links' " + url("/pub/", ""), &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_EQ(tree_of(work.path() + "/links/pub"), pub_tree()) << out;
}

}  // namespace
}  // namespace qorda::test
