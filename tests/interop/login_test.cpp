// A stock client against `qorda serve`: Python's ftplib logs in with a password and as
// anonymous with an e-mail address, walks a restricted user's tree and changes it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

TEST(Interop, FtplibLogsInWalksAndChangesTheTree) {
  if (std::system("python3 -c 'import ftplib' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 with ftplib is not installed";
  }
  TempDir home;
  std::filesystem::create_directories(home.path() + "/c/ftp/pub/docs");
  std::ofstream(home.path() + "/c/ftp/pub/a.txt") << "alpha";
  qorda_cli(home.path(), "init");
  qorda_cli(home.path(), "user add alice --password Secret --perm '[u] rwdlcxhms /c:/ftp/'");
  qorda_cli(home.path(), "user add anonymous --guest --perm '[u] r--l---ms /c:/ftp/pub/'");
  const uint16_t port = serve_port();
  ServeChild srv(home.path(), "--port " + std::to_string(port));
  ASSERT_TRUE(srv.wait_up()) << srv.output();

  const std::string script = home.path() + "/client.py";
  std::ofstream(script) << R"(import ftplib, sys
f = ftplib.FTP()
f.connect('127.0.0.1', int(sys.argv[1]))
print(f.login('alice', 'sECRET'))
print(f.pwd())
f.cwd('pub/docs')
print(f.pwd())
f.cwd('..')
print(f.mkd('new dir'))
print(f.rename('a.txt', 'new dir/b.txt'))
f.cwd('new dir')
print(f.delete('b.txt'))
f.cwd('/')
print(f.rmd('pub/new dir'))
try:
    f.rmd('/')
except ftplib.error_perm as e:
    print(e)
f.quit()
g = ftplib.FTP()
g.connect('127.0.0.1', int(sys.argv[1]))
print(g.login('anonymous', 'guest@example.org'))
print(g.pwd())
try:
    g.mkd('x')
except ftplib.error_perm as e:
    print(e)
g.quit()
)";
  int status = 0;
  std::string out = run_command("python3 '" + script + "' " + std::to_string(port), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "230 User alice logged in.\n"
            "/\n"
            "/pub/docs/\n"
            "/pub/new dir\n"
            "250 RNTO command successful.\n"
            "250 DELE command successful.\n"
            "250 RMD command successful.\n"
            "553 /: Permission denied.\n"
            "230-No home directory. Logging in with home \"/\".\n"
            "230 User anonymous logged in.\n"
            "/\n"
            "550 x: Permission denied.\n")
      << srv.output();
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/c/ftp/pub/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/c/ftp/pub/new dir"));
  EXPECT_TRUE(std::filesystem::exists(home.path() + "/c/ftp/pub/docs"));
}

}  // namespace
}  // namespace qorda::test
