// Symbolic links placed inside a drive that lead outside every drive (or nowhere), over real
// sockets: missing for every command, with that command's own "not found" reply and log line, and
// nothing outside is read, written or changed through them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace fs = std::filesystem;

namespace qorda::test {
namespace {

TEST(DriveBoundary, LinksLeadingOutsideTheDrivesAreMissingForEveryCommand) {
  TestServer srv;
  TempDir out;
  const std::string pub = make_dir(srv, "pub");
  fs::create_directories(out.path() + "/dir");
  std::ofstream(out.path() + "/victim.txt") << "victim";
  fs::create_symlink(srv.home() + "/qorda.db", pub + "/db");
  fs::create_symlink(out.path() + "/victim.txt", pub + "/vlink");
  fs::create_symlink(out.path() + "/new.txt", pub + "/gone");  // dangling
  fs::create_directory_symlink(out.path() + "/dir", pub + "/outdir");
  FtpClient c(srv);
  add_user(srv.reg(), "bob", "pw", "[u] rwdlcxhms /c:/pub/");
  ASSERT_EQ(login(c, "bob", "pw"), "230 User bob logged in.");

  const char* const cases[][3] = {
      // command, reply, log line ("" when none)
      {"RETR db", "550 db: No such file or directory.", "Can't retrieve \"db\" (not found)."},
      {"SIZE db", "550 db: No such file or directory.", ""},
      {"MDTM vlink", "550 vlink: No such file or directory.", ""},
      {"STAT outdir", "550 outdir: No such file or directory.", ""},
      {"STOR vlink", "550 vlink: No such file or directory.", "Can't store \"vlink\" (bad path)."},
      {"STOR gone", "550 gone: No such file or directory.", "Can't store \"gone\" (bad path)."},
      {"STOR outdir/x", "550 outdir/x: No such file or directory.",
       "Can't store \"outdir/x\" (bad path)."},
      {"CWD outdir", "550 outdir: No such file or directory.",
       "Can't change directory to \"outdir\". (not found)"},
      {"MKD outdir/x", "550 outdir/x: Permission denied.",
       "Can't create directory \"outdir/x\" (bad path)."},
      {"RMD outdir", "550 outdir: No such file or directory.",
       "Can't delete directory \"outdir\" (not found)."},
      {"DELE vlink", "550 vlink: No such file or directory.",
       "Can't delete \"vlink\" (not found)."},
      {"RNFR db", "550 db: No such file or directory.", ""},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(c.cmd(k[0]), k[1]) << k[0];
    EXPECT_TRUE(*k[2] == '\0' || srv.observer.has(k[2])) << k[0];
  }
  DataPeer peer(srv);
  ASSERT_TRUE(peer.connect_pasv(c.cmd("PASV")));
  EXPECT_EQ(c.cmd("LIST outdir"), "550 outdir: No such file or directory.");

  std::ifstream victim(out.path() + "/victim.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "victim");
  EXPECT_TRUE(fs::is_empty(out.path() + "/dir"));
  EXPECT_FALSE(fs::exists(out.path() + "/new.txt"));
  EXPECT_TRUE(fs::is_symlink(pub + "/vlink"));
}

}  // namespace
}  // namespace qorda::test
