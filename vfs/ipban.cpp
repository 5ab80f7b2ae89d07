#include "vfs/ipban.h"

#include "store/lines.h"
#include "store/records.h"

namespace qorda::vfs {
namespace {

// Removes the exact allow lines for `addr` from a list and appends the deny line.
std::string ban_in_list(std::string_view szip, char origin, const IpBytes& addr) {
  std::vector<std::string> lines;
  for (std::string_view line : store::split_lines(szip)) {
    IpRecord rec = parse_ip_entry(line);
    // Every exact allow goes, not only the best one: a second exact allow earlier than the new
    // deny line would otherwise keep winning on equal score.
    if (rec.allow && score_ip_mask(addr, rec.mask) == kIpScoreExact) continue;
    lines.emplace_back(line);
  }
  lines.push_back(format_ip_entry(IpRecord{origin, false, format_ip_address(addr)}));
  return store::join_lines(lines);
}

}  // namespace

BanResult ban_client_address(platform::Registry& reg, std::string_view user_name,
                             const IpBytes& addr, bool disable_account, bool ban_ip) {
  BanResult result;
  store::UserRecord user;
  user.name = std::string(user_name);
  if (!store::read_user(reg, user, {.main_fields = true, .counters = false})) {
    result.outcome = BanOutcome::UnknownUser;
    return result;
  }
  std::optional<store::TemplateRecord> tmpl = store::read_user_template(reg, user);
  bool user_changed = false, template_changed = false;

  if (disable_account && !user.bdisable) {
    user.bdisable = true;
    user_changed = true;
  }
  result.disabled = disable_account;

  if (ban_ip) {
    std::optional<std::string_view> tmpl_szip;
    if (tmpl) tmpl_szip = tmpl->szip;
    IpMatch best = find_best_ip_entry(user.szip, tmpl_szip, addr);
    if (best.source == IpMatch::Source::None) {
      result.outcome = BanOutcome::NoMatchingEntry;
    } else if (!best.allow) {
      result.outcome = BanOutcome::AlreadyDenied;
    } else if (best.source == IpMatch::Source::User) {
      user.szip = ban_in_list(user.szip, 'u', addr);
      user_changed = true;
      result.outcome = BanOutcome::Banned;
    } else {
      tmpl->szip = ban_in_list(tmpl->szip, 't', addr);
      template_changed = true;
      result.outcome = BanOutcome::Banned;
    }
  }

  if (user_changed || template_changed) {
    result.status = store::write_user_and_template(reg, user_changed ? &user : nullptr,
                                                   {.main_fields = true, .counters = 0},
                                                   template_changed ? &*tmpl : nullptr);
  }
  return result;
}

}  // namespace qorda::vfs
