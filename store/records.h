// User and template records: one registry key per login name under Users and one per template
// under Templates. The server reads them at login and when statistics change; the
// administration commands read and write them. Names are case-insensitive (key names are).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/result.h"

namespace qorda::store {

// The template reference a user without template holds.
inline constexpr const char* kNoTemplateRef = "[s] 'none'";

// Longest user or template name the editors can list (their name buffer holds 64 bytes).
inline constexpr size_t kMaxRecordName = 63;

// A user account. Field names are the registry value names.
struct UserRecord {
  std::string name;                     // the key name (login name)
  std::string szfp;                     // permission lines, origin u, LF separated
  std::string szip;                     // IP lines, origin u, LF separated
  std::string szpass;                   // the 10-character password encoding
  std::string sztemp = kNoTemplateRef;  // "[t] name" or "[s] 'none'"
  std::string szcomment;                // notes
  bool bdisable = false;                // logins refused
  bool bignore = false;                 // client limits not applied ("priority logins")
  bool bguest = false;                  // guest account: any password accepted as e-mail address
  bool bratio = false;                  // ratios not enforced for this user
  uint32_t iulfiles = 0;                // files stored
  uint32_t iulkb = 0;                   // kilobytes stored
  uint32_t idlfiles = 0;                // files retrieved
  uint32_t idlkb = 0;                   // kilobytes retrieved

  bool operator==(const UserRecord&) const = default;
};

// Counter mask bits of UserWrite.
inline constexpr unsigned kCountUlFiles = 1;  // iulfiles
inline constexpr unsigned kCountDlFiles = 2;  // idlfiles
inline constexpr unsigned kCountUlKb = 4;     // iulkb
inline constexpr unsigned kCountDlKb = 8;     // idlkb
inline constexpr unsigned kCountAll = 15;

// A template: permissions, IP entries, client limits and ratios shared by several users.
struct TemplateRecord {
  std::string name;
  std::string szfp;       // permission lines, origin t
  std::string szip;       // IP lines, origin t
  std::string szcl;       // client-limit lines "HH:MM,HH:MM,%d,%d,%d,%d"
  bool bratio = false;    // ratios apply to the template's users
  bool bsession = false;  // ratios count this session's transfers, not the stored totals
  bool bfiles = false;    // the file-count ratio applies
  bool bbytes = false;    // the kilobyte ratio applies
  uint32_t iubytes = 1;   // upload side of the kilobyte ratio
  uint32_t idbytes = 5;   // download side of the kilobyte ratio
  uint32_t iufiles = 1;   // upload side of the file ratio
  uint32_t idfiles = 5;   // download side of the file ratio

  bool operator==(const TemplateRecord&) const = default;
};

// Key paths of a user's and a template's record.
std::string user_key(std::string_view name);
std::string template_key(std::string_view name);

// Why a name cannot be given to a user or template record. The first four break the rules of a
// key name; FtpAlias and Taken are the editors' rules for a name being saved.
enum class NameFault { Blank, TooLong, Backslash, ControlChar, FtpAlias, Taken };

// Checks a user or template name before it becomes a key name: not empty, at most
// kMaxRecordName characters, no backslash (the key path separator) and no control characters.
std::optional<NameFault> record_name_fault(std::string_view name);
// The same check with the editors' message, or nullopt when the name is usable.
std::optional<std::string> check_record_name(std::string_view name);

// The editors' checks of the name a user record is saved under: a usable key name, not "ftp"
// (any case: the alias of "anonymous") and not another user's name. `old_name` is the name being
// edited (empty for a new record); the same name in other letter case stays the same record.
std::optional<NameFault> new_user_name_fault(platform::Registry& reg, std::string_view name,
                                             std::string_view old_name);
// The same for a template (there is no "ftp" rule).
std::optional<NameFault> new_template_name_fault(platform::Registry& reg, std::string_view name,
                                                 std::string_view old_name);
// The text of the editors' error box for a refused name; `editing` selects the wording of the
// alias message shown when an existing account is edited or cloned.
std::string editor_name_message(NameFault fault, bool editing);

// Which parts of a user record read_user fills. Callers name every field.
struct UserParts {
  bool main_fields;  // the four flags and five texts
  bool counters;     // the four statistics
};

// Reads the record named rec.name. False (rec unchanged) when the key does not exist, the name
// cannot be a key name, or the store cannot be read. Only the parts asked for are filled; a
// missing value, or one of the wrong type, takes its default.
bool read_user(platform::Registry& reg, UserRecord& rec, UserParts parts);

// Which parts of a user record write_user writes. Callers name every field. Counters the caller
// did not change stay out of the mask, so they keep the values another writer stored meanwhile.
struct UserWrite {
  bool main_fields;   // bdisable, bignore, bguest, bratio, szpass, sztemp, szip, szfp, szcomment
  unsigned counters;  // the statistics to write: kCountUlFiles ... bits
};

// Writes the parts `what` names of the record in one transaction, creating the key when needed.
platform::Status write_user(platform::Registry& reg, const UserRecord& rec, UserWrite what);

bool read_template(platform::Registry& reg, TemplateRecord& rec);
// Writes all eleven values in one transaction, creating the key when needed.
platform::Status write_template(platform::Registry& reg, const TemplateRecord& rec);

// Writes a user (when not null, as write_user) and a template (when not null) in one transaction.
platform::Status write_user_and_template(platform::Registry& reg, const UserRecord* user,
                                         UserWrite what, const TemplateRecord* tmpl);
// Renaming: in one transaction, deletes the key of old_name (unless it equals rec.name ignoring
// case, which is the same key) and writes the whole record under rec.name.
platform::Status rename_user(platform::Registry& reg, std::string_view old_name,
                             const UserRecord& rec);
platform::Status rename_template(platform::Registry& reg, std::string_view old_name,
                                 const TemplateRecord& rec);

// The template reference "[t] name" of a template name.
std::string template_ref(std::string_view name);
// True when a reference names a template (its second character is not "s"). A session has a
// template only when this holds and the template can be read.
bool has_template(std::string_view sztemp);
// The name a reference holds (the text from index 4 on), or nullopt when the reference names no
// template or a name that cannot be a key name.
std::optional<std::string> template_name(std::string_view sztemp);
// The user's template when its reference names one that exists.
std::optional<TemplateRecord> read_user_template(platform::Registry& reg, const UserRecord& user);

// The account a typed login name selects: "ftp", in any case, is an alias of "anonymous".
std::string account_for_login(std::string_view typed);

// The user editor's description of a template's ratios: "files: (%d/%d), bytes: (%d/%d).",
// "files: (%d/%d)." or "bytes: (%d/%d)." when ratios are used and at least one applies,
// otherwise (also without template) "none specified.".
std::string ratio_description(const TemplateRecord* tmpl);

// Names as stored (case kept), in case-insensitive order; an empty list when the parent key is
// missing.
platform::Result<std::vector<std::string>> list_users(platform::Registry& reg);
platform::Result<std::vector<std::string>> list_templates(platform::Registry& reg);
bool user_exists(platform::Registry& reg, std::string_view name);
bool template_exists(platform::Registry& reg, std::string_view name);
platform::Status delete_user(platform::Registry& reg, std::string_view name);
platform::Status delete_template(platform::Registry& reg, std::string_view name);

}  // namespace qorda::store
