// The SITE subcommands that touch the account: SITE STAT (transfer statistics and ratios) and
// SITE PASS (a user changes the own password). The SITE word itself and SITE HELP are with the
// other informational commands.
#include <string>

#include "log/log.h"
#include "platform/registry.h"
#include "session/command_table.h"
#include "session/session.h"
#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"

namespace qorda::session {

namespace {

// The account record of the session's user, read again from the store; false when it is gone
// (or the store cannot be read).
bool reread_account(Session& s, store::UserRecord& rec, bool main_fields) {
  platform::Registry* reg = s.host().registry();
  if (reg == nullptr) return false;
  rec.name = s.account.name.empty() ? s.user_name : s.account.name;
  return store::read_user(*reg, rec, {.main_fields = main_fields, .counters = true});
}

}  // namespace

void site_stat(Session& s, std::string&) {
  const bool session_figures = s.has_template && s.tmpl.bratio && s.tmpl.bsession;
  s.reply(-211, "User '%s' status:", s.user_name.c_str());
  store::UserRecord rec;
  if (!reread_account(s, rec, false)) {
    s.reply(0, "    Error accessing statistics.");
  } else {
    // The counters are unsigned; they are shown as such so that large totals never turn
    // negative.
    const uint32_t ul_files = session_figures ? s.files_stored : rec.iulfiles;
    const uint32_t ul_kb = session_figures ? s.kb_stored : rec.iulkb;
    const uint32_t dl_files = session_figures ? s.files_retrieved : rec.idlfiles;
    const uint32_t dl_kb = session_figures ? s.kb_retrieved : rec.idlkb;
    s.reply(0, "    Stored, files:     %u", ul_files);
    s.reply(0, "    Stored, kbytes:    %u", ul_kb);
    s.reply(0, "    Retrieved, files:  %u", dl_files);
    s.reply(0, "    Retrieved, kbytes: %u", dl_kb);
    if (s.has_template && s.tmpl.bratio) {
      if (s.tmpl.bfiles) {
        s.reply(0, "    UL/DL ratio, files:  (%u/%u)", s.tmpl.iufiles, s.tmpl.idfiles);
      }
      if (s.tmpl.bbytes) {
        s.reply(0, "    UL/DL ratio, kbytes: (%u/%u)", s.tmpl.iubytes, s.tmpl.idbytes);
      }
    }
  }
  s.reply(211, "End of status");
}

void site_pass(Session& s, std::string& arg) {
  if (s.host().settings().benablerpass == 0) {
    s.reply(530, "%s: Permission denied.", "SITE PASS");
    return;
  }
  const std::string encoded = store::encode_password(arg);
  // Read and write back in one transaction, so that an account deleted since login, or deleted
  // by another process meanwhile, does not come back to life with only a password in it: the
  // change is refused and nothing is written. A store that refuses the write is not reported
  // as a saved password either.
  bool saved = false;
  if (platform::Registry* reg = s.host().registry()) {
    auto tx = reg->begin();
    store::UserRecord rec;
    if (tx && reread_account(s, rec, true)) {
      rec.szpass = encoded;
      saved = store::write_user(*reg, rec, {.main_fields = true, .counters = 0}) && (*tx)->commit();
    }
  }
  if (!saved) {
    s.reply(530, "%s: Permission denied.", "SITE PASS");
    return;
  }
  s.reply(200, "Password saved.");
  s.log(log::Level::Security, "changed password.");
}

}  // namespace qorda::session
