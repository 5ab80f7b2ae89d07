// The listing builder on its own: the option word, link-name patterns, the chunk queue, the exact
// long and short line formats with the year rule, links with their "?" targets, and lines that
// would not fit the line buffer.
#include <gtest/gtest.h>
#include <strings.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/volume.h"
#include "store/links.h"
#include "tests/support/scoped_tz.h"
#include "transfer/listing.h"
#include "vfs/resolver.h"

namespace fs = std::filesystem;

namespace qorda::transfer {
namespace {

using test::ScopedTz;

// Links kept in memory, looked up as the store would (locations compare without case).
class MemLinks final : public vfs::LinkSource {
 public:
  void add(std::string location, std::string target) {
    store::LinkRecord r;
    r.location = std::move(location);
    r.target = std::move(target);
    store::split_location(r.location, nullptr, &r.name);
    links.push_back(std::move(r));
  }
  bool read(store::LinkRecord& rec) const override {
    for (const store::LinkRecord& l : links) {
      if (strcasecmp(l.location.c_str(), rec.location.c_str()) == 0 && !l.target.empty()) {
        rec.name = l.name;
        rec.target = l.target;
        return true;
      }
    }
    return false;
  }
  std::vector<store::LinkRecord> list(const std::string& dir) const override {
    std::vector<store::LinkRecord> out;
    for (const store::LinkRecord& l : links) {
      std::string d;
      if (store::split_location(l.location, &d, nullptr) && strcasecmp(d.c_str(), dir.c_str()) == 0)
        out.push_back(l);
    }
    return out;
  }
  std::vector<store::LinkRecord> links;
};

constexpr bool kLong = true;
constexpr bool kNames = false;

// 2024-06-15 12:00:00 UTC and friends.
constexpr std::time_t kJune2024 = 1718452800;
constexpr std::time_t kNewYear2024 = 1704067200;  // 2024-01-01 00:00:00 UTC

TEST(ListArgs, OptionWordRule) {
  struct Case {
    const char* arg;
    bool long_flag;
    bool want_long;
    const char* want_path;
  };
  const Case cases[] = {
      {"", false, false, ""},
      {"-l", false, true, ""},
      {"-L", false, true, ""},
      {"-al", false, true, ""},
      {"-a", false, false, ""},  // NLST -a stays a name list
      {"-a", true, true, ""},    // LIST is always long
      {"-la /c:/pub", false, true, "/c:/pub"},
      {"   -xyz    sub dir ", false, false, "sub dir "},
      {"-", false, false, ""},
      {"  name", false, false, "name"},
      {"-a -l", false, false, "-l"},  // one option word only
      {"x -l", false, false, "x -l"},
  };
  for (const Case& c : cases) {
    ListArgs a = parse_list_args(c.arg, c.long_flag);
    EXPECT_EQ(a.long_list, c.want_long) << c.arg;
    EXPECT_EQ(a.path, c.want_path) << c.arg;
  }
}

TEST(LinkNameMatch, ExamplesAndEdges) {
  EXPECT_TRUE(link_name_match("*", "anything.at.all"));
  EXPECT_TRUE(link_name_match("*", ""));
  EXPECT_TRUE(link_name_match("a*", "ABC"));
  EXPECT_TRUE(link_name_match("?b", "xb"));
  EXPECT_FALSE(link_name_match("?b", "b"));
  EXPECT_TRUE(link_name_match("*.txt", "READ.TXT"));
  EXPECT_FALSE(link_name_match("*.txt", "READ.TXT.bak"));
  EXPECT_TRUE(link_name_match("a*", "a"));
  EXPECT_TRUE(link_name_match("**x**", "abxcd"));
  EXPECT_TRUE(link_name_match("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(link_name_match("a*b*c", "aXbYbZ"));
  EXPECT_FALSE(link_name_match("abc", "ab"));
  EXPECT_FALSE(link_name_match("ab", "abc"));
  EXPECT_TRUE(link_name_match("exact", "EXACT"));
  // Names that hold the wildcard characters themselves are still matched by "*".
  EXPECT_TRUE(link_name_match("*", "*star"));
  EXPECT_TRUE(link_name_match("*?", "?"));
}

TEST(LinkNameMatch, ExpensivePatternsStayBounded) {
  // Classic backtracking blow-ups: with one back-up point these finish in name x pattern steps.
  const std::string name(kMaxLinkName, 'a');
  EXPECT_FALSE(link_name_match("*a*a*a*a*a*a*a*b", name));
  EXPECT_TRUE(link_name_match("*a*a*a*a*a*a*a*a", name));
  std::string pat = "*";
  for (int i = 0; i < 200; ++i) pat += "a*";
  pat += "b";
  EXPECT_FALSE(link_name_match(pat, name));
  EXPECT_FALSE(link_name_match("*" + std::string(400, 'a') + "b", name));
  // More fixed characters than the name has: refused at once.
  EXPECT_FALSE(link_name_match(std::string(2000, '?'), name));
}

TEST(LongLines, ExactColumnsAndTheYearRule) {
  ScopedTz tz("UTC0");
  // 1997-03-14 15:30:05 UTC: another year than the listing's.
  const int64_t t1997 = 858353405;
  EXPECT_EQ(long_file_line("readme.txt", false, 1234, t1997, 0, 2024),
            "-rwx------   1 ftp      users       1234 Mar 14  1997 readme.txt");
  EXPECT_EQ(long_file_line("pub", true, 0, kJune2024, 0, 2024),
            "drwx------   1 ftp      users          0 Jun 15 12:00 pub");
  // Sizes above 4 GiB are shown in full; a size of exactly ten digits keeps the column.
  EXPECT_EQ(long_file_line("big.iso", false, 5000000000ULL, kJune2024, 0, 2024),
            "-rwx------   1 ftp      users 5000000000 Jun 15 12:00 big.iso");
  EXPECT_EQ(long_file_line("huge", false, 123456789012ULL, kJune2024, 0, 2024),
            "-rwx------   1 ftp      users 123456789012 Jun 15 12:00 huge");
  // Single-digit days are padded to two columns.
  EXPECT_EQ(long_file_line("a", false, 1, kNewYear2024 + 3600 * 9 + 60 * 7, 0, 2024),
            "-rwx------   1 ftp      users          1 Jan  1 09:07 a");
}

TEST(LongLines, LocalYearOfTheFileAgainstTheUtcYearOfTheListing) {
  // Five hours west of UTC: an hour after New Year in UTC it is still the old year locally.
  ScopedTz tz("EST5");
  const int utc_year = 2024;
  EXPECT_EQ(long_file_line("late", false, 7, kNewYear2024 + 3600, 0, utc_year),
            "-rwx------   1 ftp      users          7 Dec 31  2023 late");
  // The last day of the previous year shows the year, however recent.
  EXPECT_EQ(long_file_line("eve", false, 7, kNewYear2024 - 60, 0, utc_year),
            "-rwx------   1 ftp      users          7 Dec 31  2023 eve");
  // A file of the current local year shows the local hour and minute.
  EXPECT_EQ(long_file_line("now", false, 7, kJune2024, 0, utc_year),
            "-rwx------   1 ftp      users          7 Jun 15 07:00 now");
}

TEST(LongLines, NamesAreNotCutButControlCharactersAreMasked) {
  ScopedTz tz("UTC0");
  EXPECT_EQ(long_file_line("with space.txt", false, 3, kJune2024, 0, 2024),
            "-rwx------   1 ftp      users          3 Jun 15 12:00 with space.txt");
  EXPECT_EQ(long_file_line("\xc3\xa9t\xc3\xa9 \xe2\x82\xac", false, 3, kJune2024, 0, 2024),
            "-rwx------   1 ftp      users          3 Jun 15 12:00 \xc3\xa9t\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(long_file_line("a\r\n226 fake\x7f\x01", false, 3, kJune2024, 0, 2024),
            "-rwx------   1 ftp      users          3 Jun 15 12:00 a??226 fake??");
  // A name that cannot fit the line buffer is left out rather than cut.
  EXPECT_EQ(long_file_line(std::string(600, 'n'), false, 3, kJune2024, 0, 2024), "");
  const size_t fixed = long_file_line("n", false, 3, kJune2024, 0, 2024).size() - 1;
  const std::string fits(kListLineMax - fixed, 'n');
  EXPECT_EQ(long_file_line(fits, false, 3, kJune2024, 0, 2024).size(), kListLineMax);
}

TEST(LongLines, LinkLinesShowTheListingTimeAndShortenLongTargets) {
  ScopedTz tz("EST5");  // link lines are dated in UTC whatever the zone
  EXPECT_EQ(long_link_line("docs", "/c:/ftp/docs/", kNewYear2024 + 60 * 5),
            "lrwx------   1 ftp      users         14 Jan  1 00:05 docs -> /c:/ftp/docs/");
  EXPECT_EQ(long_link_line("hidden", "?", kJune2024),
            "lrwx------   1 ftp      users          2 Jun 15 12:00 hidden -> ?");

  // A target too long for the line buffer ends in "..." and the line fits exactly.
  std::string target = "/c:/" + std::string(600, 't') + "/";
  std::string line = long_link_line("far", target, kJune2024);
  ASSERT_EQ(line.size(), kListLineMax);
  EXPECT_TRUE(line.ends_with("t..."));
  EXPECT_NE(line.find(" 606 Jun 15 12:00 far -> /c:/ttt"), std::string::npos) << line;
  // Shortening never splits a UTF-8 character.
  std::string wide = "/c:/";
  for (int i = 0; i < 300; ++i) wide += "\xe2\x82\xac";
  line = long_link_line("eur", wide, kJune2024);
  ASSERT_LE(line.size(), kListLineMax);
  ASSERT_TRUE(line.ends_with("..."));
  std::string body = line.substr(0, line.size() - 3);
  EXPECT_TRUE(body.ends_with("\xe2\x82\xac")) << line;
  // A name too long for any line leaves the link out.
  EXPECT_EQ(long_link_line(std::string(kMaxLinkName, 'x'), "/c:/", kJune2024), "");
}

// A real drive with files, directories and links.
//   c/ftp/pub/{a.txt (5 bytes), b.bin (0 bytes), Sub/}   c/ftp/private/   c/ftp/closed/
// The user has every drive, but /c:/ftp/ does not pass its rights on, so closed/ has none.
class ListingDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qorda-list-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    for (const char* d : {"/c/ftp/pub/Sub", "/c/ftp/private", "/c/ftp/closed"}) {
      fs::create_directories(base_ + d);
    }
    std::ofstream(base_ + "/c/ftp/pub/a.txt") << "hello";
    std::ofstream(base_ + "/c/ftp/pub/b.bin");
    for (const char* p : {"/c/ftp/pub/a.txt", "/c/ftp/pub/b.bin", "/c/ftp/pub/Sub", "/c/ftp/pub"}) {
      set_mtime(p, kJune2024 - 86400);
    }
    platform::drive_table().clear();
    ASSERT_TRUE(platform::drive_table().set('c', base_ + "/c"));
    st_.user_szfp =
        "[u] r--l----s /\n"
        "[u] r--l----- /c:/ftp/\n"
        "[u] rw-l--h-s /c:/ftp/pub/\n"
        "[u] r-------s /c:/ftp/private/\n";
    vfs::add_permission_roots(st_);
    ASSERT_TRUE(vfs::choose_home(st_, 'c'));
    st_.links = &links_;
  }
  void TearDown() override {
    platform::drive_table().clear();
    fs::remove_all(base_);
  }
  void set_mtime(const std::string& rel, std::time_t t) {
    utimbuf b{t, t};
    ASSERT_EQ(::utime((base_ + rel).c_str(), &b), 0) << rel;
  }
  std::vector<std::string> list(const std::string& dir, std::string_view pattern, bool long_list,
                                std::time_t now = kJune2024) {
    std::vector<std::string> out;
    list_directory(st_, dir, pattern, long_list, now, [&out](std::string_view line) {
      out.emplace_back(line);
      return true;
    });
    return out;
  }
  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  std::string base_;
  vfs::FsState st_;
  MemLinks links_;
  ScopedTz tz_{"UTC0"};
};

TEST_F(ListingDir, LongListingHasDotsFilesAndDirectories) {
  std::vector<std::string> l = list("/c:/ftp/pub/", "", kLong);
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0], "drwx------   1 ftp      users          0 Jun 14 12:00 .");
  EXPECT_TRUE(l[1].starts_with("drwx------   1 ftp      users          0 ")) << l[1];
  EXPECT_TRUE(l[1].ends_with(" ..")) << l[1];
  EXPECT_EQ(sorted({l[2], l[3], l[4]}),
            sorted({"-rwx------   1 ftp      users          5 Jun 14 12:00 a.txt",
                    "-rwx------   1 ftp      users          0 Jun 14 12:00 b.bin",
                    "drwx------   1 ftp      users          0 Jun 14 12:00 Sub"}));
}

TEST_F(ListingDir, NameListOmitsTheDotsAndPatternsSelect) {
  EXPECT_EQ(sorted(list("/c:/ftp/pub/", "*", kNames)), sorted({"a.txt", "b.bin", "Sub"}));
  EXPECT_EQ(list("/c:/ftp/pub/", "*.TXT", kNames), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(
      list("/c:/ftp/pub/", "?.bin", kLong),
      std::vector<std::string>{"-rwx------   1 ftp      users          0 Jun 14 12:00 b.bin"});
  EXPECT_TRUE(list("/c:/ftp/pub/", "nothing*", kLong).empty());  // an empty listing
}

TEST_F(ListingDir, ASinkThatHasEnoughEndsTheListing) {
  links_.add("/c:/ftp/pub/Docs", "/c:/ftp/pub/Sub/");
  for (size_t want : {1u, 4u, 5u}) {  // in the files, on the last file, in the links
    std::vector<std::string> got;
    const platform::Status st =
        list_directory(st_, "/c:/ftp/pub/", "*", kLong, kJune2024, [&](std::string_view line) {
          got.emplace_back(line);
          return got.size() < want;
        });
    EXPECT_TRUE(st.ok());
    EXPECT_EQ(got.size(), want);
  }
}

TEST_F(ListingDir, WithoutListPermissionTheListingIsUnreadable) {
  EXPECT_EQ(list("/c:/ftp/private/", "", kLong), std::vector<std::string>{". unreadable"});
  EXPECT_EQ(list("/c:/ftp/private/", "", kNames), std::vector<std::string>{". unreadable"});
  EXPECT_EQ(list("/c:/ftp/closed/", "*", kLong), std::vector<std::string>{". unreadable"});
}

TEST_F(ListingDir, LinksFollowTheFilesWithTheirTargets) {
  links_.add("/c:/ftp/pub/Docs", "/c:/ftp/pub/Sub/");
  links_.add("/c:/ftp/pub/secret", "/c:/ftp/closed/");     // outside the permissions
  links_.add("/c:/ftp/pub/gone", "/c:/ftp/pub/nowhere/");  // dangling: shown as stored
  links_.add("/c:/ftp/pub/loop", "/c:/ftp/pub/loop");
  links_.add("/c:/ftp/pub/empty", "");    // no target: only in name lists
  links_.add("/c:/ftp/other/x", "/c:/");  // another directory's link
  std::vector<std::string> l = list("/c:/ftp/pub/", "", kLong, kNewYear2024 + 3600 * 13);
  ASSERT_EQ(l.size(), 9u);
  EXPECT_EQ(l[5], "lrwx------   1 ftp      users         17 Jan  1 13:00 Docs -> /c:/ftp/pub/Sub/");
  EXPECT_EQ(l[6], "lrwx------   1 ftp      users          2 Jan  1 13:00 secret -> ?");
  EXPECT_EQ(l[7],
            "lrwx------   1 ftp      users         21 Jan  1 13:00 gone -> /c:/ftp/pub/nowhere/");
  EXPECT_EQ(l[8], "lrwx------   1 ftp      users          2 Jan  1 13:00 loop -> ?");

  EXPECT_EQ(sorted(list("/c:/ftp/pub/", "", kNames)),
            sorted({"a.txt", "b.bin", "Sub", "Docs", "secret", "gone", "loop", "empty"}));
  // Link names are matched by the pattern like file names.
  EXPECT_EQ(list("/c:/ftp/pub/", "d*", kNames), std::vector<std::string>{"Docs"});
  EXPECT_EQ(list("/c:/ftp/pub/", "?O??", kNames),
            (std::vector<std::string>{"Docs", "gone", "loop"}));
}

TEST_F(ListingDir, OverlongLinksAreShortenedOrLeftOut) {
  links_.add("/c:/ftp/pub/long", "/c:/ftp/" + std::string(700, 'z') + "/");
  links_.add("/c:/ftp/pub/" + std::string(kMaxLinkName + 1, 'n'), "/c:/ftp/pub/");
  links_.add("/c:/ftp/pub/" + std::string(600, 'm'), "/c:/ftp/pub/");
  std::vector<std::string> l = list("/c:/ftp/pub/", "", kLong);
  ASSERT_EQ(l.size(), 6u);
  EXPECT_EQ(l[5].size(), kListLineMax);
  EXPECT_TRUE(l[5].ends_with("z...")) << l[5];
  // In a name list the 600-character name is too long for a line as well.
  EXPECT_EQ(sorted(list("/c:/ftp/pub/", "", kNames)), sorted({"a.txt", "b.bin", "Sub", "long"}));
}

TEST_F(ListingDir, BigDirectoryWithAnExpensivePattern) {
  // Thousands of long names against a pattern that defeats naive backtracking: the listing is
  // built, and nothing matches.
  const std::string dir = base_ + "/c/ftp/pub/Sub/";
  for (int i = 0; i < 3000; ++i) {
    std::ofstream(dir + std::string(200, 'a') + std::to_string(i));
  }
  EXPECT_TRUE(list("/c:/ftp/pub/Sub/", "*a*a*a*a*a*a*a*b", kNames).empty());
  EXPECT_EQ(list("/c:/ftp/pub/Sub/", "*", kNames).size(), 3000u);
  EXPECT_EQ(list("/c:/ftp/pub/Sub/", "*", kLong).size(), 3002u);  // with "." and ".."
}

TEST_F(ListingDir, VanishedDirectoryStillListsItsLinks) {
  links_.add("/c:/ftp/pub/Sub/up", "/c:/ftp/pub/");
  fs::remove_all(base_ + "/c/ftp/pub/Sub");
  EXPECT_EQ(list("/c:/ftp/pub/Sub/", "", kNames), std::vector<std::string>{"up"});
}

}  // namespace
}  // namespace qorda::transfer
