#include "vfs/resolver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "platform/volume.h"
#include "store/links.h"

namespace fs = std::filesystem;
using namespace qorda::vfs;
using qorda::platform::drive_table;

namespace {

struct Resolved {
  ResolveResult code;
  std::string dir;
  std::string name;
};

// A tree on two drives:
//   c/ftp/pub/file.txt  c/ftp/pub/Sub/  c/ftp/incoming/  c/ftp/README  c/secret/
//   d/data/x.bin        outside/secret.txt (no drive)
class Resolver : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-res-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    for (const char* d :
         {"/c/ftp/pub/Sub", "/c/ftp/incoming", "/c/secret", "/d/data", "/outside"}) {
      fs::create_directories(base_ + d);
    }
    for (const char* f :
         {"/c/ftp/pub/file.txt", "/c/ftp/README", "/d/data/x.bin", "/outside/secret.txt"}) {
      std::ofstream(base_ + f) << "x";
    }
    drive_table().clear();
    ASSERT_TRUE(drive_table().set('c', base_ + "/c"));
    ASSERT_TRUE(drive_table().set('d', base_ + "/d"));
  }
  void TearDown() override {
    drive_table().clear();
    fs::remove_all(base_);
  }

  // A restricted user rooted at /c:/ftp/, home /c:/ftp/pub/, no rights below incoming.
  FsState restricted() {
    FsState st;
    st.user_szfp =
        "[u] r--l----s /c:/ftp/\n"
        "[u] rw-l--hms /c:/ftp/pub/\n"
        "[u] -w------- /c:/ftp/incoming/\n";
    add_permission_roots(st);
    EXPECT_TRUE(choose_home(st, 'c'));
    return st;
  }
  FsState everything() {
    FsState st;
    st.user_szfp = "[u] rwdlcxhms /\n[u] rwdlcxhms /c:/ftp/pub/";
    add_permission_roots(st);
    EXPECT_TRUE(choose_home(st, 'c'));
    return st;
  }

  static Resolved run(const FsState& st, std::string_view cwd, std::string_view arg,
                      bool wild = false) {
    Resolved r;
    r.code =
        resolve_path(st, cwd, arg, &r.dir, &r.name,
                     {.allow_wildcards = wild, .follow_links = true, .check_permissions = true});
    return r;
  }

  std::string base_;
};

}  // namespace

TEST_F(Resolver, RootsHomeAndAllDrives) {
  FsState st = restricted();
  ASSERT_EQ(st.drive_roots.size(), 1u);
  EXPECT_EQ(st.drive_roots[0].letter, 'C');
  EXPECT_EQ(st.drive_roots[0].root, "/c:/ftp/");
  EXPECT_EQ(st.home_path, "/c:/ftp/pub/");
  EXPECT_EQ(st.current_dir.path, "/c:/ftp/pub/");
  EXPECT_TRUE(st.current_dir.m);
  EXPECT_FALSE(st.all_drives);

  FsState all = everything();
  EXPECT_TRUE(all.all_drives);
  EXPECT_TRUE(all.drive_roots.empty());
  EXPECT_EQ(all.home_path, "/c:/ftp/pub/");

  // An entry on a directory that does not exist grants rights but adds no root; one typed in
  // another case is taken with the names on disk.
  FsState odd;
  odd.user_szfp = "[u] rwdl----s /c:/gone/\n[u] rwdl----s /C:/FTP/PUB/SUB/\n[u] r--l----s /d:/data";
  add_permission_roots(odd);
  ASSERT_EQ(odd.drive_roots.size(), 2u);
  EXPECT_EQ(odd.drive_roots[0].root, "/d:/data/");  // newest first
  EXPECT_EQ(odd.drive_roots[1].root, "/c:/ftp/pub/Sub/");
  ASSERT_TRUE(choose_home(odd, 'c'));
  EXPECT_EQ(odd.home_path, "/c:/ftp/pub/Sub/");
  ASSERT_TRUE(choose_home(odd, 'q'));  // no root on the startup drive: the lowest letter
  EXPECT_EQ(odd.home_path, "/c:/ftp/pub/Sub/");
  odd.drive_roots.erase(odd.drive_roots.begin() + 1);
  odd.home_path = "/c:/gone/";
  ASSERT_TRUE(choose_home(odd, 'c'));
  EXPECT_EQ(odd.home_path, "/d:/data/");

  // Roots are only ever shortened to a common directory, never a partial name.
  FsState two;
  two.user_szfp = "[u] r--l----s /c:/ftp/pub/\n[u] r--l----s /c:/ftp/incoming/";
  add_permission_roots(two);
  ASSERT_EQ(two.drive_roots.size(), 1u);
  EXPECT_EQ(two.drive_roots[0].root, "/c:/ftp/");

  FsState none;
  none.user_szfp = "[u] rwdl----s /c:/gone/";
  add_permission_roots(none);
  EXPECT_FALSE(choose_home(none, 'c'));

  FsState fallback;
  fallback.template_szfp = "[t] r--l----s /";
  add_permission_roots(fallback);
  ASSERT_TRUE(choose_home(fallback, 'd'));
  EXPECT_EQ(fallback.home_path, "/d:/");
}

TEST_F(Resolver, UserHomeEntryWinsOverTheTemplates) {
  FsState st;
  st.template_szfp = "[t] r--l--h-s /c:/ftp/\r\n[t] r--l----s /d:/data/";
  st.user_szfp = "[u] r--l--h-- /c:/ftp/pub/\r";
  add_permission_roots(st);
  ASSERT_TRUE(choose_home(st, 'c'));
  EXPECT_EQ(st.home_path, "/c:/ftp/pub/");
  ASSERT_EQ(st.drive_roots.size(), 2u);
  EXPECT_EQ(st.root_for('c')->root, "/c:/ftp/");
  EXPECT_EQ(st.root_for('D')->root, "/d:/data/");
  // The user's own entry decides; the template's are not consulted once a user entry matched.
  EXPECT_EQ(run(st, "/c:/ftp/", "pub").code, ResolveResult::Ok);
  EXPECT_EQ(run(st, "/c:/ftp/", "pub/Sub").code, ResolveResult::Denied);
  Resolved r = run(st, "/c:/ftp/pub/", "..");  // no user entry matches: the template's applies
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/");
}

TEST_F(Resolver, RestrictedRootIsTheFloor) {
  FsState st = restricted();
  // CWD .. at the visible root stays there; so do deeper climbs of every spelling.
  for (const char* arg : {"..", "../..", "..\\..", "/..", "/c:/../..", "c:..", "~/../..",
                          "./../../.", "/../../../.."}) {
    Resolved r = run(st, "/c:/ftp/", arg);
    EXPECT_EQ(r.code, ResolveResult::Ok) << arg;
    EXPECT_EQ(r.dir, "/c:/ftp/") << arg;
  }
  Resolved r = run(st, "/c:/ftp/pub/Sub/", "../..");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/");
  // "/pub" under the single root lands in /c:/ftp/pub/ and shows as /pub/.
  r = run(st, "/c:/ftp/", "/pub");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  EXPECT_EQ(display_path(st, r.dir), "/pub/");
  // A drive without a root for this user leaves the position at the current drive's root.
  r = run(st, "/c:/ftp/pub/", "/z:/");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/");
  r = run(st, "/c:/ftp/pub/", "d:");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  // "c:pub" is the drive's root followed by pub.
  r = run(st, "/c:/ftp/pub/Sub/", "c:pub");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  // A directory with an entry but no inheritance to below, and one with no entry.
  fs::create_directories(base_ + "/c/ftp/incoming/deep");
  EXPECT_EQ(run(st, "/c:/ftp/", "incoming").code, ResolveResult::Ok);
  EXPECT_EQ(run(st, "/c:/ftp/", "incoming/deep").code, ResolveResult::Denied);
  EXPECT_EQ(run(st, "/c:/ftp/pub/", "../incoming/deep/..").code, ResolveResult::Denied);
  // ".." into a directory without rights is refused unless leaving the visible root.
  EXPECT_EQ(run(st, "/c:/ftp/incoming/deep/", "..").code, ResolveResult::Ok);
  EXPECT_EQ(run(st, "/c:/ftp/", "/c:/secret").code, ResolveResult::NotFound);  // /c:/ftp/c:/...
}

TEST_F(Resolver, AllDrivesUserClimbsOnlyToTheDriveRoot) {
  FsState st = everything();
  for (const char* arg : {"/c:/../..", "..\\..\\..\\..", "c:..", "/c:/ftp/../../../"}) {
    Resolved r = run(st, "/c:/ftp/", arg);
    EXPECT_EQ(r.code, ResolveResult::Ok) << arg;
    EXPECT_EQ(r.dir, "/c:/") << arg;
  }
  Resolved r = run(st, "/c:/", "/d:/data/X.BIN");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/d:/data/");
  EXPECT_EQ(r.name, "X.BIN");
  EXPECT_EQ(display_path(st, "/d:/data/"), "/d:/data/");
  r = run(st, "/d:/data/", "/secret");  // "/" starts at the current drive's root
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "secret");
  r = run(st, "/c:/", "C:/Secret/");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/secret/");
  EXPECT_EQ(run(st, "/c:/", "q:").code, ResolveResult::NotFound);  // not mapped
}

TEST_F(Resolver, SyntaxRules) {
  FsState st = everything();
  for (const char* arg : {"", "/c:/a:b", "c:d:", "a\"b", "a<b", "a>b", "a^b", "a|b",
                          "pub//file.txt", "*", "pub/*.txt"}) {
    EXPECT_EQ(run(st, "/c:/ftp/", arg).code, ResolveResult::NotFound) << arg;
  }
  // Wildcards only where allowed, and only in the last component.
  Resolved r = run(st, "/c:/ftp/", "pub/*.TXT", true);
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  EXPECT_EQ(r.name, "*.TXT");
  EXPECT_EQ(run(st, "/c:/ftp/", "p*/file.txt", true).code, ResolveResult::NotFound);
  EXPECT_EQ(run(st, "/c:/ftp/", "pub/*/", true).code, ResolveResult::NotFound);
  r = run(st, "/c:/ftp/", "pub/*.zip", true);
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "*.zip");
  // A trailing slash is dropped once; "/" alone is the root.
  r = run(st, "/c:/ftp/", "pub/");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.name, "");
  r = run(st, "/c:/ftp/pub/", "/");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/");
  EXPECT_EQ(run(st, "/c:/ftp/", "pub//").code, ResolveResult::NotFound);
  // A malformed current directory resolves nothing.
  EXPECT_EQ(run(st, "ftp/", "pub").code, ResolveResult::NotFound);
  EXPECT_EQ(
      resolve_path(st, "/c:/", "ftp", nullptr, nullptr,
                   {.allow_wildcards = false, .follow_links = true, .check_permissions = true},
                   kMaxLinkDepth),
      ResolveResult::BadLink);
}

TEST_F(Resolver, NamesOnDiskAndMissingComponents) {
  FsState st = everything();
  Resolved r = run(st, "/c:/", "FTP/PUB/sub");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/Sub/");  // the names as stored
  r = run(st, "/c:/ftp/", "PUB/FILE.TXT");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  EXPECT_EQ(r.name, "FILE.TXT");  // a file's name as typed
  r = run(st, "/c:/ftp/", "pub/new.txt");
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "new.txt");
  r = run(st, "/c:/ftp/", "nope/new.txt");
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "");
  r = run(st, "/c:/ftp/", "README/x");  // a file in the middle
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "");
}

TEST_F(Resolver, TildeIsHomeUnlessARealEntryHasThatName) {
  FsState st = restricted();
  Resolved r = run(st, "/c:/ftp/", "~");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  r = run(st, "/c:/ftp/", "~/Sub/");
  EXPECT_EQ(r.dir, "/c:/ftp/pub/Sub/");
  fs::create_directories(base_ + "/c/ftp/~");
  r = run(st, "/c:/ftp/", "~");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/~/");
  EXPECT_EQ(display_path(st, "~/x/"), "~/x/");
}

TEST_F(Resolver, DisplayForms) {
  FsState st = restricted();
  EXPECT_EQ(display_path(st, "/c:/ftp/"), "/");
  EXPECT_EQ(display_path(st, "/C:/FTP/pub/"), "/pub/");
  EXPECT_EQ(display_path(st, "/c:/"), kNoAccess);
  EXPECT_EQ(display_path(st, "/c:/ftpx/"), kNoAccess);
  EXPECT_EQ(display_path(st, "/d:/data/"), kNoAccess);
  EXPECT_EQ(display_path(st, ""), kNoAccess);
  st.drive_roots.insert(st.drive_roots.begin(), DriveRoot{'D', "/d:/"});
  EXPECT_EQ(display_path(st, "/c:/ftp/pub/"), "/c:/pub/");
  EXPECT_EQ(display_path(st, "/c:/ftp/"), "/c:/");
  EXPECT_EQ(display_path(st, "/d:/x/"), "/d:/x/");
  EXPECT_EQ(display_path(st, "/e:/x/"), kNoAccess);
  FsState all = everything();
  EXPECT_EQ(display_path(all, "/c:/ftp/pub/"), "/c:/ftp/pub/");
}

TEST_F(Resolver, AdministratorSymlinkIsFollowedButDotDotIsLexical) {
  FsState st = everything();
  fs::create_directory_symlink(base_ + "/d/data", base_ + "/c/ftp/other");
  Resolved r = run(st, "/c:/ftp/", "other/x.bin");
  EXPECT_EQ(r.code, ResolveResult::Ok);  // placed by the administrator, into a drive: followed
  EXPECT_EQ(r.dir, "/c:/ftp/other/");
  r = run(st, "/c:/ftp/other/", "../..");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/");  // never the link target's parent
  r = run(st, "/c:/ftp/other/", "../../../outside");
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  // Out of every drive: missing, as the directory or as the last name.
  fs::create_directory_symlink(base_ + "/outside", base_ + "/c/ftp/out");
  r = run(st, "/c:/ftp/", "out/secret.txt");
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "");
  r = run(st, "/c:/ftp/", "out");
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "");
}

TEST_F(Resolver, VeryLongArgumentsEndCleanly) {
  FsState st = everything();
  std::string up;
  for (int i = 0; i < 5000; ++i) up += "../";
  Resolved r = run(st, "/c:/ftp/pub/", up);
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/");
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "aaaaaaaa/";
  r = run(st, "/c:/", deep);
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  // Directories nested past the path bound are refused rather than followed.
  std::string chain = base_ + "/c";
  std::string arg;
  for (int i = 0; i < 30; ++i) {
    chain += "/" + std::string(200, 'n');
    arg += std::string(200, 'N') + "/";
    std::error_code ec;
    if (!fs::create_directory(chain, ec)) break;
  }
  r = run(st, "/c:/", arg);
  EXPECT_NE(r.code, ResolveResult::Ok);
}

namespace {

// Links kept in memory, keyed by location ignoring case, counting the lookups.
class MapLinks final : public LinkSource {
 public:
  void add(std::string loc, std::string target) { links_.push_back({lower(loc), target}); }
  bool read(qorda::store::LinkRecord& rec) const override {
    ++reads;
    for (const auto& [loc, target] : links_) {
      if (loc == lower(rec.location)) {
        rec.target = target;
        return true;
      }
    }
    return false;
  }
  mutable int reads = 0;

 private:
  static std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  std::vector<std::pair<std::string, std::string>> links_;
};

}  // namespace

TEST_F(Resolver, LinksAreFollowedFromTheirDirectory) {
  MapLinks links;
  links.add("/c:/ftp/drive_d", "/d:/");
  links.add("/c:/ftp/pub/up", "..");  // relative: from the link's directory
  links.add("/c:/ftp/home", "~/Sub");
  links.add("/c:/ftp/f", "/c:/ftp/pub/file.txt");
  links.add("/c:/ftp/broken", "/c:/nothing/here");
  links.add("/c:/ftp/a", "/c:/ftp/b");
  links.add("/c:/ftp/b", "/c:/ftp/b");  // a link to itself
  links.add("/c:/ftp/deep", "/c:/secret/");
  FsState st = restricted();
  st.links = &links;
  st.user_szfp += "[u] r--l----s /d:/\n";

  Resolved r = run(st, "/c:/ftp/", "DRIVE_D/data");  // location compared ignoring case
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/d:/data/");
  EXPECT_EQ(display_path(st, r.dir), kNoAccess);  // reachable, but outside the visible root
  r = run(st, "/c:/ftp/pub/", "up/pub/Sub");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/Sub/");
  r = run(st, "/c:/ftp/", "home");
  EXPECT_EQ(r.dir, "/c:/ftp/pub/Sub/");
  r = run(st, "/c:/ftp/", "f");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/c:/ftp/pub/");
  EXPECT_EQ(r.name, "file.txt");
  r = run(st, "/c:/ftp/", "f/x");  // a link to a file in the middle of a path
  EXPECT_EQ(r.code, ResolveResult::NotFound);
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(run(st, "/c:/ftp/", "broken").code, ResolveResult::NotFound);
  EXPECT_EQ(run(st, "/c:/ftp/", "deep").code, ResolveResult::Denied);  // no rights on the target

  links.reads = 0;
  EXPECT_EQ(run(st, "/c:/ftp/", "a").code, ResolveResult::BadLink);
  EXPECT_EQ(links.reads, kMaxLinkDepth);  // a, then b followed until 26 levels deep
  std::string dir, name;
  EXPECT_EQ(
      resolve_path(st, "/c:/ftp/", "drive_d", &dir, &name,
                   {.allow_wildcards = false, .follow_links = false, .check_permissions = true}),
      ResolveResult::BadLink);
  EXPECT_EQ(name, "/d:/");
  // A real entry hides a link of the same name.
  fs::create_directories(base_ + "/c/ftp/drive_d");
  r = run(st, "/c:/ftp/", "drive_d");
  EXPECT_EQ(r.dir, "/c:/ftp/drive_d/");
}

TEST_F(Resolver, LinksFromTheStoreTakeEffectAtTheNextLookup) {
  auto reg = qorda::platform::Registry::open(base_ + "/qorda.db");
  ASSERT_TRUE(reg) << reg.msg;
  RegistryLinks links(**reg);
  FsState st = everything();
  st.links = &links;
  EXPECT_EQ(run(st, "/c:/ftp/", "todata").code, ResolveResult::NotFound);
  qorda::store::LinkRecord rec{"/c:/ftp/ToData", "", "/d:/data/"};
  ASSERT_EQ(qorda::store::validate_link(rec), qorda::store::kLinkValid);
  ASSERT_TRUE(qorda::store::write_link(**reg, rec));
  Resolved r = run(st, "/c:/FTP/", "todata/x.bin");
  EXPECT_EQ(r.code, ResolveResult::Ok);
  EXPECT_EQ(r.dir, "/d:/data/");
  EXPECT_EQ(r.name, "x.bin");
  ASSERT_TRUE(qorda::store::delete_link(**reg, rec));
  EXPECT_EQ(run(st, "/c:/ftp/", "todata").code, ResolveResult::NotFound);
}

TEST_F(Resolver, CaseTwinsKeepTheirOwnRightsAndLinks) {
  // Twins of pub/ and incoming/; Docs/ has none; UP/ and Up/ are twins neither spelled as their
  // entry is, which then names the case-insensitive pick (UP/) alone.
  for (const char* d : {"/c/ftp/PUB", "/c/ftp/INCOMING", "/c/ftp/Docs", "/c/ftp/UP", "/c/ftp/Up"}) {
    fs::create_directories(base_ + d);
  }
  auto reg = qorda::platform::Registry::open(base_ + "/qorda.db");
  ASSERT_TRUE(reg) << reg.msg;
  qorda::store::LinkRecord l1{"/c:/ftp/pub/lnk", "", "/c:/ftp/Docs/"};
  qorda::store::LinkRecord l2{"/C:/FTP/DOCS/back", "", "/c:/ftp/pub/"};
  ASSERT_TRUE(qorda::store::write_link(**reg, l1) && qorda::store::write_link(**reg, l2));
  RegistryLinks links(**reg);
  FsState st;
  st.user_szfp =
      "[u] ---l----- /c:/ftp/\n[u] r--l----s /c:/ftp/pub/\n[u] ---l----s /c:/ftp/PUB/\n"
      "[u] -w------s /c:/ftp/incoming/\n[u] r--l----s /C:/FTP/DOCS/\n[u] rw------s /c:/ftp/up/\n";
  st.links = &links;
  const char* const cases[][4] = {
      // argument, result code, directory, its r and w
      {"pub", "0", "/c:/ftp/pub/", "r-"},
      {"PUB", "0", "/c:/ftp/PUB/", "--"},
      {"incoming", "0", "/c:/ftp/incoming/", "-w"},
      {"INCOMING", "1", "/c:/ftp/INCOMING/", ""},
      {"docs", "0", "/c:/ftp/Docs/", "r-"},
      {"UP", "0", "/c:/ftp/UP/", "rw"},
      {"Up", "1", "/c:/ftp/Up/", ""},
      {"pub/lnk", "0", "/c:/ftp/Docs/", "r-"},
      {"PUB/lnk", "2", "/c:/ftp/PUB/", "--"},
      {"Docs/back", "0", "/c:/ftp/pub/", "r-"},
  };
  for (const auto& k : cases) {
    Resolved r = run(st, "/c:/ftp/", k[0]);
    PermissionRecord p;
    std::string rw;
    if (st.permission(r.dir, &p)) rw = std::string(1, p.r ? 'r' : '-') + (p.w ? 'w' : '-');
    EXPECT_EQ(std::to_string(static_cast<int>(r.code)) + " " + r.dir + " " + rw,
              std::string(k[1]) + " " + k[2] + " " + k[3])
        << k[0];
  }
  EXPECT_TRUE(links.list("/c:/ftp/PUB/").empty());
  EXPECT_EQ(links.list("/c:/ftp/pub/").size(), 1u);
  // A directory renamed to another case is still the one its entry and its links name.
  fs::rename(base_ + "/c/ftp/Docs", base_ + "/c/ftp/docs");
  EXPECT_EQ(run(st, "/c:/ftp/", "DOCS/back").dir, "/c:/ftp/pub/");
  PermissionRecord p;
  EXPECT_TRUE(st.permission("/c:/ftp/docs/", &p) && p.r);
}
