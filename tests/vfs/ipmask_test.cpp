#include "vfs/ipmask.h"

#include <gtest/gtest.h>

#include <string>

namespace qorda::vfs {
namespace {

constexpr IpBytes kA{10, 0, 0, 5};

TEST(IpEntryText, ParseAndFormat) {
  IpRecord rec = parse_ip_entry("[u] d 10.0.0.*");
  EXPECT_EQ(rec.origin, 'u');
  EXPECT_FALSE(rec.allow);
  EXPECT_EQ(rec.mask, "10.0.0.*");
  EXPECT_EQ(format_ip_entry(rec), "[u] d 10.0.0.*");
  EXPECT_TRUE(parse_ip_entry("[t] a 1.2.3.4").allow);
  EXPECT_FALSE(parse_ip_entry("[t] A 1.2.3.4").allow);  // only "a" allows
  for (const char* line : {"", "[", "[u] a", "[u] a "}) {
    EXPECT_TRUE(parse_ip_entry(line).mask.empty()) << line;
  }
}

TEST(IpScore, ExactRangeAndWildcardParts) {
  EXPECT_EQ(score_ip_mask(kA, "10.0.0.5"), 12);
  EXPECT_EQ(score_ip_mask(kA, "*.*.*.*"), 4);
  EXPECT_EQ(score_ip_mask(kA, "10.*.*.*"), 6);
  EXPECT_EQ(score_ip_mask(kA, "10.0.0-0.1-9"), 10);
  EXPECT_EQ(score_ip_mask(kA, "010.000.0.005"), 12);  // leading zeros are still one byte
  EXPECT_EQ(score_ip_mask(kA, "10.0.0.6"), 0);
  EXPECT_EQ(score_ip_mask(kA, "10.0.0.6-255"), 0);
  EXPECT_EQ(score_ip_mask(kA, "10.0.0.0-4"), 0);
  EXPECT_EQ(score_ip_mask(kA, "11.*.*.*"), 0);
  EXPECT_EQ(score_ip_mask({255, 255, 255, 255}, "255.255.255.0-255"), 11);
}

TEST(IpScore, MalformedMasksNeverMatch) {
  // Masks that never went through the editor: wrong part count, letters, out-of-range numbers,
  // dangling range, empty parts, huge numbers, a number that would wrap to the byte.
  for (const char* mask :
       {"",           "10.0.0",     "10.0.0.5.1", "10.0.0.5.",    "a.b.c.d",
        "10.0.0.x",   "10.0.0.999", "10.0.0.1-",  "10.0.0.-9",    "10..0.5",
        "10.0.0.*5",  "10.0.0.5*",  "10.0.0.**",  "10.0.0.00005", "10.0.0.4294967301",
        "10.0.0.261", "10.0.0.5 ",  " 10.0.0.5",  "10.0.0.1-2-9", "10.0.0.9-1"}) {
    EXPECT_EQ(score_ip_mask(kA, mask), 0) << mask;
  }
}

TEST(IpDecision, BestScoreWinsWithUserBeforeTemplate) {
  std::string user = "[u] a 10.*.*.*\n[u] d 10.0.0.5\n";
  EXPECT_FALSE(select_ip_decision(user, std::nullopt, true, kA));
  EXPECT_TRUE(select_ip_decision(user, std::nullopt, false, {10, 0, 0, 6}));
  // A user entry with score 4 beats an exact template entry.
  EXPECT_TRUE(select_ip_decision("[u] a *.*.*.*", std::string_view("[t] d 10.0.0.5"), false, kA));
  // The template decides when no user line matches.
  EXPECT_FALSE(select_ip_decision("[u] a 11.*.*.*", std::string_view("[t] d 10.0.0.5"), true, kA));
  // No entry matches: the server default.
  EXPECT_TRUE(select_ip_decision("[u] d 11.*.*.*", std::string_view("[t] d 12.*.*.*"), true, kA));
  EXPECT_FALSE(select_ip_decision("", std::nullopt, false, kA));
  // Equal scores keep the earlier line.
  EXPECT_TRUE(select_ip_decision("[u] a 10.0.0.*\n[u] d 10.0.*.5\n", std::nullopt, false, kA));
}

TEST(IpDecision, BestEntryReportsItsListAndLine) {
  IpMatch m = find_best_ip_entry("[u] a 11.*.*.*\n",
                                 std::string_view("[t] a *.*.*.*\r\n[t] a 10.0.0.5\n"), kA);
  EXPECT_EQ(m.source, IpMatch::Source::Template);
  EXPECT_EQ(m.line, 1u);
  EXPECT_EQ(m.score, 12);
  EXPECT_TRUE(m.allow);
}

TEST(ValidateIpMask, AcceptsWellFormedMasks) {
  for (const char* mask : {"*.*.*.*", "1.2.3.0-255", "10.0.3-5.*", "128.2.34-78.*", "0.0.0.0",
                           "255.255.255.255", "1.2.3.4-4", "001.02.3.4"}) {
    EXPECT_TRUE(validate_ip_mask(mask)) << mask;
    EXPECT_GT(score_ip_mask({1, 2, 3, 4}, mask) + score_ip_mask({0, 0, 0, 0}, mask) +
                  score_ip_mask({255, 255, 255, 255}, mask) + score_ip_mask({10, 0, 3, 4}, mask) +
                  score_ip_mask({128, 2, 50, 1}, mask),
              0)
        << mask;
  }
}

TEST(ValidateIpMask, RefusesMalformedMasks) {
  for (const char* mask :
       {"1.2.3",    "1.2.3.256",  "1.2.3.4-2",  "1.2.3.*5", "1.2.3.4.5", "10.0.5-3.*",  "",
        ".1.2.3",   "1.2.3.",     "1..2.3",     "1.2.3.4-", "1.2.3.-4",  "1.2.3.4-5-6", "1.2.3.**",
        "1.2.3.5*", "1.2.3.1000", "1.2.3.0001", "a.2.3.4",  "1.2.3.4 ",  "1.2.3.4\n"}) {
    EXPECT_FALSE(validate_ip_mask(mask)) << mask;
  }
}

TEST(IpAddress, ParseAndFormat) {
  EXPECT_EQ(parse_ip_address("192.168.0.1"), (IpBytes{192, 168, 0, 1}));
  EXPECT_EQ(format_ip_address({192, 168, 0, 1}), "192.168.0.1");
  for (const char* bad : {"", "1.2.3", "1.2.3.256", "1.2.3.4.5", "1.2.3.x", "1.2..3"}) {
    EXPECT_FALSE(parse_ip_address(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qorda::vfs
