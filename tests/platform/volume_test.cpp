#include "platform/volume.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"

namespace fs = std::filesystem;
using namespace qorda::platform;

namespace {

// Two drives in a fresh temporary directory: c: and d:, plus a directory outside both.
class Volume : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-vol-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    fs::create_directories(base_ + "/c/ftp/Pub");
    fs::create_directories(base_ + "/d");
    fs::create_directories(base_ + "/outside");
    write(base_ + "/outside/secret", "secret");
    drive_table().clear();
    ASSERT_TRUE(drive_table().set('c', base_ + "/c/"));
    ASSERT_TRUE(drive_table().set('D', base_ + "/d"));
  }
  void TearDown() override {
    drive_table().clear();
    std::error_code ec;
    fs::permissions(base_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(base_, ec);
  }
  static void write(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string base_;
};

std::vector<std::string> names(const std::vector<DirEntry>& v) {
  std::vector<std::string> out;
  for (const auto& e : v) out.push_back(e.name);
  return out;
}

}  // namespace

TEST(DriveTable, StartupDriveAndValidation) {
  DriveTable t;
  EXPECT_EQ(t.startup_drive(), 0);
  EXPECT_FALSE(t.set('1', "/x"));
  EXPECT_FALSE(t.set('e', "relative/dir"));
  EXPECT_FALSE(t.set('e', ""));
  ASSERT_TRUE(t.set('E', "/srv/e///"));
  ASSERT_TRUE(t.set('z', "/srv/z"));
  EXPECT_EQ(t.startup_drive(), 'e');
  ASSERT_TRUE(t.root('e'));
  EXPECT_EQ(*t.root('E'), "/srv/e");
  ASSERT_TRUE(t.set('c', "/"));
  EXPECT_EQ(*t.root('c'), "/");
  EXPECT_EQ(t.startup_drive(), 'c');
  t.remove('c');
  EXPECT_EQ(t.startup_drive(), 'e');
  ASSERT_EQ(t.list().size(), 2u);
  EXPECT_EQ(t.list()[1].letter, 'z');
}

TEST(Wildcard, ClassicRules) {
  EXPECT_TRUE(wildcard_match("*", "abc"));
  EXPECT_TRUE(wildcard_match("*.*", "noext"));
  EXPECT_TRUE(wildcard_match("*.*", "."));
  EXPECT_TRUE(wildcard_match("a*", "ABC"));
  EXPECT_TRUE(wildcard_match("?b", "xb"));
  EXPECT_FALSE(wildcard_match("?b", "b"));
  EXPECT_TRUE(wildcard_match("*.txt", "READ.TXT"));
  EXPECT_FALSE(wildcard_match("*.txt", "READ.TXT.gz"));
  EXPECT_TRUE(wildcard_match("a*b*c", "aXXbYYbZc"));
  EXPECT_FALSE(wildcard_match("a*b*c", "aXXbYYbZ"));
  EXPECT_TRUE(wildcard_match("a**", "a"));
  EXPECT_FALSE(wildcard_match("", "a"));
  EXPECT_TRUE(wildcard_match("", ""));
}

TEST(Wildcard, PathologicalPatternStaysLinear) {
  // Exponential backtracking would not finish this in any reasonable time; the linear matcher
  // does it in microseconds (no timing assertion: the test simply has to end).
  std::string name(20000, 'a');
  std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b";
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(wildcard_match(pattern, name));
  name += 'b';
  EXPECT_TRUE(wildcard_match(pattern, name));
}

TEST_F(Volume, ComponentsAreRefusedWhenTheyWouldFormAPath) {
  EXPECT_FALSE(valid_component(".."));
  EXPECT_FALSE(valid_component("."));
  EXPECT_FALSE(valid_component(""));
  EXPECT_FALSE(valid_component("a/b"));
  EXPECT_FALSE(valid_component(std::string("a\0b", 3)));
  EXPECT_TRUE(valid_component("..."));
  EXPECT_TRUE(valid_component("~"));
  for (const char* p : {"c:/..", "c:/ftp/../..", "/c:/../../outside/secret", "c:\\..\\..",
                        "c:/ftp//pub", "c:..", "1:/x", "c", "/"}) {
    EXPECT_FALSE(map_drive_path(p)) << p;
    EXPECT_FALSE(File::open_read(p)) << p;
  }
  EXPECT_FALSE(map_drive_path(std::string("c:/ftp\0/../../outside", 21)));
  EXPECT_EQ(map_drive_path("z:/x").err, ENOENT);
}

TEST_F(Volume, CaseInsensitiveLookupPrefersExactThenStableOrder) {
  fs::create_directories(base_ + "/c/ftp/pub");  // "Pub" and "pub" both exist
  fs::create_directories(base_ + "/c/ftp/PUB");
  Result<Lookup> l = lookup(base_ + "/c/ftp", "pub");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "pub");
  l = lookup(base_ + "/c/ftp", "pUb");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "PUB");  // the lowest in byte order among case variants
  EXPECT_TRUE(l->is_dir);
  fs::remove(base_ + "/c/ftp/PUB");
  fs::remove(base_ + "/c/ftp/pub");
  EXPECT_EQ(*map_drive_path("/C:/FTP/PUB/New.txt"), base_ + "/c/ftp/Pub/New.txt");
  EXPECT_EQ(*map_drive_path("c:\\"), base_ + "/c");
  // A missing directory on the way is an error, a missing last name is not.
  EXPECT_EQ(map_drive_path("c:/nothere/x").err, ENOENT);
  // Creating a name that exists in another case means that entry.
  EXPECT_EQ(make_directory("c:/ftp/PUB").err, EEXIST);
  write(base_ + "/c/ftp/Pub/Read.Me", "hello");
  Result<File> f = File::open_write("c:/ftp/pub/READ.ME");
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->truncate(0));
  EXPECT_EQ(f->write("x", 1).n, 1u);
  EXPECT_FALSE(fs::exists(base_ + "/c/ftp/Pub/READ.ME"));
  EXPECT_EQ(read(base_ + "/c/ftp/Pub/Read.Me"), "x");
}

TEST_F(Volume, ADriveWhoseDirectoryIsGoneOrAFileNamesNothing) {
  ASSERT_TRUE(drive_table().set('e', base_ + "/gone"));
  write(base_ + "/file", "x");
  ASSERT_TRUE(drive_table().set('f', base_ + "/file"));
  for (const char* p : {"e:/", "e:/new.txt", "e:/a/b", "f:/", "f:/new.txt", "f:/a/b"}) {
    Result<std::string> m = map_drive_path(p);
    EXPECT_EQ(m.err, ENOENT) << p;
    EXPECT_EQ(m.msg, "drive directory missing") << p;
    EXPECT_FALSE(File::open_write(p)) << p;
    EXPECT_FALSE(make_directory(p)) << p;
  }
  EXPECT_FALSE(fs::exists(base_ + "/gone"));
  EXPECT_EQ(read(base_ + "/file"), "x");
  EXPECT_EQ(lookup_names("e:/", {"x"}).err, ENOENT);
}

TEST_F(Volume, SeveralNamesLookedUpTogetherFollowTheSameRules) {
  fs::create_directories(base_ + "/c/ftp/sub");
  write(base_ + "/c/ftp/welcome.msg", "a");
  write(base_ + "/c/ftp/.MESSAGE", "b");
  write(base_ + "/c/ftp/.Message", "c");
  Result<std::vector<std::string>> r =
      lookup_names("/C:/FTP/", {"welcome.msg", ".message", "readme", "SUB", "a/b"});
  ASSERT_TRUE(r);
  // Exact name, then the lowest case variant, nothing, a directory as stored, an invalid name.
  EXPECT_EQ(*r, (std::vector<std::string>{"welcome.msg", ".MESSAGE", "", "sub", ""}));
  EXPECT_EQ(lookup_names("c:/nothere/", {"x"}).err, ENOENT);
  EXPECT_EQ(lookup_names("c:/ftp/welcome.msg", {"x"}).err, ENOENT);
}

TEST_F(Volume, LookupScansDirectoriesLargerThanOneReadAndKnowsWhatLinksLeadTo) {
  // Far more entries than one read of the directory returns: a match near the end is found.
  const std::string big = base_ + "/c/ftp/big";
  fs::create_directories(big);
  write(big + "/Aa-First.TXT", "first");
  const std::string long_name(100, 'n');
  for (int i = 0; i < 400; ++i) write(big + "/" + long_name + std::to_string(i), "");
  write(big + "/Zz-Last.TXT", "last");
  Result<Lookup> l = lookup(big, "zz-last.txt");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "Zz-Last.TXT");
  EXPECT_FALSE(l->is_dir);
  l = lookup(big, "AA-FIRST.txt");  // made first: read last from some file systems
  ASSERT_TRUE(l);
  EXPECT_EQ(l->name, "Aa-First.TXT");
  EXPECT_EQ(lookup(big, "zz-missing").err, ENOENT);
  EXPECT_EQ(lookup(base_ + "/c/nothere", "x").err, ENOENT);

  // A link into a drive counts as what it leads to; one leading outside every drive, or
  // nowhere, cannot be used.
  fs::create_directory_symlink(base_ + "/d", base_ + "/c/ftp/Dirlink");
  fs::create_directory_symlink(base_ + "/outside", base_ + "/c/ftp/outlink");
  fs::create_symlink(base_ + "/c/gone", base_ + "/c/ftp/dangling");
  l = lookup(base_ + "/c/ftp", "Dirlink");
  ASSERT_TRUE(l);
  EXPECT_TRUE(l->is_dir);
  EXPECT_TRUE(l->is_link);
  l = lookup(base_ + "/c/ftp", "DIRLINK");
  ASSERT_TRUE(l);
  EXPECT_TRUE(l->is_dir);
  EXPECT_EQ(lookup(base_ + "/c/ftp", "outlink").err, EXDEV);
  EXPECT_EQ(lookup(base_ + "/c/ftp", "OUTLINK").err, EXDEV);
  EXPECT_EQ(lookup(base_ + "/c/ftp", "dangling").err, EXDEV);

  // Opening for reading: any case finds the file; a missing name is ENOENT, a directory EISDIR.
  Result<File> f = File::open_read("c:/ftp/big/ZZ-LAST.txt");
  ASSERT_TRUE(f);
  char buf[8] = {};
  EXPECT_EQ(f->read(buf, sizeof buf).n, 4u);
  EXPECT_EQ(File::open_read("c:/ftp/big/zz-missing").err, ENOENT);
  EXPECT_EQ(File::open_read("c:/ftp/BIG").err, EISDIR);
  EXPECT_EQ(File::open_read("c:/ftp/dangling").err, EXDEV);
  EXPECT_EQ(File::open_write("c:/ftp/dangling").err, EXDEV);
  fs::create_symlink("big/Zz-Last.TXT", base_ + "/c/ftp/last");
  EXPECT_TRUE(File::open_read("c:/ftp/LAST"));
  // Searches leave out what cannot be used.
  Result<std::vector<DirEntry>> all = find_files("c:/ftp", "*");
  ASSERT_TRUE(all);
  std::vector<std::string> seen = names(*all);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "Dirlink", "Pub", "big", "last"}));
}

TEST_F(Volume, SearchReturnsDotsExceptAtTheRootAndReportsAttributes) {
  write(base_ + "/c/ftp/a.txt", "12345");
  write(base_ + "/c/ftp/B.TXT", "");
  write(base_ + "/c/ftp/noext", "");
  ::chmod((base_ + "/c/ftp/B.TXT").c_str(), 0444);
  Result<std::vector<DirEntry>> r = find_files("c:/ftp/", "*.*");
  ASSERT_TRUE(r);
  std::vector<std::string> n = names(*r);
  ASSERT_GE(n.size(), 2u);
  EXPECT_EQ(n[0], ".");
  EXPECT_EQ(n[1], "..");
  std::sort(n.begin() + 2, n.end());
  EXPECT_EQ(n, (std::vector<std::string>{".", "..", "B.TXT", "Pub", "a.txt", "noext"}));
  for (const DirEntry& e : *r) {
    if (e.name == "a.txt") {
      EXPECT_EQ(e.size, 5u);
      EXPECT_FALSE(e.is_dir);
      EXPECT_FALSE(e.read_only);
      EXPECT_GT(e.mtime, 0);
      EXPECT_GE(local_mtime(e).year, 2020);
    }
    if (e.name == "B.TXT") {
      EXPECT_TRUE(e.read_only);
    }
    if (e.name == "Pub" || e.name == "..") {
      EXPECT_TRUE(e.is_dir);
      EXPECT_EQ(e.size, 0u);
    }
  }
  r = find_files("c:/ftp", "*.TXT");
  ASSERT_TRUE(r);
  n = names(*r);
  std::sort(n.begin(), n.end());
  EXPECT_EQ(n, (std::vector<std::string>{"B.TXT", "a.txt"}));
  r = find_files("C:/", "*");
  ASSERT_TRUE(r);
  EXPECT_EQ(names(*r), std::vector<std::string>{"ftp"});  // no dots at a drive root
  EXPECT_FALSE(find_files("c:/ftp/a.txt", "*"));
  EXPECT_FALSE(find_files("c:/ftp/../..", "*"));

  ASSERT_TRUE(set_read_only("c:/ftp/a.txt"));
  EXPECT_TRUE(stat_entry("c:/ftp/A.TXT")->read_only);
  ASSERT_TRUE(clear_attributes("c:/ftp/a.txt"));
  ASSERT_TRUE(clear_attributes("c:/ftp/b.txt"));
  EXPECT_FALSE(stat_entry("c:/ftp/a.txt")->read_only);
  EXPECT_FALSE(stat_entry("c:/ftp/B.txt")->read_only);
}

TEST_F(Volume, DirectoriesAndDeletion) {
  ASSERT_TRUE(make_directory("c:/ftp/new"));
  EXPECT_TRUE(fs::is_directory(base_ + "/c/ftp/new"));
  EXPECT_EQ(make_directory("c:/ftp/missing/new").err, ENOENT);
  EXPECT_FALSE(remove_directory("c:/"));
  EXPECT_TRUE(fs::is_directory(base_ + "/c"));
  write(base_ + "/c/ftp/new/f", "");
  EXPECT_FALSE(remove_directory("c:/ftp/NEW"));  // not empty
  EXPECT_EQ(delete_file("c:/ftp/new").err, EISDIR);
  ASSERT_TRUE(delete_file("c:/ftp/new/F"));
  ASSERT_TRUE(remove_directory("c:/ftp/NEW"));
  EXPECT_FALSE(fs::exists(base_ + "/c/ftp/new"));
  EXPECT_EQ(delete_file("c:/ftp/none").err, ENOENT);
}

TEST_F(Volume, FileReadWriteSeekTruncateWith64BitOffsets) {
  Result<File> w = File::open_write("c:/ftp/big.bin");
  ASSERT_TRUE(w);
  const uint64_t far = (uint64_t{1} << 32) + 10;  // beyond 32 bits, sparse
  ASSERT_TRUE(w->seek(far));
  ASSERT_EQ(w->write("tail", 4).n, 4u);
  EXPECT_EQ(*w->size(), far + 4);
  Result<File> r = File::open_read("c:/ftp/BIG.BIN");
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->seek(far + 1));
  char buf[8] = {};
  EXPECT_EQ(r->read(buf, sizeof buf).n, 3u);
  EXPECT_EQ(std::string(buf, 3), "ail");
  ASSERT_TRUE(w->truncate(2));
  EXPECT_EQ(*r->size(), 2u);
  EXPECT_EQ(File::open_read("c:/ftp").err, EISDIR);
  EXPECT_EQ(File::open_read("c:/ftp/none").err, ENOENT);
  // A second reader of an open file keeps its own offset.
  Result<File> again = File::reopen_read(w->fd());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->read(buf, sizeof buf).n, 2u);
}

TEST_F(Volume, UniqueNamesAreFreshAndExclusive) {
  std::vector<std::string> made;
  for (int i = 0; i < 20; ++i) {
    Result<std::string> n = create_unique("c:/ftp/pub/");
    ASSERT_TRUE(n);
    ASSERT_GE(n->size(), 8u);
    EXPECT_EQ(n->substr(0, 3), "FTP");
    EXPECT_EQ(n->substr(n->size() - 4), ".TMP");
    EXPECT_LE(n->size(), 11u);
    EXPECT_TRUE(std::all_of(n->begin() + 3, n->end() - 4, ::isxdigit));
    EXPECT_EQ(fs::file_size(base_ + "/c/ftp/Pub/" + *n), 0u);
    made.push_back(*n);
  }
  std::sort(made.begin(), made.end());
  EXPECT_EQ(std::unique(made.begin(), made.end()), made.end());
  EXPECT_FALSE(create_unique("c:/ftp/none/"));
}

TEST_F(Volume, MoveWithinAndAcrossDrivesNeverOverwrites) {
  write(base_ + "/c/ftp/a", "alpha");
  write(base_ + "/c/ftp/b", "beta");
  EXPECT_EQ(move_file("c:/ftp/a", "c:/ftp/B").err, EEXIST);
  EXPECT_EQ(read(base_ + "/c/ftp/b"), "beta");
  ASSERT_TRUE(move_file("c:/ftp/A", "d:/moved"));
  EXPECT_EQ(read(base_ + "/d/moved"), "alpha");
  EXPECT_FALSE(fs::exists(base_ + "/c/ftp/a"));
  // Changing only the case of a name is a rename of the same entry.
  ASSERT_TRUE(move_file("d:/moved", "d:/MOVED"));
  EXPECT_EQ(read(base_ + "/d/MOVED"), "alpha");
  EXPECT_FALSE(move_file("c:/ftp/b", "c:/../outside/b"));
  EXPECT_FALSE(fs::exists(base_ + "/outside/b"));
}

TEST_F(Volume, CopyAcrossFileSystemsLeavesNoHalfTarget) {
  // /dev/shm is a tmpfs on Linux, so rename(2) from /tmp into it gives EXDEV and the copy path
  // runs; skip where the two happen to share a file system.
  char tmpl[] = "/dev/shm/qorda-vol-XXXXXX";
  if (!::mkdtemp(tmpl)) GTEST_SKIP() << "no /dev/shm";
  std::string other = tmpl;
  struct stat a {
  }, b{};
  ::stat(base_.c_str(), &a);
  ::stat(other.c_str(), &b);
  if (a.st_dev == b.st_dev) {
    fs::remove_all(other);
    GTEST_SKIP() << "same file system";
  }
  ASSERT_TRUE(drive_table().set('e', other));
  write(base_ + "/c/ftp/data", std::string(200000, 'q'));
  ASSERT_TRUE(move_file("c:/ftp/data", "e:/data"));
  EXPECT_EQ(read(other + "/data"), std::string(200000, 'q'));
  EXPECT_FALSE(fs::exists(base_ + "/c/ftp/data"));
  // A copy that fails half-way (reading /proc/self/mem at offset 0 fails with EIO, whatever the
  // privileges) leaves the source where it was and nothing under the target's directory.
  fs::create_symlink("/proc/self/mem", base_ + "/c/ftp/mem");
  fs::create_directory(other + "/sub");
  EXPECT_FALSE(move_file("c:/ftp/mem", "e:/sub/mem"));
  EXPECT_TRUE(fs::is_symlink(base_ + "/c/ftp/mem"));
  EXPECT_TRUE(fs::is_empty(other + "/sub"));
  fs::remove_all(other);
}

TEST_F(Volume, AdministratorSymlinkIsFollowedButDotDotStaysLexical) {
  write(base_ + "/d/secret", "on d");
  fs::create_directory_symlink(base_ + "/d", base_ + "/c/ftp/other");
  Result<std::vector<DirEntry>> r = find_files("c:/ftp/other", "secret");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  // ".." is never given to the file system, so the link's target directory's parent (the temp
  // base, holding c/ d/ outside/) cannot be reached through it.
  EXPECT_FALSE(find_files("c:/ftp/other/..", "*"));
  EXPECT_FALSE(find_files("c:/ftp/other/../..", "*"));
}

TEST_F(Volume, SettingPathsAndFreeSpace) {
  EXPECT_EQ(*map_setting_path("c:\\qorda.log"), base_ + "/c/qorda.log");
  EXPECT_EQ(*map_setting_path("/var/log/qorda.log"), "/var/log/qorda.log");
  EXPECT_FALSE(map_setting_path("c:\\..\\qorda.log"));
  EXPECT_FALSE(map_setting_path("q:\\qorda.log"));
  Result<uint64_t> f = free_space('C');
  ASSERT_TRUE(f);
  EXPECT_GT(*f, 0u);
  EXPECT_FALSE(free_space('q'));
}
