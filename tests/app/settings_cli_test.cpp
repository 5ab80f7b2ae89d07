// `qorda get` and `qorda set` run as the administrator runs them, against a temporary home.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "store/keys.h"
#include "store/settings.h"

namespace {

using qorda::platform::Registry;

struct Outcome {
  int code = -1;
  std::string out, err;
};

class SettingsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qorda-set-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    home_ = dir_ + "/home";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  Outcome qorda(const std::vector<std::string>& args) {
    std::string cmd = quote(QORDA_BINARY) + " --home " + quote(home_);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(dir_ + "/out") + " 2>" + quote(dir_ + "/err");
    Outcome r;
    int st = std::system(cmd.c_str());
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(dir_ + "/out");
    r.err = slurp(dir_ + "/err");
    return r;
  }

  // The values now stored in the Setup key, as name -> text or decimal number.
  std::map<std::string, std::string> stored() {
    std::map<std::string, std::string> m;
    auto reg = Registry::open(home_ + "/qorda.db", Registry::Mode::ReadOnly);
    EXPECT_TRUE(reg.ok()) << reg.msg;
    if (!reg) return m;
    auto vals = reg.value->values(qorda::store::kSetupKey);
    EXPECT_TRUE(vals.ok());
    for (const auto& v : vals.value) {
      m[v.name] = v.type == qorda::platform::RegType::Sz ? v.sz : std::to_string(v.dword);
    }
    return m;
  }

  std::string dir_, home_;
};

constexpr const char* kDefaults =
    "iport=21\n"
    "imaxc=20\n"
    "imaxt=900\n"
    "ilogls=4\n"
    "iloglf=0\n"
    "szlogf=c:\\\\qorda.log\n"
    "szmsg1=\n"
    "szmsg2=\n"
    "szfont=MS Sans Serif\n"
    "szhostname=\n"
    "ifsiz=100\n"
    "bhide=0\n"
    "bminhide=0\n"
    "benabledns=1\n"
    "boverride=0\n"
    "benablepasv=1\n"
    "benablethird=1\n"
    "benablerpass=1\n"
    "ballowip=1\n"
    "ispace=1024\n"
    "busefont=0\n"
    "ballowpasv=1\n"
    "ballowport=1\n"
    "bnoicon=0\n"
    "bnorestore=0\n";

TEST_F(SettingsCli, GetOnAnEmptyHomeShowsEveryDefault) {
  ASSERT_EQ(qorda({"init"}).code, 0);
  Outcome r = qorda({"get"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kDefaults);
  EXPECT_TRUE(stored().empty());  // reading writes no value

  r = qorda({"get", "SzLogF"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "szlogf=c:\\\\qorda.log\n");

  r = qorda({"get", "nosuch"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("nosuch"), std::string::npos);
  EXPECT_EQ(r.out, "");
}

TEST_F(SettingsCli, RefusedValuesNameTheRangeAndChangeNothing) {
  struct Case {
    const char* name;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"iport", "70000", "qorda set: iport must be between 0 and 65535\n"},
      {"iport", "99999999999999999999", "qorda set: iport must be between 0 and 65535\n"},
      {"imaxc", "2501", "qorda set: imaxc must be between 0 and 2500\n"},
      {"imaxt", "86401", "qorda set: imaxt must be between 0 and 86400\n"},
      {"iport", "21a", "qorda set: iport must be a whole number between 0 and 65535\n"},
      {"iport", "-1", "qorda set: iport must be a whole number between 0 and 65535\n"},
      {"iport", "", "qorda set: iport must be a whole number between 0 and 65535\n"},
      {"ispace", "-5", "qorda set: ispace must be a whole number between 0 and 4294967295\n"},
      {"ispace", "4294967296",
       "qorda set: ispace must be a whole number between 0 and 4294967295\n"},
      {"ilogls", "7", "qorda set: ilogls must be between 0 and 6\n"},
      {"bhide", "2", "qorda set: bhide must be 0 or 1\n"},
      {"bhide", "yes", "qorda set: bhide must be 0 or 1\n"},
  };
  for (const Case& c : cases) {
    Outcome r = qorda({"set", c.name, c.value});
    EXPECT_EQ(r.code, 2) << c.name << " " << c.value;
    EXPECT_EQ(r.err, c.message) << c.name << " " << c.value;
  }
  // Nothing was even created.
  EXPECT_FALSE(std::filesystem::exists(home_ + "/qorda.db"));

  ASSERT_EQ(qorda({"init"}).code, 0);
  ASSERT_EQ(qorda({"get"}).code, 0);
  Outcome r = qorda({"set", "iport", "70000"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(qorda({"set", "nosuch", "1"}).code, 2);
  EXPECT_EQ(qorda({"set", "iport"}).code, 2);
}

TEST_F(SettingsCli, SetSavesTheWholePageOfTheValue) {
  ASSERT_EQ(qorda({"init"}).code, 0);
  Outcome r = qorda({"set", "IPORT", "2121"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto s = stored();
  EXPECT_EQ(s.size(), 16u);  // the setup page's values, nothing else
  EXPECT_EQ(s["iport"], "2121");
  EXPECT_EQ(s["szlogf"], "c:\\qorda.log");
  EXPECT_EQ(s.count("szmsg1"), 0u);
  EXPECT_EQ(qorda({"get", "iport"}).out, "iport=2121\n");

  ASSERT_EQ(qorda({"set", "ispace", "4294967295"}).code, 0);
  EXPECT_EQ(stored()["ispace"], "4294967295");
  EXPECT_EQ(stored()["iport"], "2121");

  // Banners: \n stands for a line feed; get shows it escaped again.
  ASSERT_EQ(qorda({"set", "szmsg1", "Welcome to %L.\\nPath c:\\\\ftp\\x"}).code, 0);
  EXPECT_EQ(stored()["szmsg1"], "Welcome to %L.\nPath c:\\ftp\\x");
  EXPECT_EQ(stored()["szmsg2"], "");
  EXPECT_EQ(qorda({"get", "szmsg1"}).out, "szmsg1=Welcome to %L.\\nPath c:\\\\ftp\\\\x\n");
  EXPECT_EQ(stored().size(), 18u);

  // Other texts are taken as given.
  ASSERT_EQ(qorda({"set", "szhostname", "ftp\\nexample"}).code, 0);
  s = stored();
  EXPECT_EQ(s["szhostname"], "ftp\\nexample");
  EXPECT_EQ(s["szfont"], "MS Sans Serif");
  EXPECT_EQ(s.size(), 23u);  // + the extras page's five

  // Values no page writes are written alone.
  ASSERT_EQ(qorda({"set", "bnoicon", "1"}).code, 0);
  EXPECT_EQ(stored().size(), 24u);
  EXPECT_EQ(stored()["bnoicon"], "1");
}

TEST_F(SettingsCli, TransferModesCannotBothBeOff) {
  ASSERT_EQ(qorda({"init"}).code, 0);
  ASSERT_EQ(qorda({"set", "ballowport", "0"}).code, 0);
  Outcome r = qorda({"set", "ballowpasv", "0"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("ballowport"), std::string::npos);
  EXPECT_EQ(stored()["ballowpasv"], "1");
  ASSERT_EQ(qorda({"set", "ballowport", "1"}).code, 0);
  ASSERT_EQ(qorda({"set", "ballowpasv", "0"}).code, 0);
  EXPECT_EQ(qorda({"get", "ballowpasv"}).out, "ballowpasv=0\n");
}

TEST_F(SettingsCli, HelpDescribesBothCommands) {
  Outcome r = qorda({"get", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("usage: qorda get [NAME]"), std::string::npos);
  EXPECT_NE(r.out.find("\\n"), std::string::npos);
  r = qorda({"set", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_FALSE(std::filesystem::exists(home_));  // help touches nothing

  // One line per setting: its name, its values, its default and what it does. The manual page
  // has an entry for each.
  std::map<std::string, std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 2 && line.rfind("  ", 0) == 0 && line[2] != ' ') {
      lines[line.substr(2, line.find(' ', 2) - 2)] = line;
    }
  }
  const std::string man = slurp(std::string(QORDA_SOURCE_DIR) + "/packaging/qorda.1");
  const std::string set_section = man.substr(man.find(".SS \"set NAME VALUE\""));
  const size_t what = lines["NAME"].find("WHAT IT DOES");
  ASSERT_NE(what, std::string::npos) << r.out;
  for (const auto& f : qorda::store::setting_fields()) {
    ASSERT_EQ(lines.count(f.name), 1u) << f.name;
    const std::string& line = lines[f.name];
    // A description starts in the column of its heading.
    EXPECT_TRUE(line.size() > what + 10 && line[what - 1] == ' ' && line[what] != ' ') << line;
    EXPECT_NE(set_section.find(std::string("\n.B ") + f.name + "\n"), std::string::npos) << f.name;
  }
  EXPECT_EQ(lines.size(), qorda::store::setting_fields().size() + 1);  // + the heading
  EXPECT_NE(lines["iport"].find("0-65535 21 "), std::string::npos) << lines["iport"];
  EXPECT_NE(lines["bhide"].find("0 or 1  0 "), std::string::npos) << lines["bhide"];
  EXPECT_NE(lines["szfont"].find("MS Sans Serif"), std::string::npos) << lines["szfont"];
  for (const char* gui : {"szfont", "ifsiz", "bhide", "bminhide", "busefont", "bnoicon"}) {
    EXPECT_NE(lines[gui].find("(GUI only)"), std::string::npos) << lines[gui];
  }
}

}  // namespace
