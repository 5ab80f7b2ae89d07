// `qorda init [--demo]` run as the administrator runs it: the home it creates, the demo site's
// accounts and files, and that a second run changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "store/keys.h"
#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"
#include "vfs/permission.h"

namespace {

namespace fs = std::filesystem;
using qorda::platform::Registry;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class InitCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path().string() + "/qorda-init-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    home_ = dir_ + "/home";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  Outcome qorda(const std::vector<std::string>& args, const std::string& home = "") {
    std::string cmd = quote(QORDA_BINARY) + " --home " + quote(home.empty() ? home_ : home);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(dir_ + "/out") + " 2>" + quote(dir_ + "/err");
    Outcome r;
    int st = std::system(cmd.c_str());
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(dir_ + "/out");
    r.err = slurp(dir_ + "/err");
    return r;
  }

  std::string export_store(const std::string& home = "") {
    Outcome r = qorda({"reg", "export", "-"}, home);
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  // The password the demo init printed, from its "password: X" line.
  static std::string printed_password(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("password: ([^ \\n]+)\\n"))) return "";
    return m[1];
  }

  std::unique_ptr<Registry> open() {
    auto r = Registry::open(home_ + "/qorda.db", Registry::Mode::ReadOnly);
    EXPECT_TRUE(r.ok()) << r.msg;
    return std::move(r.value);
  }

  std::string dir_, home_;
};

TEST_F(InitCli, PlainInitCreatesTheStoreKeyTreeAndDriveC) {
  Outcome r = qorda({"init"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Created the qorda home " + home_), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_directory(home_ + "/c"));
  EXPECT_EQ(fs::status(home_).permissions() & fs::perms::all, fs::perms::owner_all);
  auto reg = open();
  ASSERT_TRUE(reg);
  for (const char* key : {qorda::store::kSetupKey, qorda::store::kUsersKey,
                          qorda::store::kTemplatesKey, qorda::store::kLinksKey}) {
    EXPECT_TRUE(reg->key_exists(key)) << key;
  }
  // Defaults everywhere: no stored setting, no account, drive table left to its default.
  EXPECT_EQ(*reg->count_values(qorda::store::kSetupKey), 0u);
  EXPECT_TRUE(qorda::store::list_users(*reg)->empty());
  EXPECT_FALSE(fs::exists(home_ + "/c/pub"));
}

TEST_F(InitCli, DemoSiteHasItsSettingsAccountsAndPrintedPassword) {
  Outcome r = qorda({"init", "--demo"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("curl ftp://127.0.0.1:2121/pub/"), std::string::npos) << r.out;
  const std::string password = printed_password(r.out);
  ASSERT_EQ(password.size(), 14u) << r.out;
  EXPECT_EQ(password.find_first_not_of("abcdefghjkmnpqrstuvwxyz23456789"), std::string::npos);

  auto reg = open();
  ASSERT_TRUE(reg);
  qorda::store::ServerSettings s;
  s.load(*reg);
  EXPECT_EQ(s.iport, 2121u);
  EXPECT_EQ(s.iloglf, 0u);
  EXPECT_EQ(s.imaxc, 20u);
  for (const char* token : {"%L", "%R", "%N", "%M"}) {
    EXPECT_NE(s.szmsg1.find(token), std::string::npos) << s.szmsg1;
  }
  EXPECT_NE(s.szmsg1.find('\n'), std::string::npos) << "a banner of several lines";

  auto users = qorda::store::list_users(*reg);
  ASSERT_TRUE(users.ok());
  EXPECT_EQ(*users, (std::vector<std::string>{"anonymous", "demo"}));
  qorda::store::UserRecord guest;
  guest.name = qorda::store::account_for_login("FTP");
  ASSERT_TRUE(qorda::store::read_user(*reg, guest, {.main_fields = true, .counters = true}));
  EXPECT_TRUE(guest.bguest);
  EXPECT_FALSE(guest.bdisable);
  EXPECT_EQ(guest.sztemp, qorda::store::kNoTemplateRef);
  EXPECT_EQ(guest.szfp, "[u] ---l--hm- /c:/\n[u] r--l---ms /c:/pub/\n[u] -w------- /c:/incoming/");

  qorda::store::UserRecord demo;
  demo.name = "demo";
  ASSERT_TRUE(qorda::store::read_user(*reg, demo, {.main_fields = true, .counters = true}));
  EXPECT_FALSE(demo.bguest);
  // Only the encoding is stored, and it is the printed password's.
  EXPECT_EQ(demo.szpass, qorda::store::encode_password(password));
  EXPECT_EQ(export_store().find(password), std::string::npos);
  EXPECT_EQ(demo.szfp, "[u] rwdlcxhms /c:/");
}

// What the guest's permission lines grant, directory by directory, by the lookup the server
// uses.
TEST_F(InitCli, DemoGuestMayReadPubAndOnlyStoreIntoIncoming) {
  ASSERT_EQ(qorda({"init", "--demo"}).code, 0);
  auto reg = open();
  ASSERT_TRUE(reg);
  qorda::store::UserRecord guest;
  guest.name = "anonymous";
  ASSERT_TRUE(qorda::store::read_user(*reg, guest, {.main_fields = true, .counters = false}));
  auto at = [&](const char* path) {
    qorda::vfs::PermissionRecord p;
    bool found = qorda::vfs::find_permission(guest.szfp, std::nullopt, path, &p);
    return found ? std::optional(p) : std::nullopt;
  };
  auto root = at("/c:/");
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->h && root->l && root->m);
  EXPECT_FALSE(root->r || root->w || root->d || root->c || root->x);
  for (const char* p : {"/c:/pub/", "/c:/pub/docs/", "/c:/pub/docs/deeper/"}) {
    auto pub = at(p);
    ASSERT_TRUE(pub) << p;
    EXPECT_TRUE(pub->r && pub->l && pub->m) << p;
    EXPECT_FALSE(pub->w || pub->d || pub->c || pub->x) << p;
  }
  auto in = at("/c:/incoming/");
  ASSERT_TRUE(in);
  EXPECT_TRUE(in->w);
  EXPECT_FALSE(in->r || in->l || in->d || in->c || in->x);
  // Nothing else on the drive, not even below /incoming/.
  EXPECT_FALSE(at("/c:/incoming/sub/"));
  EXPECT_FALSE(at("/c:/private/"));
  EXPECT_FALSE(at("/d:/"));
}

TEST_F(InitCli, DemoFilesAreInPlaceWithTokensAndCrLfMessages) {
  ASSERT_EQ(qorda({"init", "--demo"}).code, 0);
  const std::string c = home_ + "/c";
  for (const char* f :
       {"/pub/README.txt", "/pub/hello.txt", "/pub/release notes.txt", "/pub/docs/guide.txt"}) {
    EXPECT_TRUE(fs::is_regular_file(c + f)) << f;
    EXPECT_GT(fs::file_size(c + f), 0u) << f;
  }
  EXPECT_TRUE(fs::is_directory(c + "/incoming"));
  EXPECT_TRUE(fs::is_empty(c + "/incoming"));
  // The guest's home is the drive root: welcome.msg is shown at login, .message on CWD /pub.
  const std::string welcome = slurp(c + "/welcome.msg");
  const std::string message = slurp(c + "/pub/.message");
  EXPECT_NE(welcome.find("%U"), std::string::npos);
  EXPECT_NE(welcome.find("%T"), std::string::npos);
  EXPECT_NE(message.find("%C"), std::string::npos);
  for (const std::string* text : {&welcome, &message}) {
    ASSERT_FALSE(text->empty());
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
    // Every line feed ends a CR LF pair: the server splits message files only there.
    for (size_t i = text->find('\n'); i != std::string::npos; i = text->find('\n', i + 1)) {
      EXPECT_EQ((*text)[i - 1], '\r');
    }
  }
}

TEST_F(InitCli, SecondRunChangesNothingAndSaysSo) {
  Outcome first = qorda({"init", "--demo"});
  ASSERT_EQ(first.code, 0);
  const std::string before = export_store();
  fs::remove(home_ + "/c/pub/hello.txt");  // an administrator's change to the tree
  Outcome again = qorda({"init", "--demo"});
  EXPECT_EQ(again.code, 0);
  EXPECT_NE(again.out.find("already holds a store"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("nothing changed"), std::string::npos) << again.out;
  EXPECT_EQ(printed_password(again.out), "");
  EXPECT_EQ(export_store(), before);
  EXPECT_FALSE(fs::exists(home_ + "/c/pub/hello.txt"));
  // A plain home does not become a demo site either.
  const std::string other = dir_ + "/plain";
  ASSERT_EQ(qorda({"init"}, other).code, 0);
  const std::string plain = export_store(other);
  EXPECT_EQ(qorda({"init", "--demo"}, other).code, 0);
  EXPECT_EQ(export_store(other), plain);
  EXPECT_FALSE(fs::exists(other + "/c/pub"));
}

TEST_F(InitCli, EachDemoHomeGetsItsOwnPassword) {
  Outcome a = qorda({"init", "--demo"});
  Outcome b = qorda({"init", "--demo"}, dir_ + "/second");
  ASSERT_EQ(a.code, 0);
  ASSERT_EQ(b.code, 0);
  EXPECT_NE(printed_password(a.out), printed_password(b.out));
}

TEST_F(InitCli, FilesOfAHomeWithoutStoreAreKept) {
  fs::create_directories(home_ + "/c/pub");
  { std::ofstream(home_ + "/c/pub/hello.txt") << "mine"; }
  ASSERT_EQ(qorda({"init", "--demo"}).code, 0);
  EXPECT_EQ(slurp(home_ + "/c/pub/hello.txt"), "mine");
  EXPECT_TRUE(fs::exists(home_ + "/c/pub/README.txt"));
}

TEST_F(InitCli, FailureLeavesNoStoreSoThatARetryWorks) {
  // Drive c: cannot be made: a file stands where its directory should be.
  fs::create_directories(home_);
  { std::ofstream(home_ + "/c") << "in the way"; }
  Outcome r = qorda({"init", "--demo"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("can't create drive c:"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(home_ + "/qorda.db"));
  fs::remove(home_ + "/c");
  Outcome retry = qorda({"init", "--demo"});
  EXPECT_EQ(retry.code, 0) << retry.err;
  EXPECT_EQ(printed_password(retry.out).size(), 14u);
}

TEST_F(InitCli, EmptyStoreIsRefusedEverywhereUntilInitReplacesIt) {
  // A store truncated to nothing must not pass for a new one (port 21, no accounts).
  fs::create_directories(home_);
  const std::string db = home_ + "/qorda.db";
  { std::ofstream{db}; }
  for (const std::vector<std::string>& cmd :
       std::vector<std::vector<std::string>>{{"serve", "--port", "0"},
                                             {"get", "iport"},
                                             {"set", "iport", "2121"},
                                             {"user", "add", "bob"},
                                             {"drive", "list"},
                                             {"reg", "import", "/dev/null"}}) {
    Outcome r = qorda(cmd);
    EXPECT_EQ(r.code, 1) << cmd[0];
    EXPECT_NE(r.err.find(db + ": the store file is empty"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("'qorda --home " + home_ + " init' makes a new store"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("reg import FILE' then restores an export"), std::string::npos) << r.err;
    EXPECT_EQ(fs::file_size(db), 0u) << cmd[0];
  }
  // init is the way out: a new store takes the empty file's place.
  Outcome r = qorda({"init"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("The empty store file " + db + " is replaced by a new store."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(qorda({"get", "iport"}).out, "iport=21\n");
  EXPECT_EQ(fs::status(db).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // Anything else that is not a store is left alone, and init says what to do.
  { std::ofstream(db, std::ios::trunc) << "not a store"; }
  r = qorda({"init", "--demo"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a qorda store"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Move it aside"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(db), "not a store");
}

TEST_F(InitCli, RelativeHomeIsTakenFromTheWorkingDirectory) {
  const std::string in_dir = "cd " + quote(dir_) + " && " + quote(QORDA_BINARY) + " --home rel/ ";
  ASSERT_EQ(std::system((in_dir + "init --demo >/dev/null").c_str()), 0);
  EXPECT_TRUE(fs::exists(dir_ + "/rel/qorda.db"));
  EXPECT_TRUE(fs::exists(dir_ + "/rel/c/pub/hello.txt"));
  // The server finds drive c: of that home (and then stops: port 0 opens no listener).
  const std::string out = dir_ + "/serve.out";
  const int st = std::system((in_dir + "serve --port 0 >" + quote(out) + " 2>&1").c_str());
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_NE(slurp(out).find("the port is 0"), std::string::npos) << slurp(out);
  Outcome drives = qorda({"drive", "list"}, dir_ + "/rel");
  EXPECT_EQ(drives.out, "c: " + dir_ + "/rel/c (default)\n");
}

TEST_F(InitCli, ArgumentsAndHelp) {
  Outcome bad = qorda({"init", "--demo", "extra"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("unknown argument 'extra'"), std::string::npos);
  EXPECT_FALSE(fs::exists(home_));
  Outcome help = qorda({"init", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("usage: qorda init [--demo]", 0), 0u) << help.out;
  EXPECT_FALSE(fs::exists(home_));
}

}  // namespace
