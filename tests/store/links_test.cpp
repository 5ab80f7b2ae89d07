#include "store/links.h"

#include <gtest/gtest.h>

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
  for (const char* loc : {"/c:/9lives", "/c:/", "c:", "/c:x", "/1:/abc", "/c:/a*b", "/c:/a?",
                          "/c:/\"x\"", "/c:/a<b", "/c:/a>b", "/c:/a!", "", "/c:/a//b", "/c:/a/../b",
                          "/c:/a/./b"}) {
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
