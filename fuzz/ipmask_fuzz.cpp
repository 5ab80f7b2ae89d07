// Feeds arbitrary masks, IP entry lists and addresses to the scorer, the decision and the
// editors' mask check, and cross-checks the scorer against the validator.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "store/lines.h"
#include "vfs/ipmask.h"

using namespace qorda;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// For a mask the validator accepted: the address made of each part's first number (0 for "*"),
// which the mask must match.
vfs::IpBytes first_address(const std::string& mask) {
  vfs::IpBytes a{};
  size_t part = 0;
  size_t i = 0;
  while (part < 4 && i <= mask.size()) {
    int v = 0;
    while (i < mask.size() && mask[i] >= '0' && mask[i] <= '9') v = v * 10 + (mask[i++] - '0');
    a[part++] = static_cast<uint8_t>(v);
    size_t dot = mask.find('.', i);
    i = dot == std::string::npos ? mask.size() + 1 : dot + 1;
  }
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  vfs::IpBytes addr;
  for (auto& b : addr) b = fdp.ConsumeIntegral<uint8_t>();
  bool default_allow = fdp.ConsumeBool();
  bool with_template = fdp.ConsumeBool();
  std::string mask = fdp.ConsumeRandomLengthString(64);
  std::string user = fdp.ConsumeRandomLengthString(512);
  std::string tmpl = fdp.ConsumeRandomLengthString(512);

  int score = vfs::score_ip_mask(addr, mask);
  check(score == 0 || (score >= vfs::kIpScoreMin && score <= vfs::kIpScoreExact));
  bool valid = vfs::validate_ip_mask(mask);
  // Only masks the editor would accept ever match.
  if (score > 0) check(valid);
  if (valid) {
    int s = vfs::score_ip_mask(first_address(mask), mask);
    check(s >= vfs::kIpScoreMin && s <= vfs::kIpScoreExact);
  }

  for (std::string_view line : store::split_lines(user)) {
    vfs::IpRecord rec = vfs::parse_ip_entry(line);
    check(vfs::parse_ip_entry(vfs::format_ip_entry(rec)) == rec);
  }

  std::optional<std::string_view> t;
  if (with_template) t = tmpl;
  vfs::IpMatch best = vfs::find_best_ip_entry(user, t, addr);
  bool allow = vfs::select_ip_decision(user, t, default_allow, addr);
  if (best.source == vfs::IpMatch::Source::None) {
    check(best.score == 0 && allow == default_allow);
  } else {
    check(best.score >= vfs::kIpScoreMin && best.score <= vfs::kIpScoreExact);
    check(allow == best.allow);
    std::string_view list =
        best.source == vfs::IpMatch::Source::User ? std::string_view(user) : tmpl;
    auto lines = store::split_lines(list);
    check(best.line < lines.size());
    check(vfs::score_ip_mask(addr, vfs::parse_ip_entry(lines[best.line]).mask) == best.score);
  }
  return 0;
}
