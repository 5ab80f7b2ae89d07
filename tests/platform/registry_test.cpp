#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qorda::platform::Registry;
using qorda::platform::RegType;
using qorda::platform::RegValue;
using qorda::platform::Status;

// A directory under $TMPDIR, removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qorda-reg-XXXXXX";
    char* p = ::mkdtemp(tmpl.data());
    if (p) path_ = p;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::unique_ptr<Registry> open_ok(const std::string& path,
                                  Registry::Mode mode = Registry::Mode::ReadWrite) {
  auto r = Registry::open(path, mode);
  EXPECT_TRUE(r.ok()) << r.msg;
  return r.ok() ? std::move(r.value) : nullptr;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    reg_ = open_ok(path());
    ASSERT_NE(reg_, nullptr);
  }
  std::string path() const { return dir_.file("qorda.db"); }

  TempDir dir_;
  std::unique_ptr<Registry> reg_;
};

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstCase) {
  Registry& r = *reg_;
  ASSERT_TRUE(r.create_key("Software\\Zolvex Software\\Users"));
  EXPECT_TRUE(r.key_exists("SOFTWARE\\zolvex software\\uSERS"));
  // Creating the same key in another case creates nothing new and renames nothing.
  ASSERT_TRUE(r.create_key("software\\ZOLVEX SOFTWARE\\users\\Alice"));
  auto subs = r.subkeys("software");
  ASSERT_TRUE(subs.ok());
  EXPECT_EQ(subs.value, std::vector<std::string>{"Zolvex Software"});
  subs = r.subkeys("Software\\Zolvex Software\\Users");
  ASSERT_TRUE(subs.ok());
  EXPECT_EQ(subs.value, std::vector<std::string>{"Alice"});

  ASSERT_TRUE(r.set_dword("Software\\Zolvex Software", "iPort", 21));
  ASSERT_TRUE(r.set_dword("SOFTWARE\\ZOLVEX SOFTWARE", "IPORT", 2069));
  auto v = r.query("software\\zolvex software", "iport");
  ASSERT_TRUE(v.ok()) << v.msg;
  EXPECT_EQ(v->name, "iPort");
  EXPECT_EQ(v->dword, 2069u);
  EXPECT_EQ(*r.count_values("Software\\Zolvex Software"), 1u);

  // Lists are in case-insensitive order (letters fold to lower case, so "_" sorts first).
  for (const char* k : {"b", "A", "c", "_x", "B2"})
    ASSERT_TRUE(r.create_key(std::string("L\\") + k));
  for (const char* n : {"zeta", "Alpha", "beta", "Gamma"}) ASSERT_TRUE(r.set_sz("L", n, n));
  subs = r.subkeys("l");
  ASSERT_TRUE(subs.ok());
  EXPECT_EQ(subs.value, (std::vector<std::string>{"_x", "A", "b", "B2", "c"}));
  auto vals = r.values("L");
  ASSERT_TRUE(vals.ok());
  std::vector<std::string> names;
  for (const RegValue& x : vals.value) names.push_back(x.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Gamma", "zeta"}));

  // Only ASCII folds: these two are different names.
  ASSERT_TRUE(r.set_sz("L", "\xC3\xA9t\xC3\xA9", "small"));
  ASSERT_TRUE(r.set_sz("L", "\xC3\x89T\xC3\x89", "capital"));
  EXPECT_EQ(r.query("L", "\xC3\x89T\xC3\x89")->sz, "capital");
  EXPECT_EQ(r.query("L", "\xC3\xA9T\xC3\xA9")->sz, "small");  // the T folds, the é does not
  EXPECT_EQ(*r.count_values("L"), 6u);
}

TEST_F(RegistryTest, TypedValuesAndTheirRawBytes) {
  Registry& r = *reg_;
  ASSERT_TRUE(r.create_key("K"));
  ASSERT_TRUE(r.set_sz("K", "szmsg1", "line one\nline two"));
  ASSERT_TRUE(r.set_sz("K", "", "the unnamed value"));
  ASSERT_TRUE(r.set_sz("K", "empty", ""));
  ASSERT_TRUE(r.set_dword("K", "imaxc", 0x01020304));
  ASSERT_TRUE(r.set_dword("K", "big", 0xFFFFFFFFu));

  auto sz = r.query("K", "szmsg1");
  ASSERT_TRUE(sz.ok());
  EXPECT_EQ(sz->type, RegType::Sz);
  EXPECT_EQ(sz->raw(), std::string("line one\nline two\0", 18));
  EXPECT_EQ(r.query("K", "")->sz, "the unnamed value");
  EXPECT_EQ(r.query("K", "empty")->raw(), std::string(1, '\0'));
  auto dw = r.query("K", "imaxc");
  ASSERT_TRUE(dw.ok());
  EXPECT_EQ(dw->type, RegType::Dword);
  EXPECT_EQ(dw->raw(), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(r.query("K", "big")->dword, 0xFFFFFFFFu);

  // A value can change type; the new type is what a reader gets.
  ASSERT_TRUE(r.set_dword("K", "szmsg1", 7));
  EXPECT_EQ(r.query("K", "szmsg1")->type, RegType::Dword);
  EXPECT_EQ(r.query("K", "szmsg1")->raw().size(), 4u);

  // A 1 MB text with every byte value but NUL survives unchanged.
  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(1 + i % 255);
  ASSERT_TRUE(r.set_sz("K", "big text", big));
  EXPECT_EQ(r.query("K", "BIG TEXT")->sz, big);

  // NUL cannot be stored in a text or a name.
  EXPECT_EQ(r.set_sz("K", "n", std::string("a\0b", 3)).err, EINVAL);
  EXPECT_EQ(r.set_sz("K", std::string("a\0b", 3), "x").err, EINVAL);
  EXPECT_EQ(*r.count_values("K"), 6u);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreReportedNotCreated) {
  Registry& r = *reg_;
  ASSERT_TRUE(r.create_key("A"));
  EXPECT_EQ(r.query("A", "nope").err, ENOENT);
  EXPECT_EQ(r.query("B", "x").err, ENOENT);
  EXPECT_EQ(r.set_sz("B", "x", "y").err, ENOENT);
  EXPECT_EQ(r.set_dword("A\\B", "x", 1).err, ENOENT);
  EXPECT_FALSE(r.key_exists("B"));
  EXPECT_FALSE(r.key_exists("A\\B"));
  EXPECT_EQ(r.delete_value("A", "nope").err, ENOENT);
  EXPECT_EQ(r.delete_key("B").err, ENOENT);
  EXPECT_EQ(r.subkeys("B").err, ENOENT);
  EXPECT_EQ(r.values("B").err, ENOENT);
  EXPECT_EQ(r.count_values("B").err, ENOENT);

  ASSERT_TRUE(r.set_sz("A", "v", "1"));
  ASSERT_TRUE(r.delete_value("A", "V"));
  EXPECT_EQ(r.query("A", "v").err, ENOENT);
  EXPECT_EQ(*r.count_values("A"), 0u);
  EXPECT_TRUE(r.key_exists(""));  // the root always exists
}

TEST_F(RegistryTest, MalformedKeyPathsAreRefused) {
  Registry& r = *reg_;
  for (const char* bad : {"\\A", "A\\", "A\\\\B", "\\", "A\nB", "A\rB"}) {
    EXPECT_EQ(r.create_key(bad).err, EINVAL) << bad;
    EXPECT_FALSE(r.key_exists(bad)) << bad;
  }
  EXPECT_EQ(r.create_key(std::string("A\0B", 3)).err, EINVAL);
  EXPECT_EQ(r.delete_key("").err, EINVAL);
  EXPECT_TRUE(r.subkeys("")->empty());
  // Brackets and slashes are ordinary characters in a key name (link keys are virtual paths).
  ASSERT_TRUE(r.create_key("Links\\/c:/ftp/pub/\\[x]"));
  EXPECT_EQ(r.subkeys("Links")->at(0), "/c:/ftp/pub/");
}

TEST_F(RegistryTest, DeleteKeyTakesTheSubtreeAndNothingBeside) {
  Registry& r = *reg_;
  const std::string u = "Software\\Users";
  for (const char* k :
       {"al", "al\\sub", "al\\sub\\deeper", "alice", "al]", "al[", "al_", "AL2", "b"}) {
    ASSERT_TRUE(r.create_key(u + "\\" + k)) << k;
    ASSERT_TRUE(r.set_sz(u + "\\" + k, "szpass", k));
  }
  ASSERT_TRUE(r.delete_key(u + "\\AL"));  // another case than created
  EXPECT_FALSE(r.key_exists(u + "\\al"));
  EXPECT_FALSE(r.key_exists(u + "\\al\\sub"));
  EXPECT_FALSE(r.key_exists(u + "\\al\\sub\\deeper"));
  EXPECT_EQ(*r.subkeys(u), (std::vector<std::string>{"AL2", "al[", "al]", "al_", "alice", "b"}));
  for (const char* k : {"alice", "al]", "al[", "al_", "AL2", "b"}) {
    EXPECT_EQ(r.query(u + "\\" + k, "szpass")->sz, k);
  }
  // The deleted keys' values went with them: a key made again starts empty.
  ASSERT_TRUE(r.create_key(u + "\\al\\sub"));
  EXPECT_EQ(*r.count_values(u + "\\al"), 0u);
  EXPECT_EQ(*r.count_values(u + "\\al\\sub"), 0u);
  EXPECT_TRUE(r.subkeys(u + "\\al\\sub")->empty());
}

TEST_F(RegistryTest, TransactionsCommitOrRollBackAsAWhole) {
  Registry& r = *reg_;
  ASSERT_TRUE(r.create_key("K"));
  ASSERT_TRUE(r.set_dword("K", "keep", 1));
  {
    auto tx = r.begin();
    ASSERT_TRUE(tx.ok()) << tx.msg;
    ASSERT_TRUE(r.create_key("K\\New\\Deep"));
    ASSERT_TRUE(r.set_dword("K", "keep", 2));
    ASSERT_TRUE(r.set_sz("K\\New", "v", "x"));
    ASSERT_TRUE(r.delete_value("K", "keep"));
    EXPECT_EQ(r.query("K", "keep").err, ENOENT);
    EXPECT_TRUE(r.key_exists("K\\New\\Deep"));  // reads inside see the transaction's writes
  }                                             // destroyed without commit
  EXPECT_FALSE(r.key_exists("K\\New"));
  EXPECT_EQ(r.query("K", "keep")->dword, 1u);

  // A second connection (as another process would) sees nothing until the commit.
  auto other = open_ok(path());
  ASSERT_NE(other, nullptr);
  {
    auto tx = r.begin();
    ASSERT_TRUE(tx.ok());
    ASSERT_TRUE(r.set_dword("K", "keep", 3));
    ASSERT_TRUE(r.create_key("K\\Committed"));
    {
      auto inner = r.begin();  // nests: its rollback undoes only its own writes
      ASSERT_TRUE(inner.ok()) << inner.msg;
      ASSERT_TRUE(r.create_key("K\\Inner"));
    }
    {
      auto inner = r.begin();
      ASSERT_TRUE(inner.ok());
      ASSERT_TRUE(r.set_sz("K", "inner", "kept"));
      ASSERT_TRUE((*inner)->commit());
    }
    EXPECT_EQ(other->query("K", "keep")->dword, 1u);
    EXPECT_FALSE(other->key_exists("K\\Committed"));
    // While the write lock is held, the other writer is refused, not silently dropped.
    EXPECT_EQ(other->set_dword("K", "keep", 99).err, EBUSY);
    ASSERT_TRUE((*tx)->commit());
    EXPECT_FALSE((*tx)->commit());  // only once
  }
  EXPECT_EQ(other->query("K", "keep")->dword, 3u);
  EXPECT_TRUE(other->key_exists("K\\Committed"));
  EXPECT_FALSE(other->key_exists("K\\Inner"));
  EXPECT_EQ(other->query("K", "inner")->sz, "kept");

  // Without a transaction, every write is visible to the other connection at once.
  ASSERT_TRUE(r.set_dword("K", "keep", 4));
  EXPECT_EQ(other->query("K", "keep")->dword, 4u);
  ASSERT_TRUE(other->delete_key("K\\Committed"));
  EXPECT_FALSE(r.key_exists("K\\Committed"));
}

TEST_F(RegistryTest, ReadOnlyModeReadsAndNeverWrites) {
  ASSERT_TRUE(reg_->create_key("K"));
  ASSERT_TRUE(reg_->set_sz("K", "v", "x"));
  auto ro = open_ok(path(), Registry::Mode::ReadOnly);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(ro->query("k", "V")->sz, "x");
  EXPECT_EQ(ro->set_sz("K", "v", "y").err, EROFS);
  EXPECT_EQ(ro->create_key("L").err, EROFS);
  EXPECT_EQ(ro->begin().err, EROFS);
  EXPECT_EQ(reg_->query("K", "v")->sz, "x");

  // ReadOnly never creates a store.
  std::string missing = dir_.file("none.db");
  auto r = Registry::open(missing, Registry::Mode::ReadOnly);
  EXPECT_EQ(r.err, ENOENT);
  EXPECT_NE(::access(missing.c_str(), F_OK), 0);
}

// Every file that is not a store of ours is refused with a clear message and left as it was.
class RegistryRefusal : public ::testing::Test {
 protected:
  void expect_refused(const std::string& file, const std::string& what) {
    std::string before = read_file(file);
    for (auto mode :
         {Registry::Mode::ReadWrite, Registry::Mode::ReadOnly, Registry::Mode::ReplaceEmpty}) {
      auto r = Registry::open(file, mode);
      EXPECT_FALSE(r.ok()) << what;
      EXPECT_NE(r.msg.find(file), std::string::npos) << r.msg;
      EXPECT_NE(r.msg.find(what), std::string::npos) << r.msg;
    }
    EXPECT_EQ(read_file(file), before);
  }
  TempDir dir_;
};

TEST_F(RegistryRefusal, TextFilesAndForeignOrCorruptDatabases) {
  std::string text = dir_.file("notes.txt");
  write_file(text, std::string(3000, 'x') + "\nsome notes\n");
  expect_refused(text, "not an SQLite database");
  std::string tiny = dir_.file("tiny");
  write_file(tiny, "hi");
  expect_refused(tiny, "not a");

  // Another program's database, and an SQLite file with no tables at all.
  std::string foreign = dir_.file("other.db");
  std::string bare = dir_.file("bare.db");
  for (auto [f, sql] : {std::pair{foreign, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"},
                        std::pair{bare, "PRAGMA user_version = 7;"}}) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(f.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    expect_refused(f, "not a qorda store");
  }

  // A store of ours with damaged pages, and one from a newer schema.
  std::string broken = dir_.file("broken.db");
  {
    auto r = open_ok(broken);
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 200; ++i) {
      std::string k = "Users\\user" + std::to_string(i);
      ASSERT_TRUE(r->create_key(k));
      ASSERT_TRUE(r->set_sz(k, "szcomment", std::string(100, 'c')));
    }
  }
  std::string bytes = read_file(broken);
  ASSERT_GT(bytes.size(), 3 * 4096u);
  for (size_t i = 4096 + 100; i < 3 * 4096; i += 7) bytes[i] = static_cast<char>(0xA5);
  write_file(broken, bytes);
  expect_refused(broken, "corrupt");

  std::string newer = dir_.file("newer.db");
  { ASSERT_NE(open_ok(newer), nullptr); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 9", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  expect_refused(newer, "newer");

  // A directory is not a store either.
  auto r = Registry::open(dir_.path());
  EXPECT_FALSE(r.ok());
}

TEST_F(RegistryRefusal, EmptyFileIsALostStoreReplacedOnlyOnRequest) {
  // A truncated store is not a new one: taking it for one would serve the defaults.
  std::string empty = dir_.file("empty.db");
  write_file(empty, "");
  for (auto mode : {Registry::Mode::ReadOnly, Registry::Mode::ReadWrite}) {
    auto r = Registry::open(empty, mode);
    EXPECT_EQ(r.err, ENODATA);
    EXPECT_NE(r.msg.find("empty"), std::string::npos) << r.msg;
    EXPECT_EQ(read_file(empty), "");
  }
  auto r = open_ok(empty, Registry::Mode::ReplaceEmpty);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->create_key("A"));
  r.reset();
  auto again = open_ok(empty, Registry::Mode::ReadOnly);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->key_exists("a"));
}

TEST_F(RegistryRefusal, NewStoreIsPrivateToItsOwner) {
  std::string file = dir_.file("new.db");
  mode_t old = ::umask(022);
  auto r = open_ok(file);
  ::umask(old);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(r->create_key("K"));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryRefusal, ReadOnlyFileIsRefusedForWriting) {
  std::string file = dir_.file("qorda.db");
  {
    auto r = open_ok(file);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(r->create_key("K"));
  }
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  std::string before = read_file(file);
  // Root may write any file, so the opening is tried as an unprivileged user when we are root.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    auto r = Registry::open(file, Registry::Mode::ReadWrite);
    if (r.ok()) ::_exit(1);
    ::_exit(r.msg.find("read-only") != std::string::npos ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened for writing, 2: unclear message, 3: setuid";
  EXPECT_EQ(read_file(file), before);
}

// Processes that find no store at the same moment all end up in one new store: a store being
// created is never seen empty (which would now be refused as a lost one).
TEST(RegistryConcurrency, StoreCreatedByManyAtOnceIsNeverSeenEmpty) {
  TempDir dir;
  const std::string file = dir.file("qorda.db");
  constexpr int kProcs = 8;
  std::vector<pid_t> pids;
  for (int who = 0; who < kProcs; ++who) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto r = Registry::open(file);
      if (!r) ::_exit(r.err == ENODATA ? 2 : 1);
      Status s;
      for (int attempt = 0; attempt < 100; ++attempt) {
        s = (*r)->create_key("K" + std::to_string(who));
        if (s.err != EBUSY) break;
      }
      ::_exit(s ? 0 : 3);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: refused, 2: seen empty, 3: write failed";
  }
  auto r = open_ok(file, Registry::Mode::ReadOnly);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->subkeys("")->size(), size_t{kProcs});
  // Nothing of the building is left beside the store.
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find(".new-"), std::string::npos) << e.path();
  }
}

// Two processes writing the same store at once: every write that reports success is there,
// and read-modify-write inside a transaction never loses an increment.
TEST(RegistryConcurrency, TwoProcessesLoseNothing) {
  TempDir dir;
  std::string file = dir.file("qorda.db");
  {
    auto r = open_ok(file);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(r->create_key("Stats"));
    ASSERT_TRUE(r->set_dword("Stats", "count", 0));
  }
  constexpr int kRounds = 150;
  auto child = [&](int who) -> int {
    auto opened = Registry::open(file);
    if (!opened) return 10;
    Registry& r = **opened;
    for (int i = 0; i < kRounds; ++i) {
      bool done = false;
      for (int attempt = 0; attempt < 100 && !done; ++attempt) {
        auto tx = r.begin();
        if (!tx) {
          if (tx.err == EBUSY) continue;
          return 11;
        }
        auto c = r.query("Stats", "count");
        if (!c) return 12;
        if (!r.set_dword("Stats", "count", c->dword + 1)) return 13;
        if (!r.set_sz("Stats", "p" + std::to_string(who) + "_" + std::to_string(i), "x")) return 14;
        if (!(*tx)->commit()) return 15;
        done = true;
      }
      if (!done) return 16;
      std::string key = "P" + std::to_string(who) + "\\k" + std::to_string(i);
      Status s;
      for (int attempt = 0; attempt < 100; ++attempt) {
        s = r.create_key(key);
        if (s.err != EBUSY) break;
      }
      if (!s) return 17;
    }
    return 0;
  };
  std::vector<pid_t> pids;
  for (int who = 0; who < 2; ++who) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(child(who));
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  auto r = open_ok(file);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->query("Stats", "count")->dword, 2u * kRounds);
  EXPECT_EQ(*r->count_values("Stats"), 1u + 2 * kRounds);
  EXPECT_EQ(r->subkeys("P0")->size(), size_t{kRounds});
  EXPECT_EQ(r->subkeys("P1")->size(), size_t{kRounds});
}

}  // namespace
