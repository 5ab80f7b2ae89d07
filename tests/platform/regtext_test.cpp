#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

using qorda::platform::export_text;
using qorda::platform::import_text;
using qorda::platform::Registry;
using qorda::platform::RegType;
using qorda::platform::RegValue;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qorda-text-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole store through the key and value calls alone (independent of the text form): one
// entry per key, its path then each value's name, type and raw bytes.
void walk(Registry& r, const std::string& key, std::vector<std::string>* out) {
  std::string entry = "[" + key + "]";
  auto vals = r.values(key);
  ASSERT_TRUE(vals.ok()) << vals.msg;
  for (const RegValue& v : vals.value) {
    entry += "|" + v.name + "|" + std::to_string(static_cast<int>(v.type)) + "|" + v.raw();
  }
  out->push_back(entry);
  auto subs = r.subkeys(key);
  ASSERT_TRUE(subs.ok()) << subs.msg;
  for (const std::string& s : subs.value) walk(r, key.empty() ? s : key + "\\" + s, out);
}

std::vector<std::string> dump(Registry& r) {
  std::vector<std::string> out;
  walk(r, "", &out);
  return out;
}

class RegText : public ::testing::Test {
 protected:
  std::unique_ptr<Registry> fresh(const std::string& name) {
    auto r = Registry::open(dir_.file(name));
    EXPECT_TRUE(r.ok()) << r.msg;
    return r.ok() ? std::move(r.value) : nullptr;
  }
  std::string exported(Registry& r) {
    auto t = export_text(r);
    EXPECT_TRUE(t.ok()) << t.msg;
    return t.value;
  }
  TempDir dir_;
};

TEST_F(RegText, ExportWritesEveryKeyInTreeOrder) {
  auto r = fresh("a.db");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(exported(*r), "REGEDIT4\n\n");
  const std::string setup = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup";
  ASSERT_TRUE(r->create_key(setup));
  ASSERT_TRUE(r->create_key("Software\\b"));
  ASSERT_TRUE(r->create_key("Software\\A b"));
  ASSERT_TRUE(r->create_key("Software\\A\\x"));  // "A b" < "A\x" as paths; the tree comes first
  ASSERT_TRUE(r->set_dword(setup, "iport", 0x815));
  ASSERT_TRUE(r->set_sz(setup, "szmsg1", "Welcome to %L.\nYou are %R."));
  ASSERT_TRUE(r->set_sz(setup, "szlogf", "c:\\qorda.log"));
  ASSERT_TRUE(r->set_sz(setup, "Quote\"d", "\"\r"));
  ASSERT_TRUE(r->set_dword("Software\\b", "", 0xDEADBEEF));
  EXPECT_EQ(exported(*r),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A\\x]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A b]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\b]\n"
            "\"\"=dword:deadbeef\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup]\n"
            "\"iport\"=dword:00000815\n"
            "\"Quote\\\"d\"=\"\\\"\\r\"\n"
            "\"szlogf\"=\"c:\\\\qorda.log\"\n"
            "\"szmsg1\"=\"Welcome to %L.\\nYou are %R.\"\n"
            "\n");
  RegValue v;
  v.name = "a\\b";
  v.sz = "x\ny";
  EXPECT_EQ(qorda::platform::value_line(v), "\"a\\\\b\"=\"x\\ny\"");
}

TEST_F(RegText, ImportOfAnExportReproducesTheStore) {
  auto a = fresh("a.db");
  ASSERT_NE(a, nullptr);
  std::string big(1 << 20, ' ');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(1 + (i * 7) % 255);
  const std::vector<std::string> keys = {
      "Software\\Zolvex Software\\Cindervale FTP Daemon\\Links\\/c:/ftp/pub/",
      "Software\\Zolvex Software\\Cindervale FTP Daemon\\Links\\/C:/FTP/",
      "Users\\Bob",
      "Users\\bob2",
      "Users\\[odd] name ",
      "Users\\-dash",
      "Users\\;semi",
      "Users\\\xC3\xA9l\xC3\xA8ve",
      "Empty\\Deeper\\Still empty",
  };
  for (const std::string& k : keys) ASSERT_TRUE(a->create_key(k)) << k;
  std::string deep = "Deep";
  for (int i = 0; i < 40; ++i) deep += "\\level" + std::to_string(i);
  ASSERT_TRUE(a->create_key(deep));
  const std::string u = "Users\\Bob";
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"", "unnamed"},
      {"empty", ""},
      {"quotes", "say \"hi\" \"\""},
      {"backslashes", "c:\\dir\\\\share\\"},
      {"escapes look-alike", "\\n is not \\r"},
      {"lines", "one\ntwo\r\nthree\n"},
      {"cr", "\r"},
      {"tab and bell", "\t\a"},
      {"utf8", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"name \"with\" = and \\ and \n", "v"},
      {"big", big},
  };
  for (const auto& [n, t] : texts) ASSERT_TRUE(a->set_sz(u, n, t)) << n;
  ASSERT_TRUE(a->set_dword(u, "zero", 0));
  ASSERT_TRUE(a->set_dword(u, "max", 0xFFFFFFFFu));
  ASSERT_TRUE(a->set_sz("Users\\bob2", "SZPASS", "upper"));  // same name as below, other case
  ASSERT_TRUE(a->set_sz(keys[0], "drive_d", "/d:/"));
  ASSERT_TRUE(a->set_sz(keys[1], "Drive_D", "~/pub"));
  ASSERT_TRUE(a->set_sz("", "at the root", "yes"));
  ASSERT_TRUE(a->set_dword(deep, "bottom", 40));

  std::string text = exported(*a);
  auto b = fresh("b.db");
  ASSERT_NE(b, nullptr);
  auto s = import_text(*b, text);
  ASSERT_TRUE(s.ok()) << s.msg;
  EXPECT_EQ(exported(*b), text);
  EXPECT_EQ(dump(*b), dump(*a));
  EXPECT_EQ(b->query(u, "big")->sz, big);
  EXPECT_EQ(b->query(u, "lines")->sz, "one\ntwo\r\nthree\n");
  EXPECT_EQ(b->subkeys("Users")->size(), 6u);

  // Importing the same text again changes nothing; importing it with CR LF line ends neither.
  ASSERT_TRUE(import_text(*b, text));
  EXPECT_EQ(exported(*b), text);
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  auto c = fresh("c.db");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(import_text(*c, crlf));
  EXPECT_EQ(dump(*c), dump(*a));
}

TEST_F(RegText, ImportMergesCreatesAndDeletes) {
  auto r = fresh("a.db");
  ASSERT_NE(r, nullptr);
  for (const char* k : {"Users\\al\\sub", "Users\\alice", "Keep"}) ASSERT_TRUE(r->create_key(k));
  ASSERT_TRUE(r->set_sz("Users\\alice", "szpass", "a"));
  ASSERT_TRUE(r->set_sz("Keep", "old", "stays"));
  ASSERT_TRUE(r->set_sz("Keep", "gone", "x"));
  const std::string text =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "; a comment, then blank lines\r\n"
      "\r\n"
      "   \r\n"
      "[-HKEY_LOCAL_MACHINE\\Users\\AL]\r\n"
      "[-HKEY_LOCAL_MACHINE\\No\\Such\\Key]\r\n"
      "[hkey_local_machine\\keep]  \r\n"
      "\"gone\"=-\r\n"
      "\"never there\"=-\r\n"
      "\"new\"=dword:0000ABcd\r\n"
      "\"text\"=\"t\"\t\r\n"
      "[HKEY_LOCAL_MACHINE\\Made\\With\\Parents]\r\n"
      "[HKEY_LOCAL_MACHINE]\r\n"
      "\"root value\"=\"r\"";  // no line end at the very end
  auto s = import_text(*r, text);
  ASSERT_TRUE(s.ok()) << s.msg;
  EXPECT_FALSE(r->key_exists("Users\\al"));
  EXPECT_FALSE(r->key_exists("Users\\al\\sub"));
  EXPECT_EQ(r->query("Users\\alice", "szpass")->sz, "a");
  EXPECT_EQ(r->query("Keep", "old")->sz, "stays");
  EXPECT_EQ(r->query("Keep", "gone").err, ENOENT);
  EXPECT_EQ(r->query("Keep", "new")->dword, 0xabcdu);
  EXPECT_EQ(r->query("Keep", "text")->sz, "t");
  EXPECT_EQ(*r->subkeys(""), (std::vector<std::string>{"Keep", "Made", "Users"}));
  EXPECT_TRUE(r->key_exists("made\\with\\parents"));
  EXPECT_EQ(r->query("", "root value")->sz, "r");

  // A key deleted and selected again in one file takes values again.
  ASSERT_TRUE(import_text(*r,
                          "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Keep]\n[HKEY_LOCAL_MACHINE\\Keep]\n"
                          "\"v\"=\"1\"\n"));
  EXPECT_EQ(*r->count_values("Keep"), 1u);
}

TEST_F(RegText, MalformedLineAppliesNothingAndNamesTheLine) {
  auto r = fresh("a.db");
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->create_key("Existing\\Child"));
  ASSERT_TRUE(r->set_sz("Existing", "v", "before"));
  const std::string before = exported(*r);
  // Lines 1 to 5 are good and would change the store; line 6 is the bad one.
  const std::string good =
      "REGEDIT4\r\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Applied]\n"
      "\"a\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\Existing]\n";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"\"x\"=\"a\\tb\"", "unknown escape \\t"},
      {"\"x\"=\"a\\", "missing closing quote"},
      {"\"x\"=\"abc", "missing closing quote"},
      {"\"x", "missing closing quote"},
      {"\"x\"=dword:123", "8 hex digits"},
      {"\"x\"=dword:0000000g", "8 hex digits"},
      {"\"x\"=dword:000000001", "8 hex digits"},
      {"\"x\"=dword:", "8 hex digits"},
      {"\"x\"=DWORD:00000001", "must be \"text\""},
      {"\"x\"=", "must be \"text\""},
      {"\"x\"=\"a\" b", "unexpected text after the closing quote"},
      {"\"x\"=\"a\"\"", "unexpected text after the closing quote"},
      {"\"x\" = \"a\"", "expected '='"},
      {"\"x\"", "expected '='"},
      {"x=\"a\"", "expected [KEY]"},
      {"  [HKEY_LOCAL_MACHINE\\A]", "expected [KEY]"},
      {"[HKEY_CURRENT_USER\\A]", "HKEY_LOCAL_MACHINE"},
      {"[HKEY_LOCAL_MACHINEX\\A]", "HKEY_LOCAL_MACHINE"},
      {"[]", "HKEY_LOCAL_MACHINE"},
      {"[", "must end with ']'"},
      {"[HKEY_LOCAL_MACHINE\\A", "must end with ']'"},
      {"[HKEY_LOCAL_MACHINE\\A] x", "must end with ']'"},
      {"[HKEY_LOCAL_MACHINE\\A\\\\B]", "empty key name"},
      {"[HKEY_LOCAL_MACHINE\\A\\]", "empty key name"},
      {"[HKEY_LOCAL_MACHINE\\]", "empty key name"},
      {"[HKEY_LOCAL_MACHINE\\\\A]", "empty key name"},
      {"[HKEY_LOCAL_MACHINE\\A\rB]", "carriage return"},
      {"[-HKEY_LOCAL_MACHINE]", "root key cannot be deleted"},
      {std::string("\"x\"=\"a\0b\"", 9), "NUL"},
      {std::string("[HKEY_LOCAL_MACHINE\\A\0B]", 24), "NUL"},
  };
  for (const auto& [line, reason] : bad) {
    for (const char* tail : {"", "\n", "\r\n[HKEY_LOCAL_MACHINE\\After]\n"}) {
      auto s = import_text(*r, good + line + tail);
      EXPECT_EQ(s.err, EINVAL) << line;
      EXPECT_EQ(s.msg.rfind("line 6: ", 0), 0u) << line << " -> " << s.msg;
      EXPECT_NE(s.msg.find(reason), std::string::npos) << line << " -> " << s.msg;
    }
  }
  struct Whole {
    std::string text;
    std::string msg;
  };
  const std::vector<Whole> whole = {
      {"", "line 1: the first line must be REGEDIT4"},
      {"REGEDIT5\n", "line 1: the first line must be REGEDIT4"},
      {"\n\nREGEDIT4\n", "line 1: the first line must be REGEDIT4"},
      {"[HKEY_LOCAL_MACHINE\\A]\n", "line 1: the first line must be REGEDIT4"},
      {"REGEDIT4\n\n\"a\"=\"b\"\n", "line 3: a value before any [KEY] line"},
      {good + "[-HKEY_LOCAL_MACHINE\\Existing]\n\"v\"=-\n",
       "line 7: a value under a key being deleted ([-KEY])"},
  };
  for (const Whole& w : whole) {
    auto s = import_text(*r, w.text);
    EXPECT_EQ(s.err, EINVAL);
    EXPECT_EQ(s.msg, w.msg);
  }
  // Far down a long file the count is still right.
  std::string longer = "REGEDIT4\n";
  for (int i = 0; i < 3000; ++i)
    longer += "[HKEY_LOCAL_MACHINE\\Many\\k" + std::to_string(i) + "]\n";
  longer += "\"v\"=dword:1\n";
  auto s = import_text(*r, longer);
  EXPECT_EQ(s.msg, "line 3002: a dword needs exactly 8 hex digits (dword:0000abcd)");

  EXPECT_EQ(exported(*r), before);
  EXPECT_EQ(r->query("Existing", "v")->sz, "before");
  EXPECT_FALSE(r->key_exists("Applied"));
}

TEST_F(RegText, ImportJoinsAnOpenTransactionAndReadOnlyStoresRefuse) {
  auto r = fresh("a.db");
  ASSERT_NE(r, nullptr);
  {
    auto tx = r->begin();
    ASSERT_TRUE(tx.ok());
    ASSERT_TRUE(r->create_key("Outer"));
    EXPECT_FALSE(import_text(*r, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=bad\n"));
    EXPECT_TRUE(r->key_exists("Outer"));  // the failed import undid only its own part
    EXPECT_FALSE(r->key_exists("X"));
    ASSERT_TRUE(import_text(*r, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Y]\n"));
    ASSERT_TRUE((*tx)->commit());
  }
  EXPECT_TRUE(r->key_exists("Outer"));
  EXPECT_TRUE(r->key_exists("Y"));

  auto ro = Registry::open(dir_.file("a.db"), Registry::Mode::ReadOnly);
  ASSERT_TRUE(ro.ok());
  EXPECT_EQ(import_text(**ro, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Z]\n").err, EROFS);
  auto text = export_text(**ro);  // export needs only reading
  ASSERT_TRUE(text.ok()) << text.msg;
  EXPECT_NE(text->find("[HKEY_LOCAL_MACHINE\\Outer]\n"), std::string::npos);
  EXPECT_FALSE(r->key_exists("Z"));
}

}  // namespace
