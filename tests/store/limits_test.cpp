#include "store/limits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qorda::store {
namespace {

platform::LocalTime at(int h, int m) {
  platform::LocalTime t;
  t.hour = h;
  t.minute = m;
  return t;
}

LimitSession session(std::string_view user, std::string_view tmpl, std::array<uint8_t, 4> addr) {
  return LimitSession{user, tmpl, !tmpl.empty(), addr};
}

constexpr std::array<uint8_t, 4> kIp1{10, 0, 0, 1};
constexpr std::array<uint8_t, 4> kIp2{10, 0, 0, 2};

TEST(ClientLimits, PerUserLimitRefusesSecondLoginOfSameUser) {
  std::string szcl = "00:00,23:59,-1,1,-1,-1\n";
  std::vector<LimitSession> others{session("alice", "[t] staff", kIp1)};
  LimitDecision d =
      evaluate_client_limits(szcl, 20, at(12, 0), session("ALICE", "[t] staff", kIp2), others);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.kind, LimitKind::PerUser);
  EXPECT_EQ(d.limit, 1);
  EXPECT_TRUE(evaluate_client_limits(szcl, 20, at(12, 0), session("bob", "[t] staff", kIp1), others)
                  .accepted);
}

TEST(ClientLimits, RangesAreInclusiveAndNeverWrap) {
  // The template total limit of 1 refuses a second session of the template only in range.
  std::vector<LimitSession> others{session("bob", "[T] STAFF", kIp2)};
  auto eval = [&](std::string_view szcl, int h, int m) {
    return evaluate_client_limits(szcl, 20, at(h, m), session("alice", "[t] staff", kIp1), others);
  };
  EXPECT_FALSE(eval("09:00,17:00,1,5,5,5", 12, 0).accepted);
  EXPECT_EQ(eval("09:00,17:00,1,5,5,5", 12, 0).kind, LimitKind::TemplateTotal);
  EXPECT_FALSE(eval("09:00,17:00,1,5,5,5", 17, 0).accepted);
  EXPECT_FALSE(eval("09:00,17:00,1,5,5,5", 9, 0).accepted);
  EXPECT_TRUE(eval("09:00,17:00,1,5,5,5", 17, 1).accepted);
  EXPECT_TRUE(eval("09:00,17:00,1,5,5,5", 8, 59).accepted);
  EXPECT_FALSE(eval("00:00,23:59,1,5,5,5", 23, 59).accepted);
  EXPECT_FALSE(eval("00:00,23:59,1,5,5,5", 0, 0).accepted);
  for (int h : {23, 0, 3, 12}) EXPECT_TRUE(eval("22:00,06:00,1,5,5,5", h, 0).accepted) << h;
}

TEST(ClientLimits, LaterApplyingLineWins) {
  LimitSession me = session("alice", "[t] staff", kIp1);
  std::vector<LimitSession> others{session("alice", "[t] staff", kIp2)};
  // First line would refuse per user; the later one lifts it.
  EXPECT_TRUE(evaluate_client_limits("00:00,23:59,-1,1,-1,-1\n08:00,17:59,-1,2,-1,-1\n", 20,
                                     at(12, 0), me, others)
                  .accepted);
  // Reversed order: the later line refuses.
  EXPECT_FALSE(evaluate_client_limits("08:00,17:59,-1,2,-1,-1\n00:00,23:59,-1,1,-1,-1\n", 20,
                                      at(12, 0), me, others)
                   .accepted);
  // A later line that does not apply changes nothing.
  EXPECT_FALSE(evaluate_client_limits("00:00,23:59,-1,1,-1,-1\n18:00,19:00,-1,9,-1,-1\n", 20,
                                      at(12, 0), me, others)
                   .accepted);
}

TEST(ClientLimits, KindsAreTestedFromServerTotalDown) {
  LimitSession me = session("alice", "[t] staff", kIp1);
  std::vector<LimitSession> others{session("alice", "[t] staff", kIp1)};
  // Every kind is exceeded (limit 1, count 2): the server total is reported first.
  LimitDecision d = evaluate_client_limits("00:00,23:59,1,1,1,1", 1, at(1, 0), me, others);
  EXPECT_EQ(d.kind, LimitKind::ServerTotal);
  d = evaluate_client_limits("00:00,23:59,1,1,1,1", 20, at(1, 0), me, others);
  EXPECT_EQ(d.kind, LimitKind::Both);
  d = evaluate_client_limits("00:00,23:59,1,1,1,-1", 20, at(1, 0), me, others);
  EXPECT_EQ(d.kind, LimitKind::PerIp);
  d = evaluate_client_limits("00:00,23:59,1,1,-1,-1", 20, at(1, 0), me, others);
  EXPECT_EQ(d.kind, LimitKind::PerUser);
  d = evaluate_client_limits("00:00,23:59,1,-1,-1,-1", 20, at(1, 0), me, others);
  EXPECT_EQ(d.kind, LimitKind::TemplateTotal);
  EXPECT_EQ(d.limit, 1);
}

TEST(ClientLimits, ZeroLimitAndServerMaximum) {
  LimitSession me = session("alice", "[t] staff", kIp1);
  LimitDecision d = evaluate_client_limits("00:00,23:59,-1,-1,0,-1", 20, at(5, 0), me, {});
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.kind, LimitKind::PerIp);
  EXPECT_EQ(d.limit, 0);
  // Without template only the server maximum counts, whatever the others' templates.
  LimitSession plain = session("carol", "", kIp1);
  std::vector<LimitSession> two{session("a", "", kIp1), session("b", "[t] x", kIp2)};
  d = evaluate_client_limits(std::nullopt, 2, at(5, 0), plain, two);
  EXPECT_EQ(d.kind, LimitKind::ServerTotal);
  EXPECT_EQ(d.limit, 2);
  EXPECT_TRUE(evaluate_client_limits(std::nullopt, 3, at(5, 0), plain, two).accepted);
  // Template totals count only sessions that have a template with the same reference.
  std::vector<LimitSession> mixed{session("a", "", kIp2), session("b", "[t] other", kIp2)};
  EXPECT_TRUE(evaluate_client_limits("00:00,23:59,1,-1,-1,-1", 20, at(5, 0), me, mixed).accepted);
  // A huge server maximum does not overflow.
  EXPECT_TRUE(evaluate_client_limits(std::nullopt, 0xffffffffu, at(5, 0), plain, two).accepted);
}

TEST(ClientLimits, MalformedLinesAreSkipped) {
  LimitSession me = session("alice", "[t] staff", kIp1);
  for (const char* bad :
       {"00:00,23:59,0", "00:00,23:59,0,0,0", "0:00,23:59,0,0,0,0", "00:00;23:59,0,0,0,0",
        "00:00,24:00,0,0,0,0", "00:00,23:60,0,0,0,0", "aa:bb,23:59,0,0,0,0", "00:00,23:59,x,0,0,0",
        "00:00,23:59,", "00:00,23:59,99999999999,0,0,0", "00:00,23:59,-5,0,0,0", "", "00:00"}) {
    EXPECT_TRUE(evaluate_client_limits(bad, 20, at(12, 0), me, {}).accepted) << bad;
    EXPECT_FALSE(parse_limit_line(bad).has_value()) << bad;
  }
  auto r = parse_limit_line("08:00,17:59,10,2,-1,-1");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->limits, (std::array<int, 4>{10, 2, -1, -1}));
  EXPECT_EQ(format_limit_line(*r), "08:00,17:59,10,2,-1,-1");
}

TEST(LimitTimes, EditorMessages) {
  EXPECT_EQ(check_limit_time("8:00", true), "Invalid starting time format.");
  EXPECT_EQ(check_limit_time("08.00", false), "Invalid ending time format.");
  EXPECT_EQ(check_limit_time("24:00", true),
            "Please enter a starting time between '00:00' and '23:59'.");
  EXPECT_EQ(check_limit_time("12:60", false),
            "Please enter an ending time between '00:00' and '23:59'.");
  EXPECT_FALSE(check_limit_time("00:00", true).has_value());
  EXPECT_FALSE(check_limit_time("23:59", false).has_value());
}

std::vector<std::string> spans(const LimitRangeList& l) {
  std::vector<std::string> out;
  for (const LimitRange& r : l.ranges()) out.push_back(r.start + "-" + r.end);
  return out;
}

LimitRange range(const char* s, const char* e, int total = -1) {
  return LimitRange{s, e, {total, -1, -1, -1}};
}

TEST(LimitRangeList, NightRangeSplitsAtMidnightWithGap) {
  LimitRangeList l;
  l.insert(range("22:00", "02:00", 3));
  EXPECT_EQ(spans(l), (std::vector<std::string>{"00:00-02:00", "22:00-23:59"}));
  EXPECT_EQ(l.display_lines(20),
            (std::vector<std::string>{"[t] 00:00-02:00\t3\t(20)\t(20)\t(20)",
                                      "[s] 02:01-21:59\t(20)\t(20)\t(20)\t(20)",
                                      "[t] 22:00-23:59\t3\t(20)\t(20)\t(20)"}));
  EXPECT_EQ(l.to_szcl(), "00:00,02:00,3,-1,-1,-1\n22:00,23:59,3,-1,-1,-1\n");
}

TEST(LimitRangeList, InsertSplitsReplacesAndOrders) {
  LimitRangeList l;
  l.insert(range("08:00", "18:00", 1));
  l.insert(range("10:00", "12:00", 2));
  EXPECT_EQ(spans(l), (std::vector<std::string>{"08:00-09:59", "10:00-12:00", "12:01-18:00"}));
  EXPECT_EQ(l.ranges()[2].limits[0], 1);  // split parts keep the old limits
  // A range covering several removes the ones inside and trims the ones it overlaps.
  l.insert(range("09:00", "15:00", 3));
  EXPECT_EQ(spans(l), (std::vector<std::string>{"08:00-08:59", "09:00-15:00", "15:01-18:00"}));
  // Inserted before the first that starts after it.
  l.insert(range("06:00", "07:00", 4));
  EXPECT_EQ(spans(l).front(), "06:00-07:00");
  // Exactly the same span replaces.
  l.insert(range("09:00", "15:00", 5));
  EXPECT_EQ(spans(l),
            (std::vector<std::string>{"06:00-07:00", "08:00-08:59", "09:00-15:00", "15:01-18:00"}));
  EXPECT_EQ(l.ranges()[2].limits[0], 5);
  l.remove(0);
  l.remove(99);
  EXPECT_EQ(l.ranges().size(), 3u);
  // Gap lines cover the whole day.
  std::vector<std::string> shown = l.display_lines(7);
  EXPECT_EQ(shown.front(), "[s] 00:00-07:59\t(7)\t(7)\t(7)\t(7)");
  EXPECT_EQ(shown.back(), "[s] 18:01-23:59\t(7)\t(7)\t(7)\t(7)");
  EXPECT_EQ(shown.size(), 5u);
}

TEST(LimitRangeList, EmptyAndFullDayDisplay) {
  EXPECT_EQ(LimitRangeList().display_lines(20),
            (std::vector<std::string>{"[s] 00:00-23:59\t(20)\t(20)\t(20)\t(20)"}));
  LimitRangeList full = LimitRangeList::from_szcl("00:00,23:59,10,2,-1,0\nbogus\n");
  EXPECT_EQ(full.display_lines(20), (std::vector<std::string>{"[t] 00:00-23:59\t10\t2\t(20)\t0"}));
  // Edge minutes: a range ending at 23:58 leaves the last minute as a gap.
  LimitRangeList l;
  l.insert(range("00:01", "23:58"));
  EXPECT_EQ(l.display_lines(1).front(), "[s] 00:00-00:00\t(1)\t(1)\t(1)\t(1)");
  EXPECT_EQ(l.display_lines(1).back(), "[s] 23:59-23:59\t(1)\t(1)\t(1)\t(1)");
}

}  // namespace
}  // namespace qorda::store
