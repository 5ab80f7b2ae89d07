// qorda reg, run as the built program against temporary homes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

using qorda::platform::Registry;
namespace fs = std::filesystem;

fs::perms mode_of(const std::string& p) {
  return fs::status(p).permissions() & fs::perms::mask;
}

std::string slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

class RegCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    for (int i = 0; i < 100 && dir_.empty(); ++i) {
      std::string d = fs::temp_directory_path().string() + "/qorda-cli-" + std::to_string(rd());
      if (fs::create_directory(d)) dir_ = d;
    }
    ASSERT_FALSE(dir_.empty());
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::replace);
    home_ = dir_ + "/home";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // `qorda --home HOME ARGS...`, optionally with standard input from a file.
  std::string command(const std::string& home, const std::vector<std::string>& args) {
    std::string cmd = quote(QORDA_BINARY) + " --home " + quote(home);
    for (const std::string& a : args) cmd += " " + quote(a);
    return cmd;
  }
  Outcome shell(const std::string& cmd) {
    Outcome r;
    std::string out = dir_ + "/stdout", err = dir_ + "/stderr", status = dir_ + "/status";
    // The shell writes the exit status down, so no wait-status decoding is needed here.
    std::string line =
        "{ " + cmd + "; } >" + quote(out) + " 2>" + quote(err) + "; echo $? >" + quote(status);
    if (std::system(line.c_str()) != 0) return r;
    r.status = std::atoi(slurp(status).c_str());
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }
  Outcome qorda(const std::vector<std::string>& args, const std::string& stdin_file = "") {
    std::string cmd = command(home_, args);
    if (!stdin_file.empty()) cmd += " <" + quote(stdin_file);
    return shell(cmd);
  }
  std::string write(const std::string& name, const std::string& data) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p, std::ios::binary) << data;
    return p;
  }

  std::string dir_, home_;
};

TEST_F(RegCli, SetQueryDelete) {
  ASSERT_EQ(qorda({"init"}).status, 0);
  Outcome r =
      qorda({"reg", "set", "HKEY_LOCAL_MACHINE\\Software\\Test", "iport", "dword", "0x815"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(mode_of(home_), fs::perms::owner_all);  // init made the home private
  ASSERT_EQ(qorda({"reg", "set", "software\\test", "imaxc", "dword", "4294967295"}).status, 0);
  ASSERT_EQ(qorda({"reg", "set", "Software\\Test", "szmsg1", "sz", "Hi \"you\"\nC:\\"}).status, 0);
  ASSERT_EQ(qorda({"reg", "set", "Software\\Test", "--", "-h", "sz", "-x"}).status, 0);

  r = qorda({"reg", "query", "SOFTWARE\\TEST"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\"-h\"=\"-x\"\n"
            "\"imaxc\"=dword:ffffffff\n"
            "\"iport\"=dword:00000815\n"
            "\"szmsg1\"=\"Hi \\\"you\\\"\\nC:\\\\\"\n");
  r = qorda({"reg", "query", "HKEY_LOCAL_MACHINE\\Software\\Test", "IPORT"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"iport\"=dword:00000815\n");
  EXPECT_EQ(qorda({"reg", "query", "Software"}).out, "");  // a key with no values of its own

  r = qorda({"reg", "query", "Software\\Test", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no value \"nope\""), std::string::npos) << r.err;
  EXPECT_EQ(qorda({"reg", "query", "Software\\Missing"}).status, 1);

  EXPECT_EQ(qorda({"reg", "delete", "Software\\Test", "iport"}).status, 0);
  EXPECT_EQ(qorda({"reg", "query", "Software\\Test", "iport"}).status, 1);
  EXPECT_EQ(qorda({"reg", "delete", "Software\\Test", "iport"}).status, 1);
  EXPECT_EQ(qorda({"reg", "delete", "software"}).status, 0);
  EXPECT_EQ(qorda({"reg", "query", "Software\\Test"}).status, 1);
  EXPECT_EQ(qorda({"reg", "delete", "HKEY_LOCAL_MACHINE"}).status, 2);  // the root stays
}

TEST_F(RegCli, BadArgumentsAndHelp) {
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"reg"},
           {"reg", "frobnicate"},
           {"reg", "set", "K", "n", "dword", "-1"},
           {"reg", "set", "K", "n", "dword", "4294967296"},
           {"reg", "set", "K", "n", "dword", "0x"},
           {"reg", "set", "K", "n", "dword", "0x100000000"},
           {"reg", "set", "K", "n", "dword", "12a"},
           {"reg", "set", "K", "n", "dword", ""},
           {"reg", "set", "K", "n", "int", "1"},
           {"reg", "set", "K", "n", "sz"},
           {"reg", "query"},
           {"reg", "query", "a", "b", "c"},
           {"reg", "export", "a", "b"},
           {"reg", "import"},
           {"reg", "delete", "--force", "K"},
       }) {
    Outcome r = qorda(bad);
    EXPECT_EQ(r.status, 2) << bad.back();
    EXPECT_FALSE(r.err.empty()) << bad.back();
    EXPECT_TRUE(r.out.empty()) << bad.back();
  }
  EXPECT_FALSE(fs::exists(home_ + "/qorda.db"));  // nothing was written
  ASSERT_EQ(qorda({"init"}).status, 0);
  Outcome bad_key = qorda({"reg", "set", "A\\\\B", "n", "sz", "x"});
  EXPECT_EQ(bad_key.status, 2);
  EXPECT_NE(bad_key.err.find("empty key name"), std::string::npos) << bad_key.err;

  Outcome r = qorda({"reg", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("qorda reg import FILE|-"), std::string::npos) << r.out;
  for (const char* sub : {"export", "import", "query", "set", "delete"}) {
    r = qorda({"reg", sub, "--help"});
    EXPECT_EQ(r.status, 0) << sub;
    EXPECT_EQ(r.out.rfind(std::string("usage: qorda reg ") + sub, 0), 0u) << r.out;
  }
  r = qorda({"help"});
  EXPECT_NE(r.out.find("  reg "), std::string::npos);
}

TEST_F(RegCli, ExportImportRoundTrip) {
  {
    auto reg = Registry::open(home_ + ".db");  // built through the library, exported by the CLI
    ASSERT_TRUE(reg.ok()) << reg.msg;
    Registry& a = **reg;
    ASSERT_TRUE(a.create_key("Software\\Links\\/c:/ftp/pub/"));
    ASSERT_TRUE(a.create_key("Software\\Empty\\Sub"));
    ASSERT_TRUE(a.set_sz("Software\\Links\\/c:/ftp/pub/", "Drive_D", "/d:/"));
    ASSERT_TRUE(a.set_sz("Software", "awkward \"n\\ame\"", "a\r\nb\\n\"\xE2\x82\xAC"));
    ASSERT_TRUE(a.set_sz("Software", "", ""));
    ASSERT_TRUE(a.set_dword("Software", "Zero", 0));
    ASSERT_TRUE(a.set_sz("Software", "big", std::string(300000, 'q')));
  }
  fs::create_directories(home_);
  fs::rename(home_ + ".db", home_ + "/qorda.db");

  Outcome a = qorda({"reg", "export"});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(a.out.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n", 0), 0u);

  // Through a pipe into another home's new, empty store.
  std::string other = dir_ + "/other";
  fs::create_directories(other);
  ASSERT_TRUE(Registry::open(other + "/qorda.db").ok());
  Outcome piped = shell(command(home_, {"reg", "export", "-"}) + " | " +
                        command(other, {"reg", "import", "-"}));
  ASSERT_EQ(piped.status, 0) << piped.err;
  Outcome b = shell(command(other, {"reg", "export"}));
  ASSERT_EQ(b.status, 0);
  EXPECT_EQ(b.out, a.out);

  // To a file: the same text, private, replaced whole, no temporary file left beside it.
  std::string file = dir_ + "/saved.reg";
  write("saved.reg", "an older export");
  ASSERT_EQ(qorda({"reg", "export", file}).status, 0);
  EXPECT_EQ(slurp(file), a.out);
  EXPECT_EQ(mode_of(file), fs::perms::owner_read | fs::perms::owner_write);
  for (auto& e : fs::directory_iterator(dir_)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }
  // Into a directory that does not exist: an error, and no file.
  EXPECT_EQ(qorda({"reg", "export", dir_ + "/none/x.reg"}).status, 1);

  // From a file with CR LF line ends, into a third home.
  std::string crlf;
  for (char c : a.out) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string third = dir_ + "/third";
  fs::create_directories(third);
  ASSERT_TRUE(Registry::open(third + "/qorda.db").ok());
  ASSERT_EQ(shell(command(third, {"reg", "import", write("crlf.reg", crlf)})).status, 0);
  EXPECT_EQ(shell(command(third, {"reg", "export"})).out, a.out);
}

TEST_F(RegCli, MalformedImportChangesNothing) {
  ASSERT_EQ(qorda({"init"}).status, 0);
  ASSERT_EQ(qorda({"reg", "set", "Keep", "v", "sz", "before"}).status, 0);
  std::string before = qorda({"reg", "export"}).out;
  std::string bad = write("bad.reg",
                          "REGEDIT4\n"
                          "[HKEY_LOCAL_MACHINE\\Keep]\n"
                          "\"v\"=\"after\"\n"
                          "\"w\"=dword:12\n"
                          "[HKEY_LOCAL_MACHINE\\New]\n");
  Outcome r = qorda({"reg", "import", bad});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "qorda reg import: line 4: a dword needs exactly 8 hex digits (dword:0000abcd)\n");
  r = qorda({"reg", "import", "-"}, bad);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 4: "), std::string::npos);
  EXPECT_EQ(qorda({"reg", "export"}).out, before);

  r = qorda({"reg", "import", dir_ + "/missing.reg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.reg"), std::string::npos);
}

// The store holds any 32-bit number; a server setting outside the range `qorda set` accepts is
// kept (an export imports back unchanged) and the import warns, naming the setting, the value,
// the range and what the server does with it.
TEST_F(RegCli, SettingOutsideItsRangeIsStoredWithAWarning) {
  const std::string setup =
      "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup]\n";
  const std::string file = write("setup.reg", "REGEDIT4\n\n" + setup +
                                                  "\"iport\"=dword:00011170\n"
                                                  "\"imaxt\"=dword:00000064\n"
                                                  "\"bhide\"=dword:00000002\n");
  ASSERT_EQ(qorda({"init"}).status, 0);
  Outcome r = qorda({"reg", "import", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "qorda reg import: warning: iport is now 70000, outside 0 to 65535 (the range 'qorda "
            "set' accepts); stored as given: 'qorda serve' cannot listen on it and stops with the "
            "reason\n"
            "qorda reg import: warning: bhide is now 2, outside 0 to 1 (the range 'qorda set' "
            "accepts); stored as given: the server uses it as it is\n");
  EXPECT_EQ(qorda({"get", "iport"}).out, "iport=70000\n");
  EXPECT_EQ(qorda({"get", "imaxt"}).out, "imaxt=100\n");
  // What the warning says the server does.
  Outcome serve = shell("timeout 60 " + command(home_, {"serve"}));
  EXPECT_EQ(serve.status, 1) << serve.out << serve.err;
  EXPECT_NE(serve.err.find("port 70000"), std::string::npos) << serve.err;

  // Importing it again changes nothing and warns about nothing; reg set warns as import does.
  EXPECT_EQ(qorda({"reg", "import", file}).err, "");
  const std::string key = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup";
  r = qorda({"reg", "set", key, "ilogls", "dword", "9"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("qorda reg set: warning: ilogls is now 9, outside 0 to 6"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(qorda({"reg", "set", key, "ilogls", "dword", "6"}).err, "");
}

TEST_F(RegCli, StoreThatCannotBeOpened) {
  // No store yet: reading commands say so and create nothing.
  Outcome r = qorda({"reg", "export"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no store"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(home_));

  fs::create_directories(home_);
  const std::string text = "this is not a database\n" + std::string(2000, '#');
  write("home/qorda.db", text);
  std::string good = write("good.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"reg", "export"},
           {"reg", "import", good},
           {"reg", "query", "A"},
           {"reg", "set", "A", "b", "sz", "c"},
           {"reg", "delete", "A"},
       }) {
    r = qorda(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_NE(r.err.find("not a qorda store"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(home_ + "/qorda.db"), std::string::npos) << r.err;
  }
  EXPECT_EQ(slurp(home_ + "/qorda.db"), text);
}

}  // namespace
