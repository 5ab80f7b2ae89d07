// Client limits by time of day. A template's "szcl" value holds one line per time range,
// "HH:MM,HH:MM,total,per user,per ip,both", -1 meaning "no limit of its own"; above them stands the
// server maximum imaxc. Login evaluates them against the other logged-in sessions; the editors
// keep the ranges ordered with the range-insertion model below.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace qorda::store {

// The kinds of limit, in the order of the stored numbers; ServerTotal is imaxc.
enum class LimitKind : int {
  TemplateTotal = 1,
  PerUser = 2,
  PerIp = 3,
  Both = 4,
  ServerTotal = 5,
};

// What evaluation needs to know of one session.
struct LimitSession {
  std::string_view user;    // login name
  std::string_view sztemp;  // template reference
  bool has_template = false;
  std::array<uint8_t, 4> addr{};  // client address a.b.c.d
};

struct LimitDecision {
  bool accepted = true;
  LimitKind kind{};  // the kind that refused; 0 (no kind) when accepted
  int limit = 0;     // that kind's limit
};

// The five limits in force at `now`, kind k at index k - 1, each -1 replaced by imaxc, as the
// evaluation below reads them from `szcl` (nullopt: no template). `line` (may be null) receives
// the index among the lines of `szcl` (split_lines) of the line that set the first four, or -1
// when no line applies.
std::array<int, 5> client_limits_at(std::optional<std::string_view> szcl, uint32_t imaxc,
                                    const platform::LocalTime& now, int* line = nullptr);

// Decides whether `candidate` may log in beside `others` (the OTHER logged-in sessions).
// `szcl` is the candidate's template limits, nullopt when it has no template (then only the
// server total is tested); it, not candidate.has_template, says whether the candidate has one.
// Lines that apply at `now` (start <= HH:MM <= end, as text, inclusive) set the four limits, a
// later line overriding an earlier one; a line with malformed times or numbers is skipped. Limits
// left at -1 become imaxc. Kinds are tested from 5 down to 1; the first whose limit is below its
// count (the candidate counts itself) refuses.
LimitDecision evaluate_client_limits(std::optional<std::string_view> szcl, uint32_t imaxc,
                                     const platform::LocalTime& now, const LimitSession& candidate,
                                     const std::vector<LimitSession>& others);

// One stored time range with its four limits (-1: none of its own).
struct LimitRange {
  std::string start, end;  // "HH:MM"
  std::array<int, 4> limits{-1, -1, -1, -1};

  bool operator==(const LimitRange&) const = default;
};

// Parses one stored line; nullopt when its times or numbers are malformed.
std::optional<LimitRange> parse_limit_line(std::string_view line);
// The stored form "%s,%s,%d,%d,%d,%d" (without the line feed).
std::string format_limit_line(const LimitRange& r);

// Why a typed start or end time is refused: not "HH:MM" with digits and a colon, or no time of
// day from 00:00 to 23:59.
enum class TimeFault { Format, Range };
std::optional<TimeFault> limit_time_fault(std::string_view text);
// The same check with the editors' message for a start or end time, or nullopt when valid.
std::optional<std::string> check_limit_time(std::string_view text, bool is_start);

// The editors' header of the limits list.
inline constexpr const char* kLimitListHeader = "time range\ttotal\tper user\tper ip\tboth";

// The ranges of one template as the editors keep them: inserting a range splits or removes the
// ranges it overlaps, keeps the list ordered by start, and splits a range past midnight in two.
class LimitRangeList {
 public:
  LimitRangeList() = default;
  // Loads the stored lines as they are, in their order; malformed lines are dropped.
  static LimitRangeList from_szcl(std::string_view szcl);

  const std::vector<LimitRange>& ranges() const { return ranges_; }
  // Inserts a range whose times passed check_limit_time. An end earlier than the start runs past
  // midnight and is inserted as 00:00-end and start-23:59.
  void insert(const LimitRange& r);
  // Removes the i-th range (no-op when out of bounds).
  void remove(size_t i);
  void clear() { ranges_.clear(); }

  // The stored form: one "%s,%s,%d,%d,%d,%d\n" line per range, in list order.
  std::string to_szcl() const;
  // The editors' list: each range as "[t] HH:MM-HH:MM\t..." (a missing limit shown as "(imaxc)")
  // with "[s] HH:MM-HH:MM\t(imaxc)..." gap lines so that the whole day is covered.
  std::vector<std::string> display_lines(uint32_t imaxc) const;

 private:
  void insert_one(const LimitRange& r);
  std::vector<LimitRange> ranges_;
};

}  // namespace qorda::store
