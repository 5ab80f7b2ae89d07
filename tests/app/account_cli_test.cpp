#include "app/account_cli.h"

#include <gtest/gtest.h>

namespace qorda::app::acct {
namespace {

TEST(AccountArgs, OptionsWithAndWithoutValues) {
  std::vector<OptionDef> defs{{"perm", true}, {"guest", false}};
  ParsedArgs p;
  ASSERT_FALSE(
      parse_args({"alice", "--perm", "x", "--guest", "--perm=y", "--", "--guest"}, defs, p));
  EXPECT_EQ(p.positional, (std::vector<std::string>{"alice", "--guest"}));
  ASSERT_EQ(p.options.size(), 3u);
  EXPECT_EQ(p.options[0].value, "x");
  EXPECT_EQ(p.options[2].value, "y");
  ParsedArgs q;
  EXPECT_TRUE(parse_args({"--perm"}, defs, q).has_value());     // missing value
  EXPECT_TRUE(parse_args({"--bogus"}, defs, q).has_value());    // unknown
  EXPECT_TRUE(parse_args({"--guest=1"}, defs, q).has_value());  // flag with a value
  ParsedArgs h;
  ASSERT_FALSE(parse_args({"--help"}, defs, h));
  EXPECT_TRUE(h.help);
}

TEST(AccountArgs, PermissionLinesAreCheckedAsTheEditorDoes) {
  std::string err;
  EXPECT_EQ(permission_arg("[u] rwdl----s /c:/ftp/", 'u', err), "[u] rwdl----s /c:/ftp/");
  EXPECT_EQ(permission_arg("r--l----s c:\\ftp\\pub", 't', err), "[t] r--l----s /c:/ftp/pub/");
  EXPECT_EQ(permission_arg("[u] rwdl----s /d:/Program Files", 'u', err),
            "[u] rwdl----s /d:/Program Files/");
  EXPECT_FALSE(permission_arg("[u] rwdl----s /c:/Plus!/", 'u', err));
  EXPECT_EQ(err.rfind("invalid path '/c:/Plus!/': give a drive path such as /c:/pub/", 0), 0u)
      << err;
  EXPECT_FALSE(permission_arg("[t] rwdl----s /c:/", 'u', err));  // wrong origin
  EXPECT_FALSE(permission_arg("[u] wrdl----s /c:/", 'u', err));  // letter in the wrong column
  EXPECT_FALSE(permission_arg("[u] rwdl---- /c:/", 'u', err));   // eight flags
  EXPECT_FALSE(permission_arg("", 'u', err));
}

TEST(AccountArgs, IpLinesAreCheckedAsTheEditorDoes) {
  std::string err;
  EXPECT_EQ(ip_arg("[u] a 10.0.0.*", 'u', err), "[u] a 10.0.0.*");
  EXPECT_EQ(ip_arg("d 10.0.3-5.*", 't', err), "[t] d 10.0.3-5.*");
  EXPECT_FALSE(ip_arg("a 10.0.5-3.*", 'u', err));
  EXPECT_EQ(err.rfind("invalid ip mask '10.0.5-3.*': give four parts", 0), 0u) << err;
  EXPECT_FALSE(ip_arg("x 10.0.0.1", 'u', err));
  EXPECT_FALSE(ip_arg("a 1.2.3", 'u', err));
}

TEST(AccountArgs, AccessLinesReplaceOnlyTheListsGiven) {
  std::string err;
  AccessLines only_perms('t');
  EXPECT_TRUE(only_perms.take({"perm", "[t] r--l----s /c:/a/"}, err));
  EXPECT_TRUE(only_perms.take({"no-perms", ""}, err));  // drops the line given before it
  EXPECT_TRUE(only_perms.take({"perm", "rwdl----s /c:/b/"}, err));
  EXPECT_FALSE(only_perms.take({"limit", "08:00,17:59,1,1,1,1"}, err));
  std::string szfp = "[t] rwdlcxhms /c:/\n", szip = "[t] a 10.*.*.*\n";
  only_perms.apply(szfp, szip);
  EXPECT_EQ(szfp, "[t] rwdl----s /c:/b/\n");
  EXPECT_EQ(szip, "[t] a 10.*.*.*\n");  // no --ip or --no-ips: kept

  AccessLines no_ips('u');
  EXPECT_TRUE(no_ips.take({"no-ips", ""}, err));
  no_ips.apply(szfp, szip);
  EXPECT_EQ(szfp, "[t] rwdl----s /c:/b/\n");
  EXPECT_EQ(szip, "");

  AccessLines refused('u');
  EXPECT_TRUE(refused.take({"ip", "[t] a 10.0.0.1"}, err));  // another record's origin
  EXPECT_EQ(err, "this list holds only [u] lines: '[t] a 10.0.0.1'");
  EXPECT_TRUE(refused.take({"ip", "a 10.0.0.1"}, err));
  EXPECT_EQ(err, "");
}

TEST(AccountArgs, LimitRangesAndTheirMessages) {
  std::string err;
  auto r = limit_arg("08:00,17:59,10,2,-1,-1", err);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->limits, (std::array<int, 4>{10, 2, -1, -1}));
  EXPECT_FALSE(limit_arg("8:00,17:59,10,2,-1,-1", err));
  EXPECT_EQ(err, "invalid start time '8:00': give HH:MM, such as 08:00");
  EXPECT_FALSE(limit_arg("08:00,24:00,10,2,-1,-1", err));
  EXPECT_EQ(err, "invalid end time '24:00': give a time from 00:00 to 23:59");
  EXPECT_FALSE(limit_arg("08:00,17:59,10,2,-1", err));     // five fields
  EXPECT_FALSE(limit_arg("08:00,17:59,10,2,-2,-1", err));  // below -1
  EXPECT_FALSE(limit_arg("08:00,17:59,10,2,x,-1", err));
  EXPECT_FALSE(limit_arg("08:00,17:59,3000000000,2,1,-1", err));  // beyond int
}

TEST(AccountArgs, Numbers) {
  EXPECT_EQ(number_arg("4294967295"), 4294967295u);
  EXPECT_FALSE(number_arg("4294967296"));
  EXPECT_FALSE(number_arg("-1"));
  EXPECT_FALSE(number_arg(""));
  EXPECT_FALSE(number_arg("12a"));
}

}  // namespace
}  // namespace qorda::app::acct
