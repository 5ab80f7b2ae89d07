// Feeds arbitrary limit texts, times and session lists to the evaluation, and arbitrary ranges
// to the editors' range-insertion model.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "store/limits.h"

using namespace qorda;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

int minutes(const std::string& t) {
  return ((t[0] - '0') * 10 + (t[1] - '0')) * 60 + (t[3] - '0') * 10 + (t[4] - '0');
}

// "[x] HH:MM-HH:MM..." -> the two times in minutes.
std::pair<int, int> span(const std::string& line) {
  return {minutes(line.substr(4, 5)), minutes(line.substr(10, 5))};
}

std::string time_text(FuzzedDataProvider& fdp) {
  if (fdp.ConsumeBool()) return fdp.ConsumeRandomLengthString(6);
  char buf[8];
  int h = fdp.ConsumeIntegralInRange(0, 23), m = fdp.ConsumeIntegralInRange(0, 59);
  std::snprintf(buf, sizeof buf, "%02d:%02d", h, m);
  return buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::string szcl = fdp.ConsumeRandomLengthString(512);
  uint32_t imaxc = fdp.ConsumeIntegral<uint32_t>();
  platform::LocalTime now;
  now.hour = fdp.ConsumeIntegralInRange(0, 23);
  now.minute = fdp.ConsumeIntegralInRange(0, 59);
  bool with_template = fdp.ConsumeBool();

  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) names.push_back(fdp.ConsumeRandomLengthString(8));
  auto make = [&](FuzzedDataProvider& f) {
    store::LimitSession s;
    s.user = names[f.ConsumeIntegralInRange(0, 3)];
    s.sztemp = names[f.ConsumeIntegralInRange(0, 3)];
    s.has_template = f.ConsumeBool();
    s.addr = {10, 0, 0, f.ConsumeIntegralInRange<uint8_t>(0, 2)};
    return s;
  };
  store::LimitSession me = make(fdp);
  std::vector<store::LimitSession> others;
  size_t n = fdp.ConsumeIntegralInRange(0, 8);
  for (size_t i = 0; i < n; ++i) others.push_back(make(fdp));

  std::optional<std::string_view> t;
  if (with_template) t = szcl;
  store::LimitDecision d = store::evaluate_client_limits(t, imaxc, now, me, others);
  if (d.accepted) {
    check(d.kind == store::LimitKind{});
  } else {
    check(d.kind >= store::LimitKind::TemplateTotal && d.kind <= store::LimitKind::ServerTotal);
    check(with_template || d.kind == store::LimitKind::ServerTotal);
    check(d.limit >= 0 && d.limit <= static_cast<int>(others.size()));
  }

  // The range model: starting empty, any sequence of valid insertions keeps the list ordered,
  // disjoint, and its display covering the whole day minute by minute.
  store::LimitRangeList list;
  while (fdp.remaining_bytes() > 0) {
    store::LimitRange r;
    r.start = time_text(fdp);
    r.end = time_text(fdp);
    for (int& l : r.limits) l = fdp.ConsumeIntegralInRange(-1, 100);
    if (store::check_limit_time(r.start, true) || store::check_limit_time(r.end, false)) continue;
    if (fdp.ConsumeBool() && !list.ranges().empty())
      list.remove(fdp.ConsumeIntegral<size_t>() % list.ranges().size());
    list.insert(r);
  }
  int next = 0;
  for (const std::string& line : list.display_lines(20)) {
    auto [s, e] = span(line);
    check(s == next && e >= s);
    next = e + 1;
  }
  check(next == 24 * 60);
  check(store::LimitRangeList::from_szcl(list.to_szcl()).ranges() == list.ranges());
  return 0;
}
