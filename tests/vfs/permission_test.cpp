#include "vfs/permission.h"

#include <gtest/gtest.h>

#include <string>

namespace qorda::vfs {
namespace {

TEST(PermissionText, NineFlagLineRoundTrips) {
  PermissionRecord rec = parse_permission("[u] rw-l---ms /c:/ftp/pub/");
  EXPECT_EQ(rec.origin, 'u');
  EXPECT_EQ(rec.path, "/c:/ftp/pub/");
  EXPECT_TRUE(rec.r && rec.w && rec.l && rec.m && rec.s);
  EXPECT_FALSE(rec.d || rec.c || rec.x || rec.h);
  EXPECT_EQ(format_permission(rec), "[u] rw-l---ms /c:/ftp/pub/");

  PermissionRecord all = parse_permission("[t] rwdlcxhms /");
  EXPECT_TRUE(all.r && all.w && all.d && all.l && all.c && all.x && all.h && all.m && all.s);
  EXPECT_EQ(all.path, "/");
  EXPECT_EQ(format_permission(all), "[t] rwdlcxhms /");
}

TEST(PermissionText, EachFlagReadsFromItsOwnColumnOnly) {
  // The right letter in the wrong column does not grant anything; a wrong letter clears.
  PermissionRecord rec = parse_permission("[u] wrldxcmsh /c:/");
  EXPECT_FALSE(rec.r || rec.w || rec.d || rec.l || rec.c || rec.x || rec.h || rec.m || rec.s);
  PermissionRecord upper = parse_permission("[u] RWDLCXHMS /c:/");
  EXPECT_FALSE(upper.r || upper.s);
}

TEST(PermissionText, EightFlagLineGrantsInheritance) {
  PermissionRecord rec = parse_permission("[u] rwdlcxhm /c:/");
  EXPECT_TRUE(rec.s);
  EXPECT_TRUE(rec.r && rec.m);
  EXPECT_EQ(rec.path, "/c:/");
  EXPECT_EQ(format_permission(rec), "[u] rwdlcxhms /c:/");
}

TEST(PermissionText, ShortAndOddLinesNeverReadPastTheEnd) {
  for (std::string line : {"", "[", "[u", "[u]", "[u] r", "[u] rwdlcxhm", "[u] rwdlcxhms",
                           "[u] rwdlcxhm ", "[u] rwdlcxhms "}) {
    PermissionRecord rec = parse_permission(line);
    EXPECT_TRUE(rec.path.empty()) << line;
  }
  EXPECT_TRUE(parse_permission("[u] rwdlcxhm ").s);  // eight-flag form, empty path
  EXPECT_FALSE(parse_permission("[u] rwdlcxhm").s);  // column 12 absent: not the eight-flag form
  EXPECT_TRUE(parse_permission("[u] r").r);
  // An entry with an empty path never matches anything.
  EXPECT_FALSE(
      find_permission("[u] rwdlcxhms \n[u] rwdlcxhm \n[u]", std::nullopt, "/c:/", nullptr));
}

TEST(FindPermission, LongestMatchWinsAndPathIsTheQueriedOne) {
  std::string user = "[u] r--l----s /c:/\n[u] rw-l----s /c:/ftp/\n[u] rwdl----s /c:/ftp/pub/in/\n";
  PermissionRecord out;
  ASSERT_TRUE(find_permission(user, std::nullopt, "/c:/ftp/pub/", &out));
  EXPECT_TRUE(out.w);
  EXPECT_FALSE(out.d);
  EXPECT_EQ(out.path, "/c:/ftp/pub/");
  ASSERT_TRUE(find_permission(user, std::nullopt, "/C:/FTP/PUB/IN/x/", &out));  // case ignored
  EXPECT_TRUE(out.d);
  EXPECT_EQ(out.path, "/C:/FTP/PUB/IN/x/");
  ASSERT_TRUE(find_permission(user, std::nullopt, "/c:/other/", &out));
  EXPECT_FALSE(out.w);
  EXPECT_FALSE(find_permission(user, std::nullopt, "/d:/", &out));
}

TEST(FindPermission, EqualLengthKeepsTheEarlierLine) {
  std::string user = "[u] r-------s /c:/pub/\n[u] rwdlcxhms /C:/PUB/\n";
  PermissionRecord out;
  ASSERT_TRUE(find_permission(user, std::nullopt, "/c:/pub/", &out));
  EXPECT_TRUE(out.r);
  EXPECT_FALSE(out.w);
}

TEST(FindPermission, UserLineBeatsLongerTemplateLine) {
  // The user entry is the best user match; it lacks inheritance and is not the directory, and
  // the template is never consulted.
  PermissionRecord out;
  EXPECT_FALSE(find_permission("[u] r--l----- /c:/\n", std::string_view("[t] rwdlcxhms /c:/ftp/\n"),
                               "/c:/ftp/pub/", &out));
  // Template lines decide when no user line matches.
  ASSERT_TRUE(find_permission("[u] r--l----- /d:/\n", std::string_view("[t] rwdlcxhms /c:/ftp/\n"),
                              "/c:/ftp/pub/", &out));
  EXPECT_EQ(out.origin, 't');
  EXPECT_TRUE(out.x);
  // Without a template (nullopt) template text is not there at all.
  EXPECT_FALSE(find_permission("[u] r--l----- /d:/\n", std::nullopt, "/c:/ftp/pub/", &out));
}

TEST(FindPermission, NoFallBackWhenClosestEntryLacksInheritance) {
  std::string user = "[u] r--l----s /c:/pub/\n[u] rw-l----- /c:/pub/in/\n";
  PermissionRecord out;
  ASSERT_TRUE(find_permission(user, std::nullopt, "/c:/pub/in/", &out));
  EXPECT_TRUE(out.w);
  EXPECT_FALSE(find_permission(user, std::nullopt, "/c:/pub/in/deep/", &out));
  // A file inside the directory has the directory's permission; a path without "/" gets none.
  EXPECT_TRUE(find_permission(user, std::nullopt, "/c:/pub/in/file.txt", &out));
  EXPECT_FALSE(find_permission("[u] rw-l----- /\n", std::nullopt, "nodir", &out));
}

TEST(FindPermission, PrefixWithoutTrailingSlashMatchesLongerNames) {
  PermissionRecord out;
  EXPECT_TRUE(find_permission("[u] r--l----s /c:/pub\n", std::nullopt, "/c:/public/", &out));
  EXPECT_FALSE(find_permission("[u] r--l----- /c:/pub\n", std::nullopt, "/c:/public/", &out));
}

TEST(FindPermission, RootEntryCoversEveryDriveAndLinesEndAtCarriageReturn) {
  PermissionRecord out;
  EXPECT_TRUE(find_permission("[u] r--l----s /", std::nullopt, "/q:/a/b/", &out));
  // A CR ends the line: the path is /c:/pub/ and not "/c:/pub/\r".
  ASSERT_TRUE(find_permission("[u] rw------- /c:/pub/\r\n[u] r-------s /c:/\r\n", std::nullopt,
                              "/c:/pub/", &out));
  EXPECT_TRUE(out.w);
  EXPECT_FALSE(find_permission("", std::string_view(""), "/c:/", &out));
}

TEST(ValidatePermissionPath, NormalisesDosAndUnixForms) {
  EXPECT_EQ(validate_permission_path("c:\\ftp\\pub"), "/c:/ftp/pub/");
  EXPECT_EQ(validate_permission_path("/d:/Program Files/"), "/d:/Program Files/");
  EXPECT_EQ(validate_permission_path("c:"), "/c:/");
  EXPECT_EQ(validate_permission_path("/c:/pub"), "/c:/pub/");
}

TEST(ValidatePermissionPath, RefusesBadPaths) {
  for (const char* bad :
       {"", "/", "c", "/c/", "/1:/", "/cd:/", "/c:/a:b/", "/c:/Plus!/", "/c:/a\"b/", "/c:/*/",
        "/c:/a<b/", "/c:/a>b/", "/c:/a?/", "::/", "/c:/a\nb/", "/c:/a\rb/", "/c:/a\tb/"}) {
    EXPECT_FALSE(validate_permission_path(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qorda::vfs
