// Symbolic links placed inside a drive, over real sockets: a link whose real location stays
// within the drives works like the entry it leads to; one that leads anywhere else (or nowhere)
// is missing for every command, with that command's own "not found" reply, and nothing outside
// the drives is read, written, listed or changed through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/volume.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace fs = std::filesystem;

namespace qorda::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Drive c: holds pub/ with real.txt and these links; drive d: holds data/x.bin.
//   db -> <home>/qorda.db   vlink -> outside/victim.txt   gone -> outside/new.txt (dangling)
//   outdir -> outside/dir   indir -> d:/data   infile -> real.txt
class DriveBoundary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string pub = make_dir(srv, "pub");
    write_file(srv, "pub/real.txt", "inside");
    fs::create_directories(d.path() + "/data");
    std::ofstream(d.path() + "/data/x.bin") << "on d";
    ASSERT_TRUE(platform::drive_table().set('d', d.path()).ok());
    fs::create_directories(outside.path() + "/dir");
    std::ofstream(outside.path() + "/victim.txt") << "victim";
    std::ofstream(outside.path() + "/dir/secret.txt") << "secret";
    fs::create_symlink(srv.home() + "/qorda.db", pub + "/db");
    fs::create_symlink(outside.path() + "/victim.txt", pub + "/vlink");
    fs::create_symlink(outside.path() + "/new.txt", pub + "/gone");
    fs::create_directory_symlink(outside.path() + "/dir", pub + "/outdir");
    fs::create_directory_symlink(d.path() + "/data", pub + "/indir");
    fs::create_symlink("real.txt", pub + "/infile");
    add_user(srv.reg(), "bob", "pw", "[u] rwdlcxhms /c:/pub/\n[u] r--l----s /d:/");
    ASSERT_EQ(login(c, "bob", "pw"), "230 User bob logged in.");
  }
  void TearDown() override { platform::drive_table().remove('d'); }

  // A passive data connection, then the command; the opening reply, the bytes and the end.
  struct Moved {
    std::string open, data, end;
  };
  Moved over_pasv(const std::string& command, const std::string& upload = "") {
    Moved out;
    DataPeer peer(srv);
    const std::string pasv = c.cmd("PASV");
    EXPECT_TRUE(peer.connect_pasv(pasv)) << pasv;
    out.open = c.cmd(command);
    if (out.open.rfind("150 ", 0) != 0) return out;
    if (upload.empty()) {
      out.data = peer.read_all();
    } else {
      EXPECT_TRUE(peer.send_all(upload));
      peer.close();
    }
    out.end = c.reply();
    return out;
  }

  TestServer srv;
  TempDir d;
  TempDir outside;
  FtpClient c{srv};
};

TEST_F(DriveBoundary, LinksLeadingOutsideTheDrivesAreMissingForEveryCommand) {
  struct Case {
    const char* command;
    const char* reply;
    const char* log;  // "" when the command logs nothing
  };
  const Case cases[] = {
      {"RETR db", "550 db: No such file or directory.", "Can't retrieve \"db\" (not found)."},
      {"RETR outdir/secret.txt", "550 outdir/secret.txt: No such file or directory.",
       "Can't retrieve \"outdir/secret.txt\" (not found)."},
      {"SIZE db", "550 db: No such file or directory.", ""},
      {"MDTM vlink", "550 vlink: No such file or directory.", ""},
      {"STAT outdir", "550 outdir: No such file or directory.", ""},
      {"STOR vlink", "550 vlink: No such file or directory.", "Can't store \"vlink\" (bad path)."},
      {"STOR gone", "550 gone: No such file or directory.", "Can't store \"gone\" (bad path)."},
      {"STOR outdir/new.txt", "550 outdir/new.txt: No such file or directory.",
       "Can't store \"outdir/new.txt\" (bad path)."},
      {"CWD outdir", "550 outdir: No such file or directory.",
       "Can't change directory to \"outdir\". (not found)"},
      {"MKD outdir/new", "550 outdir/new: Permission denied.",
       "Can't create directory \"outdir/new\" (bad path)."},
      {"MKD gone", "550 gone: Permission denied.", "Can't create directory \"gone\" (bad path)."},
      {"RMD outdir", "550 outdir: No such file or directory.",
       "Can't delete directory \"outdir\" (not found)."},
      {"DELE vlink", "550 vlink: No such file or directory.",
       "Can't delete \"vlink\" (not found)."},
      {"DELE outdir/secret.txt", "550 outdir/secret.txt: No such file or directory.",
       "Can't delete \"outdir/secret.txt\" (not found)."},
      {"RNFR db", "550 db: No such file or directory.", ""},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(c.cmd(k.command), k.reply) << k.command;
    if (*k.log != '\0') {
      EXPECT_TRUE(srv.observer.has(k.log)) << k.command;
    }
  }
  EXPECT_EQ(over_pasv("LIST outdir").open, "550 outdir: No such file or directory.");
  EXPECT_EQ(over_pasv("NLST -l /c:/outdir/").open, "550 /c:/outdir/: No such file or directory.");
  EXPECT_EQ(c.cmd("RNFR real.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNTO outdir/moved.txt"), "553 outdir/moved.txt: Permission denied.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/c:/\" is current directory.");

  // Nothing outside changed, and the links themselves are still there.
  EXPECT_EQ(slurp(outside.path() + "/victim.txt"), "victim");
  EXPECT_EQ(slurp(outside.path() + "/dir/secret.txt"), "secret");
  EXPECT_FALSE(fs::exists(outside.path() + "/new.txt"));
  EXPECT_FALSE(fs::exists(outside.path() + "/dir/new"));
  EXPECT_FALSE(fs::exists(outside.path() + "/dir/moved.txt"));
  EXPECT_EQ(read_file(srv, "pub/real.txt"), "inside");
  for (const char* l : {"db", "vlink", "gone", "outdir"}) {
    EXPECT_TRUE(fs::is_symlink(srv.home() + "/c/pub/" + l)) << l;
  }
}

TEST_F(DriveBoundary, LinksThatStayWithinTheDrivesWork) {
  // Listings leave out what could not be used.
  Moved m = over_pasv("NLST");
  std::vector<std::string> names;
  std::istringstream in(m.data);
  for (std::string line; std::getline(in, line);) names.push_back(line.substr(0, line.size() - 1));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"indir", "infile", "real.txt"}));
  EXPECT_EQ(m.end, "226 Transfer Complete.");

  m = over_pasv("RETR infile");
  EXPECT_EQ(m.open, "150 Opening ASCII mode data connection for infile (6 bytes).");
  EXPECT_EQ(m.data, "inside");
  m = over_pasv("STOR infile", "through the link");
  EXPECT_EQ(m.end, "226 Transfer Complete.");
  EXPECT_EQ(read_file(srv, "pub/real.txt"), "through the link");
  EXPECT_TRUE(fs::is_symlink(srv.home() + "/c/pub/infile"));

  // Into the other drive (the rights are those of the virtual path below /c:/pub/).
  EXPECT_EQ(c.cmd("SIZE indir/x.bin"), "213 4");
  EXPECT_EQ(c.cmd("CWD indir"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/c:/indir/\" is current directory.");
  m = over_pasv("RETR x.bin");
  EXPECT_EQ(m.data, "on d");
}

}  // namespace
}  // namespace qorda::test
