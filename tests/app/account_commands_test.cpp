// The user and template commands end to end: the qorda program run on a temporary home, its
// output and the store's export checked.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "store/password.h"
#include "tests/support/temp_store.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char ch : s) {
    if (ch == '\'') {
      q += "'\\''";
    } else {
      q += ch;
    }
  }
  return q + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class AccountCommands : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(home_.dir().empty()); }

  Outcome qorda(const std::vector<std::string>& args, const std::string& input = "") {
    std::string cmd = quote(QORDA_BINARY) + " --home " + quote(home_.dir());
    for (const std::string& a : args) cmd += " " + quote(a);
    std::string in = home_.dir() + "/stdin", out = home_.dir() + "/stdout",
                err = home_.dir() + "/stderr";
    std::ofstream(in) << input;
    cmd += " <" + quote(in) + " >" + quote(out) + " 2>" + quote(err);
    Outcome r;
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  // The export's sections: key path (below the product key) -> value lines.
  std::vector<std::string> section(const std::string& subkey) {
    Outcome r = qorda({"reg", "export", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string header =
        "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\" + subkey + "]";
    std::vector<std::string> lines;
    std::istringstream ss(r.out);
    std::string line;
    bool in = false;
    while (std::getline(ss, line)) {
      if (!line.empty() && line[0] == '[') {
        in = line == header;
        continue;
      }
      if (in && !line.empty()) lines.push_back(line);
    }
    return lines;
  }
  std::set<std::string> value_names(const std::string& subkey) {
    std::set<std::string> names;
    for (const std::string& l : section(subkey)) {
      size_t end = l.find("\"=");
      if (l.size() > 1 && l[0] == '"' && end != std::string::npos)
        names.insert(l.substr(1, end - 1));
    }
    return names;
  }
  std::string value_line(const std::string& subkey, const std::string& name) {
    for (const std::string& l : section(subkey)) {
      if (l.rfind("\"" + name + "\"=", 0) == 0) return l;
    }
    return "";
  }

  qorda::testing::TempStore home_;
};

TEST_F(AccountCommands, CreateShowChangeDelete) {
  ASSERT_EQ(qorda({"template", "add", "staff", "--limit", "08:00,17:59,10,2,-1,-1", "--ratio",
                   "files=1:5", "--per-session", "--perm", "[t] r--l----s /c:/pub/"})
                .status,
            0);
  Outcome add = qorda({"user", "add", "alice", "--password", "secret", "--template", "STAFF",
                       "--perm", "[u] rwdl----s /c:/ftp/", "--ip", "[u] a 10.0.0.*"});
  ASSERT_EQ(add.status, 0) << add.err;

  EXPECT_EQ(
      value_names("Users\\alice"),
      (std::set<std::string>{"bdisable", "bignore", "bguest", "bratio", "szpass", "sztemp", "szip",
                             "szfp", "szcomment", "iulfiles", "iulkb", "idlfiles", "idlkb"}));
  EXPECT_EQ(value_names("Templates\\staff"),
            (std::set<std::string>{"szfp", "szip", "szcl", "bratio", "bsession", "bfiles", "bbytes",
                                   "iubytes", "idbytes", "iufiles", "idfiles"}));
  // Only the encoding is stored; the template reference keeps the template's own spelling.
  std::string enc = qorda::store::encode_password("SECRET");
  std::string escaped;
  for (char ch : enc) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
  EXPECT_EQ(value_line("Users\\alice", "szpass"), "\"szpass\"=\"" + escaped + "\"");
  EXPECT_EQ(value_line("Users\\alice", "sztemp"), "\"sztemp\"=\"[t] staff\"");
  EXPECT_EQ(value_line("Users\\alice", "szfp"), "\"szfp\"=\"[u] rwdl----s /c:/ftp/\\n\"");
  EXPECT_EQ(value_line("Templates\\staff", "szcl"), "\"szcl\"=\"08:00,17:59,10,2,-1,-1\\n\"");
  EXPECT_EQ(value_line("Templates\\staff", "bsession"), "\"bsession\"=dword:00000001");

  Outcome show = qorda({"user", "show", "ALICE"});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find("user alice\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("  [u] rwdl----s /c:/ftp/\n  [t] r--l----s /c:/pub/\n"),
            std::string::npos)
      << show.out;
  EXPECT_NE(show.out.find("  [u] a 10.0.0.*\n  [s] a *.*.*.*\n"), std::string::npos) << show.out;
  Outcome tshow = qorda({"template", "show", "staff"});
  EXPECT_NE(tshow.out.find("  [s] 00:00-07:59\t(20)\t(20)\t(20)\t(20)\n"
                           "  [t] 08:00-17:59\t10\t2\t(20)\t(20)\n"
                           "  [s] 18:00-23:59\t(20)\t(20)\t(20)\t(20)\n"),
            std::string::npos)
      << tshow.out;

  // set: repeated --perm replaces the list; statistics; rename deletes the old key.
  ASSERT_EQ(qorda({"user", "set", "alice", "--perm", "[u] r--l----s /c:/a/", "--perm",
                   "--------- c:\\b", "--dlfiles", "7", "--rename", "bob"})
                .status,
            0);
  EXPECT_TRUE(section("Users\\alice").empty());
  EXPECT_EQ(value_line("Users\\bob", "szfp"),
            "\"szfp\"=\"[u] r--l----s /c:/a/\\n[u] --------- /c:/b/\\n\"");
  EXPECT_EQ(value_line("Users\\bob", "idlfiles"), "\"idlfiles\"=dword:00000007");
  EXPECT_EQ(value_line("Users\\bob", "szpass"), "\"szpass\"=\"" + escaped + "\"");
  // A rename that only changes letter case stays on the same account.
  EXPECT_EQ(qorda({"user", "set", "bob", "--rename", "BOB", "--guest"}).status, 0);
  EXPECT_EQ(qorda({"user", "list"}).out, "bob\n");
  EXPECT_EQ(value_line("Users\\bob", "bguest"), "\"bguest\"=dword:00000001");

  ASSERT_EQ(qorda({"user", "passwd", "bob"}, "other\n").status, 0);
  EXPECT_NE(value_line("Users\\bob", "szpass"), "\"szpass\"=\"" + escaped + "\"");

  EXPECT_EQ(qorda({"user", "del", "Bob"}).status, 0);
  EXPECT_EQ(qorda({"user", "list"}).out, "");
  EXPECT_EQ(qorda({"template", "del", "STAFF"}).status, 0);
  EXPECT_EQ(qorda({"template", "list"}).out, "");
  EXPECT_EQ(qorda({"user", "del", "bob"}).status, 1);
}

TEST_F(AccountCommands, NewUserWithoutPasswordStoresTheEmptyEncoding) {
  ASSERT_EQ(qorda({"user", "add", "carol"}).status, 0);
  EXPECT_EQ(value_line("Users\\carol", "szpass"),
            "\"szpass\"=\"" + qorda::store::encode_password("") + "\"");
  EXPECT_EQ(value_line("Users\\carol", "sztemp"), "\"sztemp\"=\"[s] 'none'\"");
}

TEST_F(AccountCommands, EditorRulesRefuseAndWriteNothing) {
  ASSERT_EQ(qorda({"user", "add", "dave"}).status, 0);
  ASSERT_EQ(qorda({"template", "add", "t"}).status, 0);
  Outcome dup = qorda({"template", "add", "T"});
  EXPECT_EQ(dup.status, 2);
  EXPECT_EQ(dup.err,
            "qorda template add: template 't' already exists (names ignore letter case)\n");
  Outcome before = qorda({"reg", "export", "-"});
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"user", "add", ""}, "qorda user add: the user name must not be empty"},
      {{"user", "add", "FTP"}, "qorda user add: 'ftp' is another name for the account 'anonymous'"},
      {{"user", "set", "dave", "--rename", "ftp"},
       "qorda user set: 'ftp' is another name for the account 'anonymous'"},
      {{"user", "add", "dave"}, "qorda user add: user 'dave' already exists\n"},
      {{"user", "add", "erin", "--perm", "[u] rwdl----s /c:/Plus!/"},
       "qorda user add: invalid path '/c:/Plus!/'"},
      {{"user", "add", "erin", "--ip", "[u] a 10.0.5-3.*"},
       "qorda user add: invalid ip mask '10.0.5-3.*'"},
      {{"user", "add", "erin", "--template", "nosuch"}, "no template named 'nosuch'"},
      {{"user", "add", "a\\b"}, "qorda user add: user name 'a\\b' must not contain a backslash"},
      {{"template", "add", ""}, "qorda template add: the template name must not be empty"},
      {{"template", "add", "t2", "--limit", "8:00,17:59,1,1,1,1"},
       "qorda template add: invalid start time '8:00': give HH:MM"},
      {{"template", "add", "t2", "--limit", "08:00,23:60,1,1,1,1"},
       "qorda template add: invalid end time '23:60': give a time from 00:00 to 23:59"},
      {{"template", "add", "t2", "--ratio", "files=1"}, "invalid ratio"},
      {{"user", "add", "erin", "--bogus"}, "unknown option '--bogus'"},
  };
  for (const Case& c : cases) {
    Outcome r = qorda(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(qorda({"reg", "export", "-"}).out, before.out);
}

TEST_F(AccountCommands, NightRangeAndHelp) {
  ASSERT_EQ(qorda({"template", "add", "night", "--limit", "22:00,02:00,1,-1,-1,-1"}).status, 0);
  EXPECT_EQ(value_line("Templates\\night", "szcl"),
            "\"szcl\"=\"00:00,02:00,1,-1,-1,-1\\n22:00,23:59,1,-1,-1,-1\\n\"");
  // On set the given ranges replace the list.
  ASSERT_EQ(qorda({"template", "set", "night", "--limit", "10:00,12:00,-1,3,-1,-1"}).status, 0);
  EXPECT_EQ(value_line("Templates\\night", "szcl"), "\"szcl\"=\"10:00,12:00,-1,3,-1,-1\\n\"");
  for (auto args : std::vector<std::vector<std::string>>{{"user", "--help"},
                                                         {"user", "add", "--help"},
                                                         {"user", "passwd", "--help"},
                                                         {"template", "--help"},
                                                         {"template", "set", "--help"}}) {
    Outcome r = qorda(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: qorda"), std::string::npos);
  }
  EXPECT_EQ(qorda({"user"}).status, 2);
  EXPECT_EQ(qorda({"user", "frob"}).status, 2);
}

}  // namespace
