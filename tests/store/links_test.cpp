#include "store/links.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/registry.h"
#include "platform/volume.h"
#include "store/drives.h"
#include "store/keys.h"

using namespace qorda::store;

namespace {

int check(std::string loc, std::string target, LinkRecord* out = nullptr) {
  LinkRecord r{std::move(loc), "", std::move(target)};
  int v = validate_link(r);
  if (out) *out = r;
  return v;
}

}  // namespace

TEST(LinkValidation, NormalisesLocationAndTarget) {
  LinkRecord r;
  EXPECT_EQ(check("c:\\ftp\\new", "d:\\", &r), kLinkValid);
  EXPECT_EQ(r.location, "/c:/ftp/new");
  EXPECT_EQ(r.target, "/d:/");
  EXPECT_EQ(check("/c:/ftp/examples/drive_d/", "/d:/", &r), kLinkValid);
  EXPECT_EQ(r.location, "/c:/ftp/examples/drive_d");
  std::string dir, name;
  ASSERT_TRUE(split_location(r.location, &dir, &name));
  EXPECT_EQ(dir, "/c:/ftp/examples/");
  EXPECT_EQ(name, "drive_d");
  EXPECT_FALSE(split_location("/c:/ftp/", &dir, &name));
  EXPECT_FALSE(split_location("noslash", &dir, &name));
}

TEST(LinkValidation, RefusesBadLocations) {
  for (const char* loc :
       {"/c:/9lives", "/c:/", "c:", "/c:x", "/1:/abc", "/c:/a*b", "/c:/a?", "/c:/\"x\"", "/c:/a<b",
        "/c:/a>b", "/c:/a!", "", "/c:/a//b", "/c:/a/../b", "/c:/a/./b"}) {
    EXPECT_EQ(check(loc, "/d:/"), kLinkBadLocation) << loc;
  }
}

TEST(LinkValidation, TargetForms) {
  LinkRecord r;
  EXPECT_EQ(check("/c:/a", "~", &r), kLinkValid);
  EXPECT_EQ(r.target, "~");
  EXPECT_EQ(check("/c:/a", "~/pub", &r), kLinkValid);
  EXPECT_EQ(check("/c:/a", "~\\pub", &r), kLinkValid);
  EXPECT_EQ(r.target, "~/pub");
  EXPECT_EQ(check("/c:/a", "/d:/", &r), kLinkValid);
  EXPECT_EQ(check("/c:/a", "c:/ftp/pub", &r), kLinkValid);
  EXPECT_EQ(r.target, "/c:/ftp/pub");
  for (const char* t : {"~pub", "d:", "", "/", "/d:", "/dd:/", "pub", "/d:/a*", "/d:/a!b"}) {
    EXPECT_EQ(check("/c:/a", t), kLinkBadTarget) << t;
  }
  // The location is judged first.
  EXPECT_EQ(check("/c:/9", "~pub"), kLinkBadLocation);
}

namespace {

class LinkStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-links-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    auto r = qorda::platform::Registry::open(dir_ + "/qorda.db");
    ASSERT_TRUE(r) << r.msg;
    reg_ = std::move(*r);
  }
  void TearDown() override {
    reg_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
  std::unique_ptr<qorda::platform::Registry> reg_;
};

}  // namespace

TEST_F(LinkStore, StoredUnderTheDirectorySubkeyAndFoundIgnoringCase) {
  LinkRecord r{"c:\\ftp\\new", "", "/d:/"};
  ASSERT_EQ(validate_link(r), kLinkValid);
  ASSERT_TRUE(write_link(*reg_, r));
  EXPECT_EQ(r.name, "new");
  auto v = reg_->query(links_key_for("/c:/ftp/"), "new");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->sz, "/d:/");
  LinkRecord q{"/C:/FTP/NEW", "", ""};
  ASSERT_TRUE(read_link(*reg_, q));
  EXPECT_EQ(q.target, "/d:/");
  EXPECT_EQ(q.name, "NEW");
  LinkRecord missing{"/c:/ftp/old", "", ""};
  EXPECT_FALSE(read_link(*reg_, missing));
  LinkRecord unsplittable{"/c:/ftp/", "", ""};
  EXPECT_FALSE(read_link(*reg_, unsplittable));
  EXPECT_FALSE(write_link(*reg_, unsplittable));
  // An empty stored target is no link.
  ASSERT_TRUE(reg_->set_sz(links_key_for("/c:/ftp/"), "empty", ""));
  LinkRecord empty{"/c:/ftp/empty", "", ""};
  EXPECT_FALSE(read_link(*reg_, empty));
}

TEST_F(LinkStore, DeletingTheLastLinkRemovesTheSubkey) {
  LinkRecord a{"/c:/ftp/a", "", "~"};
  LinkRecord b{"/c:/ftp/b", "", "~/pub"};
  LinkRecord c{"/d:/x", "", "/c:/"};
  ASSERT_TRUE(write_link(*reg_, a));
  ASSERT_TRUE(write_link(*reg_, b));
  ASSERT_TRUE(write_link(*reg_, c));
  std::vector<LinkRecord> in = list_links(*reg_, "/C:/ftp/");
  ASSERT_EQ(in.size(), 2u);
  EXPECT_EQ(in[0].name, "a");
  EXPECT_EQ(in[1].location, "/C:/ftp/b");
  EXPECT_EQ(in[1].target, "~/pub");
  EXPECT_EQ(list_all_links(*reg_).size(), 3u);
  ASSERT_TRUE(delete_link(*reg_, LinkRecord{"/c:/FTP/A", "", ""}));
  EXPECT_TRUE(reg_->key_exists(links_key_for("/c:/ftp/")));
  ASSERT_TRUE(delete_link(*reg_, b));
  EXPECT_FALSE(reg_->key_exists(links_key_for("/c:/ftp/")));
  EXPECT_TRUE(reg_->key_exists(links_key_for("/d:/")));
  EXPECT_FALSE(delete_link(*reg_, b));
  EXPECT_TRUE(list_links(*reg_, "/c:/ftp/").empty());
}

TEST_F(LinkStore, DriveTableFromTheStore) {
  qorda::platform::DriveTable t;
  // No values: c: is <home>/c, created.
  ASSERT_TRUE(load_drive_table(*reg_, dir_, t));
  ASSERT_TRUE(t.root('c'));
  EXPECT_EQ(*t.root('c'), dir_ + "/c");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/c"));
  EXPECT_EQ(t.startup_drive(), 'c');
  ASSERT_TRUE(reg_->create_key(kDrivesKey));
  ASSERT_TRUE(reg_->set_sz(kDrivesKey, "E", "/srv/e/"));
  ASSERT_TRUE(reg_->set_sz(kDrivesKey, "f", "relative"));
  ASSERT_TRUE(reg_->set_sz(kDrivesKey, "gg", "/srv/g"));
  ASSERT_TRUE(reg_->set_dword(kDrivesKey, "h", 1));
  ASSERT_TRUE(load_drive_table(*reg_, dir_, t));
  EXPECT_FALSE(t.has('c'));  // the default applies only to an empty table
  ASSERT_EQ(t.list().size(), 1u);
  EXPECT_EQ(*t.root('e'), "/srv/e");
  EXPECT_EQ(t.startup_drive(), 'e');
}
