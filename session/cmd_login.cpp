// Logging in: USER, PASS and REIN. USER takes copies of the account and its template and decides
// whether the client's address may log in; PASS runs the checks in their fixed order, applies the
// client limits, builds the session's view of the drives and picks the home directory.
#include "session/cmd_login.h"

#include <optional>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "session/banner.h"
#include "session/data_link.h"
#include "session/login_throttle.h"
#include "session/session.h"
#include "store/keys.h"
#include "store/limits.h"
#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"
#include "vfs/ipmask.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

vfs::IpBytes address_bytes(const platform::SockAddr& a) {
  return {a.byte(0), a.byte(1), a.byte(2), a.byte(3)};
}

const char* plural(int n) {
  return n == 1 ? "" : "s";
}

// A refused login: the reply has been sent; log the reason and start over at USER.
void refuse(Session& s, const char* reason) {
  s.log(log::Level::Security, "User \"%s\" can't log in. (%s)",
        log::escape_for_log(s.user_name).c_str(), reason);
  s.state = SessionState::WaitingForUser;
}

// The drive a user without a usable home starts on.
char startup_drive() {
  char d = store::startup().startup_drive;
  if (!platform::drive_table().has(d)) d = platform::drive_table().startup_drive();
  return d != 0 ? d : 'c';
}

// The client limits; true when the login may go on (otherwise the refusal has been answered).
bool check_limits(Session& s) {
  store::LimitSession me;
  me.user = s.user_name;
  me.sztemp = s.account.sztemp;
  me.has_template = s.has_template;
  me.addr = address_bytes(s.peer_addr);

  std::vector<store::LimitSession> others;
  s.host().for_each_session([&s, &others](const Session& o) {
    if (&o == &s || o.state != SessionState::LoggedIn) return;
    store::LimitSession other;
    other.user = o.user_name;
    other.sztemp = o.account.sztemp;
    other.has_template = o.has_template;
    other.addr = address_bytes(o.peer_addr);
    others.push_back(other);
  });
  std::optional<std::string_view> szcl;
  if (s.has_template) szcl = s.tmpl.szcl;
  const store::LimitDecision d = store::evaluate_client_limits(
      szcl, s.host().settings().imaxc, platform::clock().local_now(), me, others);
  if (d.accepted) return true;

  s.reply(-530, "Sorry, the current limit of %d client%s in your class has been reached.", d.limit,
          plural(d.limit));
  s.reply(-530, "Please try again later.");
  s.reply(-530, "%s", "");
  s.reply(530, "User %s access denied.", s.user_name.c_str());

  const std::string user = log::escape_for_log(s.user_name);
  s.log(log::Level::Security, "User \"%s\" can't log in. (%s)", user.c_str(),
        limit_refusal_reason(d, user, log::escape_for_log(s.account.sztemp), s.peer_addr.dotted())
            .c_str());
  s.state = SessionState::WaitingForUser;
  return false;
}

// The file-permission view and the home directory; true when the user may log in.
bool build_view(Session& s) {
  s.link_source.reset();
  if (platform::Registry* reg = s.host().registry()) {
    s.link_source = std::make_unique<vfs::RegistryLinks>(*reg);
  }
  std::optional<std::string_view> tfp;
  if (s.has_template) tfp = s.tmpl.szfp;
  const LoginView view = build_login_view(s.fs, s.account.szfp, tfp, s.link_source.get());
  if (view == LoginView::NoPermissions) {
    s.reply(530, "Access Denied. (no permissions)");
    refuse(s, "no file permissions");
    s.fs.reset();
    return false;
  }
  if (view == LoginView::NoHome) {
    s.reply(-230, "No home directory. Logging in with home \"%s\".",
            s.fs.all_drives ? s.fs.home_path.c_str() : "/");
  }
  return true;
}

}  // namespace

LoginView build_login_view(vfs::FsState& fs, std::string_view user_szfp,
                           std::optional<std::string_view> template_szfp,
                           const vfs::LinkSource* links) {
  fs.reset();
  fs.links = links;
  fs.user_szfp = std::string(user_szfp);
  if (template_szfp) fs.template_szfp = std::string(*template_szfp);
  vfs::add_permission_roots(fs);
  if (!fs.all_drives && fs.drive_roots.empty()) return LoginView::NoPermissions;
  const bool no_home = fs.home_path.empty() || !vfs::directory_exists(fs.home_path);
  vfs::choose_home(fs, startup_drive());
  return no_home ? LoginView::NoHome : LoginView::Home;
}

std::string limit_refusal_reason(const store::LimitDecision& d, std::string_view user,
                                 std::string_view sztemp, std::string_view addr) {
  std::string out = "limit: " + std::to_string(d.limit) + " client" + plural(d.limit);
  switch (d.kind) {
    case store::LimitKind::TemplateTotal:
      out += " using '" + std::string(sztemp) + "'";
      break;
    case store::LimitKind::PerUser:
      out += " using '[u] " + std::string(user) + "'";
      break;
    case store::LimitKind::PerIp:
      out += " from ip '" + std::string(addr) + "'";
      break;
    case store::LimitKind::Both:
      out += " from ip '" + std::string(addr) + "' using '[u] " + std::string(user) + "'";
      break;
    default:
      break;
  }
  return out;
}

void cmd_user(Session& s, std::string& arg) {
  if (s.state == SessionState::LoggedIn) {
    s.reply(530, "Already logged in.");
    return;
  }
  s.user_name = store::account_for_login(arg);

  s.account = store::UserRecord{};
  s.account.name = s.user_name;
  s.tmpl = store::TemplateRecord{};
  s.has_template = false;
  platform::Registry* reg = s.host().registry();
  s.user_exists =
      reg != nullptr && store::read_user(*reg, s.account, {.main_fields = true, .counters = true});

  if (s.user_exists) {
    if (std::optional<store::TemplateRecord> t = store::read_user_template(*reg, s.account)) {
      s.tmpl = std::move(*t);
      s.has_template = true;
    }
    std::optional<std::string_view> tip;
    if (s.has_template) tip = s.tmpl.szip;
    s.ip_allowed = vfs::select_ip_decision(s.account.szip, tip, s.host().settings().ballowip != 0,
                                           address_bytes(s.peer_addr));
  } else {
    s.ip_allowed = s.host().settings().ballowip != 0;
  }

  // Unknown names get the same answer as known ones.
  if (s.user_exists && s.ip_allowed && s.account.bguest) {
    s.reply(331, "Guest login ok, send your complete e-mail address as password.");
  } else {
    s.reply(331, "Password required for %s.", arg.c_str());
  }
  s.state = SessionState::WaitingForPassword;
}

void cmd_pass(Session& s, std::string& arg) {
  if (s.state == SessionState::WaitingForUser) {
    s.reply(503, "Login with USER first.");
    return;
  }
  if (s.state == SessionState::LoggedIn) {
    s.reply(530, "Already logged in.");
    return;
  }
  // SECURITY: password guessing from many connections at once: each address has its
  // passwords checked at a bounded rate; a password over the rate waits for its turn.
  const uint32_t now = s.host().now();
  LoginThrottle& throttle = s.host().login_throttle();
  if (const uint32_t wait = throttle.admit(s.peer_addr.addr, now); wait != 0) {
    s.defer_password(arg, now + wait);
    return;
  }
  ++s.failed_passwords;  // cleared only by a successful login

  const char* incorrect = nullptr;
  if (!s.user_exists) {
    incorrect = "unknown user";
  } else if (!s.ip_allowed) {
    incorrect = "ip not allowed";
  } else if (!s.account.bguest && store::encode_password(arg) != s.account.szpass) {
    incorrect = "wrong password";
  }
  if (incorrect != nullptr) {
    // SECURITY: the answer to a wrong guess comes late, and nothing else is answered meanwhile.
    s.reply(530, "Login incorrect.");
    refuse(s, incorrect);
    s.hold_after_failed_login(now + kFailedLoginDelayMs, s.failed_passwords >= kMaxLoginAttempts);
    return;
  }
  throttle.passed(s.peer_addr.addr, now);
  if (s.account.bdisable) {
    s.reply(530, "User %s access denied.", s.user_name.c_str());
    refuse(s, "account disabled");
  } else if ((s.account.bignore || check_limits(s)) && build_view(s)) {
    s.guest = s.account.bguest;
    s.refresh_client_line();
    s.state = SessionState::LoggedIn;
    if (s.fs.current_dir.m) {
      send_message_files(s, s.fs.home_path, {kWelcomeFile, kMessageFile}, 230);
    }
    s.reply(230, "User %s logged in.", s.user_name.c_str());
    s.log(log::Level::Security, "User \"%s\" logged in.", log::escape_for_log(s.user_name).c_str());
    s.failed_passwords = 0;
    return;
  }

  if (s.failed_passwords >= kMaxLoginAttempts) s.close(CloseReason::TooManyAttempts);
}

void cmd_rein(Session& s, std::string&) {
  s.user_name = "[unknown]";
  s.rest_offset = 0;
  s.state = SessionState::WaitingForUser;
  s.type = TransferType::Ascii;
  s.drop_data();
  s.fs.reset();
  s.link_source.reset();
  s.fs.links = nullptr;
  s.account = store::UserRecord{};
  s.tmpl = store::TemplateRecord{};
  s.has_template = false;
  s.user_exists = false;
  s.ip_allowed = false;
  s.guest = false;
  s.unique_store = false;
  clear_rename(s);
  s.refresh_client_line();
  s.reply(220, "%s FTP Server (%s %s) ready.", s.host().host_name().c_str(), store::kShortName,
          store::kVersion);
  s.log(log::Level::Actions, "Reinitialized server state.");
  // Under TLS the reply leaves protected, then the TLS session closes in both directions and
  // the connection is plain text again, as before AUTH.
  s.end_tls();
}

}  // namespace qorda::session
