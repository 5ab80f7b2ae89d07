// The directory and file commands over real sockets: moving around a restricted user's tree and
// the paths it shows, creating, deleting and renaming under the permission flags, with the exact
// replies and log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/volume.h"
#include "store/links.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class DirCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(srv, "ftp/pub/deep");
    make_dir(srv, "ftp/incoming");
    make_dir(srv, "ftp/locked/sub");
    make_dir(srv, "ftp/ro");
    make_dir(srv, "secret");
    add_user(srv.reg(), "alice", "pw",
             "[u] rwdlcxhms /c:/ftp/\n"
             "[u] r--l----s /c:/ftp/ro/\n"
             "[u] -w--c--m- /c:/ftp/incoming/\n"
             "[u] --------- /c:/ftp/locked/");
    ASSERT_EQ(login(c, "alice", "pw"), "230 User alice logged in.");
  }
  TestServer srv;
  FtpClient c{srv};
};

TEST_F(DirCommands, WalkingAndThePathsShown) {
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_TRUE(srv.observer.has("Changed directory to \"/c:/ftp/pub/\"."));
  EXPECT_EQ(c.cmd("XPWD"), "257 \"/pub/\" is current directory.");
  EXPECT_EQ(c.cmd("XCWD DEEP"), "250 CWD command successful.");  // names are case-insensitive
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/deep/\" is current directory.");
  EXPECT_EQ(c.cmd("CDUP"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/\" is current directory.");
  EXPECT_EQ(c.cmd("XCUP"), "250 CWD command successful.");
  // At the visible root ".." stays put and succeeds.
  EXPECT_EQ(c.cmd("CDUP"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD ../../.."), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD /pub/deep"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/deep/\" is current directory.");
  // Without an argument: home.
  EXPECT_EQ(c.cmd("CWD"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD ~/pub"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/\" is current directory.");
}

TEST_F(DirCommands, FailedChangesKeepTheDirectory) {
  write_file(srv, "ftp/file.txt", "x");
  EXPECT_EQ(c.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("CWD nowhere"), "550 nowhere: No such file or directory.");
  EXPECT_TRUE(srv.observer.has("Can't change directory to \"nowhere\". (not found)"));
  EXPECT_EQ(c.cmd("CWD /file.txt"), "550 /file.txt: No such file or directory.");
  // The closest entry for locked/sub is locked's, which does not reach below it: no access.
  EXPECT_EQ(c.cmd("CWD /locked/sub"), "550 /locked/sub: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't change directory to \"/locked/sub\". (access denied)"));
  EXPECT_EQ(c.cmd("CWD a\"b"), "550 a\"b: No such file or directory.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/\" is current directory.");
}

TEST_F(DirCommands, LinksAreFollowed) {
  store::LinkRecord l;
  l.location = "/c:/ftp/docs";
  l.target = "/c:/ftp/pub/deep/";
  ASSERT_TRUE(store::write_link(srv.reg(), l).ok());
  l.location = "/c:/ftp/loop";
  l.target = "/c:/ftp/loop";
  ASSERT_TRUE(store::write_link(srv.reg(), l).ok());
  EXPECT_EQ(c.cmd("CWD docs"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/pub/deep/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD /loop"), "550 /loop: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't change directory to \"/loop\". (bad link)"));
}

TEST_F(DirCommands, TwoRootsShowTheirDrives) {
  TempDir d;
  ASSERT_TRUE(platform::drive_table().set('d', d.path()).ok());
  add_user(srv.reg(), "bob", "pw", "[u] rwdlcxhms /c:/ftp/\n[u] rwdlcx-ms /d:/");
  FtpClient b(srv);
  EXPECT_EQ(login(b, "bob", "pw"), "230 User bob logged in.");
  EXPECT_EQ(b.cmd("PWD"), "257 \"/c:/\" is current directory.");
  EXPECT_EQ(b.cmd("CWD pub"), "250 CWD command successful.");
  EXPECT_EQ(b.cmd("PWD"), "257 \"/c:/pub/\" is current directory.");
  EXPECT_EQ(b.cmd("CWD /d:/"), "250 CWD command successful.");
  EXPECT_EQ(b.cmd("PWD"), "257 \"/d:/\" is current directory.");
  EXPECT_EQ(b.cmd("MKD x"), "257 \"/d:/x\" directory created.");
  // A drive outside the user's roots: the walk stays on the current drive's root.
  EXPECT_EQ(b.cmd("CWD /z:/"), "250 CWD command successful.");
  EXPECT_EQ(b.cmd("PWD"), "257 \"/d:/\" is current directory.");
  // Moving a file from one drive to another.
  write_file(srv, "ftp/pub/moved.txt", "payload");
  EXPECT_EQ(b.cmd("RNFR /c:/pub/moved.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(b.cmd("RNTO /d:/x/moved.txt"), "250 RNTO command successful.");
  EXPECT_TRUE(srv.observer.has("Renamed \"/c:/ftp/pub/moved.txt\" to \"/d:/x/moved.txt\"."));
  EXPECT_FALSE(exists(srv, "ftp/pub/moved.txt"));
  EXPECT_EQ(slurp(d.path() + "/x/moved.txt"), "payload");
  platform::drive_table().remove('d');
}

TEST_F(DirCommands, MakeDirectory) {
  EXPECT_EQ(c.cmd("MKD new"), "257 \"/new\" directory created.");
  EXPECT_TRUE(srv.observer.has("Created directory \"/c:/ftp/new\"."));
  EXPECT_TRUE(exists(srv, "ftp/new"));
  EXPECT_EQ(c.cmd("XMKD pub/sub dir"), "257 \"/pub/sub dir\" directory created.");
  EXPECT_TRUE(exists(srv, "ftp/pub/sub dir"));
  EXPECT_EQ(c.cmd("MKD Grüße €"), "257 \"/Grüße €\" directory created.");
  EXPECT_TRUE(exists(srv, "ftp/Grüße €"));
  EXPECT_EQ(c.cmd("CWD Grüße €"), "250 CWD command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/Grüße €/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD /"), "250 CWD command successful.");

  // An existing directory (in any case) is a "bad path".
  EXPECT_EQ(c.cmd("MKD NEW"), "550 NEW: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't create directory \"NEW\" (bad path)."));
  EXPECT_EQ(c.cmd("MKD missing/child"), "550 missing/child: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't create directory \"missing/child\" (bad path)."));
  // The name of a file: access denied, logged with the directory.
  write_file(srv, "ftp/pub/f", "x");
  EXPECT_EQ(c.cmd("MKD pub/f"), "550 pub/f: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't create directory \"/c:/ftp/pub/\" (access denied)."));
  // No c flag in ro.
  EXPECT_EQ(c.cmd("MKD ro/x"), "550 ro/x: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't create directory \"/c:/ftp/ro/\" (access denied)."));
  EXPECT_FALSE(exists(srv, "ftp/ro/x"));
  // incoming grants c: a directory is created there.
  EXPECT_EQ(c.cmd("MKD incoming/up"), "257 \"/incoming/up\" directory created.");
}

TEST_F(DirCommands, DeleteFiles) {
  write_file(srv, "ftp/a.txt", "x");
  std::string ro = write_file(srv, "ftp/pub/readonly.txt", "x");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  write_file(srv, "ftp/ro/keep.txt", "x");

  EXPECT_EQ(c.cmd("DELE a.txt"), "250 DELE command successful.");
  EXPECT_TRUE(srv.observer.has("Deleted \"/c:/ftp/a.txt\"."));
  EXPECT_FALSE(exists(srv, "ftp/a.txt"));
  EXPECT_EQ(c.cmd("DELE pub/READONLY.TXT"), "250 DELE command successful.");
  EXPECT_FALSE(exists(srv, "ftp/pub/readonly.txt"));

  EXPECT_EQ(c.cmd("DELE a.txt"), "550 a.txt: No such file or directory.");
  EXPECT_TRUE(srv.observer.has("Can't delete \"a.txt\" (not found)."));
  EXPECT_EQ(c.cmd("DELE pub"), "550 pub: No such file or directory.");
  EXPECT_TRUE(exists(srv, "ftp/pub"));
  EXPECT_EQ(c.cmd("DELE ro/keep.txt"), "550 ro/keep.txt: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't delete \"/c:/ftp/ro/\" (access denied)."));
  EXPECT_TRUE(exists(srv, "ftp/ro/keep.txt"));
  EXPECT_EQ(c.cmd("DELE"), "501 'DELE': command not understood.");
}

TEST_F(DirCommands, RemoveDirectories) {
  make_dir(srv, "ftp/old");
  make_dir(srv, "ftp/full/inner");
  make_dir(srv, "ftp/ro/sub");
  EXPECT_EQ(c.cmd("RMD old"), "250 RMD command successful.");
  EXPECT_TRUE(srv.observer.has("Deleted directory \"/c:/ftp/old\"."));
  EXPECT_FALSE(exists(srv, "ftp/old"));
  EXPECT_EQ(c.cmd("XRMD old"), "550 old: No such file or directory.");
  EXPECT_TRUE(srv.observer.has("Can't delete directory \"old\" (not found)."));
  write_file(srv, "ftp/file", "x");
  EXPECT_EQ(c.cmd("RMD file"), "550 file: No such file or directory.");
  // The visible root can't go, however it is named.
  EXPECT_EQ(c.cmd("RMD /"), "553 /: Permission denied.");
  EXPECT_EQ(c.cmd("RMD ."), "553 .: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't delete directory \"/c:/ftp/\" (access denied)."));
  EXPECT_TRUE(exists(srv, "ftp"));
  // Not empty: the file system refuses.
  EXPECT_EQ(c.cmd("RMD full"), "550 full: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't delete directory \"/c:/ftp/full\" (file error)."));
  // The parent (ro) lacks x.
  EXPECT_EQ(c.cmd("RMD ro/sub"), "553 ro/sub: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't delete directory \"/c:/ftp/ro/sub/\" (access denied)."));
  EXPECT_TRUE(exists(srv, "ftp/ro/sub"));
  // No access to the directory itself.
  EXPECT_EQ(c.cmd("RMD locked/sub"), "553 locked/sub: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't delete directory \"locked/sub\" (access denied)."));
  EXPECT_TRUE(exists(srv, "ftp/locked/sub"));
}

TEST_F(DirCommands, RenameSurvivesOtherCommands) {
  write_file(srv, "ftp/a.txt", "alpha");
  EXPECT_EQ(c.cmd("RNTO b.txt"), "503 Bad sequence of commands.");
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(c.cmd("PWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(c.cmd("CWD pub"), "250 CWD command successful.");
  // Relative to the directory now current.
  EXPECT_EQ(c.cmd("RNTO b.txt"), "250 RNTO command successful.");
  EXPECT_TRUE(srv.observer.has("Renamed \"/c:/ftp/a.txt\" to \"/c:/ftp/pub/b.txt\"."));
  EXPECT_EQ(slurp(srv.home() + "/c/ftp/pub/b.txt"), "alpha");
  EXPECT_FALSE(exists(srv, "ftp/a.txt"));
  EXPECT_EQ(c.cmd("RNTO c.txt"), "503 Bad sequence of commands.");
}

TEST_F(DirCommands, RenameRefusals) {
  write_file(srv, "ftp/a.txt", "alpha");
  write_file(srv, "ftp/b.txt", "beta");
  write_file(srv, "ftp/ro/r.txt", "r");

  // Onto an existing file: refused, nothing lost.
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNTO B.TXT"), "553 B.TXT: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't rename \"/c:/ftp/a.txt\" to \"/c:/ftp/B.TXT\"."));
  EXPECT_EQ(slurp(srv.home() + "/c/ftp/a.txt"), "alpha");
  EXPECT_EQ(slurp(srv.home() + "/c/ftp/b.txt"), "beta");
  EXPECT_EQ(c.cmd("RNTO x.txt"), "503 Bad sequence of commands.");

  // Into a directory without d.
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNTO ro/a.txt"), "553 ro/a.txt: Permission denied.");
  EXPECT_TRUE(exists(srv, "ftp/a.txt"));
  EXPECT_FALSE(exists(srv, "ftp/ro/a.txt"));
  // Into a missing directory.
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNTO nodir/a.txt"), "553 nodir/a.txt: Permission denied.");
  EXPECT_TRUE(exists(srv, "ftp/a.txt"));

  // A source without d, a missing source and a directory clear a pending rename.
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNFR ro/r.txt"), "553 ro/r.txt: Permission denied.");
  EXPECT_TRUE(srv.observer.has("Can't rename \"/c:/ftp/ro/\"."));
  EXPECT_EQ(c.cmd("RNTO z.txt"), "503 Bad sequence of commands.");
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("RNFR nothing.txt"), "550 nothing.txt: No such file or directory.");
  EXPECT_EQ(c.cmd("RNTO z.txt"), "503 Bad sequence of commands.");
  EXPECT_EQ(c.cmd("RNFR pub"), "550 pub: No such file or directory.");
  EXPECT_FALSE(exists(srv, "ftp/z.txt"));

  // REIN forgets it too.
  EXPECT_EQ(c.cmd("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(c.cmd("REIN"), "220 test.host FTP Server (qorda 1.20) ready.");
  EXPECT_EQ(c.cmd("USER alice"), "331 Password required for alice.");
  EXPECT_EQ(c.cmd("PASS pw"), "230 User alice logged in.");
  EXPECT_EQ(c.cmd("RNTO z.txt"), "503 Bad sequence of commands.");
  EXPECT_TRUE(exists(srv, "ftp/a.txt"));
}

TEST_F(DirCommands, NotLoggedInAndMissingArguments) {
  FtpClient d(srv);
  d.reply();
  for (const char* cmd :
       {"CWD x", "CDUP", "PWD", "MKD x", "RMD x", "DELE x", "RNFR x", "RNTO x", "XCWD", "XPWD"}) {
    EXPECT_EQ(d.cmd(cmd), "530 Please login with USER and PASS.") << cmd;
  }
  EXPECT_EQ(c.cmd("MKD"), "501 'MKD': command not understood.");
  EXPECT_EQ(c.cmd("RNFR"), "501 'RNFR': command not understood.");
  EXPECT_EQ(c.cmd("XRMD"), "501 'XRMD': command not understood.");
}

}  // namespace
}  // namespace qorda::test
