#include "store/records.h"

#include "platform/ascii.h"
#include "store/keys.h"

namespace qorda::store {
namespace {

using platform::Registry;
using platform::RegType;
using platform::RegValue;
using platform::Result;
using platform::Status;

// The values of one key, looked up by name ignoring case.
class ValueSet {
 public:
  explicit ValueSet(std::vector<RegValue> v) : values_(std::move(v)) {}

  // Text of a REG_SZ value; the default when it is missing or of another type.
  void text(std::string_view name, std::string& out, std::string_view def) const {
    const RegValue* v = find(name);
    out = (v && v->type == RegType::Sz) ? v->sz : std::string(def);
  }
  void dword(std::string_view name, uint32_t& out, uint32_t def) const {
    const RegValue* v = find(name);
    out = (v && v->type == RegType::Dword) ? v->dword : def;
  }
  void flag(std::string_view name, bool& out) const {
    uint32_t v = 0;
    dword(name, v, 0);
    out = v != 0;
  }

 private:
  const RegValue* find(std::string_view name) const {
    for (const RegValue& v : values_) {
      if (platform::ascii_iequal(v.name, name)) return &v;
    }
    return nullptr;
  }
  std::vector<RegValue> values_;
};

// Reads every value of a record's key; nullopt when the key is missing or unreadable.
std::optional<ValueSet> read_values(Registry& reg, const std::string& key) {
  auto values = reg.values(key);  // fails (ENOENT) for a missing key: one read, one snapshot
  if (!values) return std::nullopt;
  return ValueSet(std::move(values.value));
}

// Runs `write` inside one transaction; nothing is stored unless every write succeeded.
template <class F>
Status in_transaction(Registry& reg, F&& write) {
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (Status st = write(); !st) return st;  // the transaction rolls back when destroyed
  return (*tx)->commit();
}

Result<std::vector<std::string>> list_names(Registry& reg, const char* parent) {
  if (!reg.key_exists(parent)) return std::vector<std::string>{};
  return reg.subkeys(parent);
}

// Writes a user's values inside the caller's transaction.
Status put_user(Registry& reg, const UserRecord& rec, UserWrite what) {
  if (auto bad = check_record_name(rec.name)) return Status::error(EINVAL, *bad);
  const std::string key = user_key(rec.name);
  if (Status st = reg.create_key(key); !st) return st;
  if (what.main_fields) {
    for (const auto& [name, on] : {std::pair{"bdisable", rec.bdisable},
                                   {"bignore", rec.bignore},
                                   {"bguest", rec.bguest},
                                   {"bratio", rec.bratio}}) {
      if (Status st = reg.set_dword(key, name, on ? 1 : 0); !st) return st;
    }
    for (const auto& [name, text] :
         {std::pair<const char*, const std::string*>{"szpass", &rec.szpass},
          {"sztemp", &rec.sztemp},
          {"szip", &rec.szip},
          {"szfp", &rec.szfp},
          {"szcomment", &rec.szcomment}}) {
      if (Status st = reg.set_sz(key, name, *text); !st) return st;
    }
  }
  for (const auto& [bit, name, value] : {std::tuple{kCountUlFiles, "iulfiles", rec.iulfiles},
                                         {kCountDlFiles, "idlfiles", rec.idlfiles},
                                         {kCountUlKb, "iulkb", rec.iulkb},
                                         {kCountDlKb, "idlkb", rec.idlkb}}) {
    if (what.counters & bit) {
      if (Status st = reg.set_dword(key, name, value); !st) return st;
    }
  }
  return Status::success();
}

// Writes a template's eleven values inside the caller's transaction.
Status put_template(Registry& reg, const TemplateRecord& rec) {
  if (auto bad = check_record_name(rec.name)) return Status::error(EINVAL, *bad);
  const std::string key = template_key(rec.name);
  if (Status st = reg.create_key(key); !st) return st;
  for (const auto& [name, v] : {std::pair<const char*, uint32_t>{"bratio", rec.bratio},
                                {"bsession", rec.bsession},
                                {"bfiles", rec.bfiles},
                                {"bbytes", rec.bbytes},
                                {"iubytes", rec.iubytes},
                                {"idbytes", rec.idbytes},
                                {"iufiles", rec.iufiles},
                                {"idfiles", rec.idfiles}}) {
    if (Status st = reg.set_dword(key, name, v); !st) return st;
  }
  for (const auto& [name, text] : {std::pair<const char*, const std::string*>{"szfp", &rec.szfp},
                                   {"szip", &rec.szip},
                                   {"szcl", &rec.szcl}}) {
    if (Status st = reg.set_sz(key, name, *text); !st) return st;
  }
  return Status::success();
}

}  // namespace

std::string user_key(std::string_view name) {
  return std::string(kUsersKey) + "\\" + std::string(name);
}

std::string template_key(std::string_view name) {
  return std::string(kTemplatesKey) + "\\" + std::string(name);
}

std::optional<NameFault> record_name_fault(std::string_view name) {
  if (name.empty()) return NameFault::Blank;
  if (name.size() > kMaxRecordName) return NameFault::TooLong;
  for (char ch : name) {
    // SECURITY: a backslash would address a key below or beside the record's own key.
    if (ch == '\\') return NameFault::Backslash;
    unsigned char u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7f) return NameFault::ControlChar;
  }
  return std::nullopt;
}

std::optional<std::string> check_record_name(std::string_view name) {
  if (auto fault = record_name_fault(name)) return editor_name_message(*fault, false);
  return std::nullopt;
}

std::optional<NameFault> new_user_name_fault(Registry& reg, std::string_view name,
                                             std::string_view old_name) {
  if (auto fault = record_name_fault(name)) return fault;
  if (platform::ascii_iequal(name, "ftp")) return NameFault::FtpAlias;
  if (!platform::ascii_iequal(name, old_name) && user_exists(reg, name)) return NameFault::Taken;
  return std::nullopt;
}

std::optional<NameFault> new_template_name_fault(Registry& reg, std::string_view name,
                                                 std::string_view old_name) {
  if (auto fault = record_name_fault(name)) return fault;
  if (!platform::ascii_iequal(name, old_name) && template_exists(reg, name))
    return NameFault::Taken;
  return std::nullopt;
}

std::string editor_name_message(NameFault fault, bool editing) {
  switch (fault) {
    case NameFault::Blank:
      return "User name must not be blank.";
    case NameFault::TooLong:
      return "Name is longer than " + std::to_string(kMaxRecordName) + " characters.";
    case NameFault::Backslash:
      return "Name must not contain a backslash.";
    case NameFault::ControlChar:
      return "Name must not contain control characters.";
    case NameFault::FtpAlias:
      return editing ? "The account \"ftp\" is automatically aliased to \"anonymous\". Use that "
                       "account to specify access for anonymous ftp."
                     : "The account \"ftp\" is automatically aliased to \"anonymous\", use that "
                       "account to specify access for anonymous ftp.";
    case NameFault::Taken:
      return "Can't rename to an existing user.";
  }
  return {};
}

bool read_user(Registry& reg, UserRecord& rec, UserParts parts) {
  if (check_record_name(rec.name)) return false;
  auto values = read_values(reg, user_key(rec.name));
  if (!values) return false;
  if (parts.main_fields) {
    values->text("szfp", rec.szfp, "");
    values->text("szip", rec.szip, "");
    values->text("szpass", rec.szpass, "");
    values->text("sztemp", rec.sztemp, kNoTemplateRef);
    values->text("szcomment", rec.szcomment, "");
    values->flag("bdisable", rec.bdisable);
    values->flag("bignore", rec.bignore);
    values->flag("bguest", rec.bguest);
    values->flag("bratio", rec.bratio);
  }
  if (parts.counters) {
    values->dword("iulfiles", rec.iulfiles, 0);
    values->dword("iulkb", rec.iulkb, 0);
    values->dword("idlfiles", rec.idlfiles, 0);
    values->dword("idlkb", rec.idlkb, 0);
  }
  return true;
}

Status write_user(Registry& reg, const UserRecord& rec, UserWrite what) {
  return in_transaction(reg, [&] { return put_user(reg, rec, what); });
}

bool read_template(Registry& reg, TemplateRecord& rec) {
  if (check_record_name(rec.name)) return false;
  auto values = read_values(reg, template_key(rec.name));
  if (!values) return false;
  values->text("szfp", rec.szfp, "");
  values->text("szip", rec.szip, "");
  values->text("szcl", rec.szcl, "");
  values->flag("bratio", rec.bratio);
  values->flag("bsession", rec.bsession);
  values->flag("bfiles", rec.bfiles);
  values->flag("bbytes", rec.bbytes);
  values->dword("iubytes", rec.iubytes, 1);
  values->dword("idbytes", rec.idbytes, 5);
  values->dword("iufiles", rec.iufiles, 1);
  values->dword("idfiles", rec.idfiles, 5);
  return true;
}

Status write_template(Registry& reg, const TemplateRecord& rec) {
  return in_transaction(reg, [&] { return put_template(reg, rec); });
}

Status write_user_and_template(Registry& reg, const UserRecord* user, UserWrite what,
                               const TemplateRecord* tmpl) {
  return in_transaction(reg, [&]() -> Status {
    if (tmpl) {
      if (Status st = put_template(reg, *tmpl); !st) return st;
    }
    if (user) return put_user(reg, *user, what);
    return Status::success();
  });
}

Status rename_user(Registry& reg, std::string_view old_name, const UserRecord& rec) {
  if (auto bad = check_record_name(old_name)) return Status::error(EINVAL, *bad);
  return in_transaction(reg, [&]() -> Status {
    if (!platform::ascii_iequal(old_name, rec.name)) {
      if (Status st = reg.delete_key(user_key(old_name)); !st && st.err != ENOENT) return st;
    }
    return put_user(reg, rec, {.main_fields = true, .counters = kCountAll});
  });
}

Status rename_template(Registry& reg, std::string_view old_name, const TemplateRecord& rec) {
  if (auto bad = check_record_name(old_name)) return Status::error(EINVAL, *bad);
  return in_transaction(reg, [&]() -> Status {
    if (!platform::ascii_iequal(old_name, rec.name)) {
      if (Status st = reg.delete_key(template_key(old_name)); !st && st.err != ENOENT) return st;
    }
    return put_template(reg, rec);
  });
}

std::string template_ref(std::string_view name) {
  return "[t] " + std::string(name);
}

bool has_template(std::string_view sztemp) {
  return sztemp.size() > 1 && sztemp[1] != 's';
}

std::optional<std::string> template_name(std::string_view sztemp) {
  if (!has_template(sztemp) || sztemp.size() <= 4) return std::nullopt;
  std::string name(sztemp.substr(4));
  if (check_record_name(name)) return std::nullopt;
  return name;
}

std::optional<TemplateRecord> read_user_template(Registry& reg, const UserRecord& user) {
  auto name = template_name(user.sztemp);
  if (!name) return std::nullopt;
  TemplateRecord t;
  t.name = *name;
  if (!read_template(reg, t)) return std::nullopt;
  return t;
}

std::string account_for_login(std::string_view typed) {
  return platform::ascii_iequal(typed, "ftp") ? std::string("anonymous") : std::string(typed);
}

std::string ratio_description(const TemplateRecord* t) {
  if (!t || !t->bratio || (!t->bfiles && !t->bbytes)) return "none specified.";
  std::string files =
      "files: (" + std::to_string(t->iufiles) + "/" + std::to_string(t->idfiles) + ")";
  std::string bytes =
      "bytes: (" + std::to_string(t->iubytes) + "/" + std::to_string(t->idbytes) + ")";
  if (t->bfiles && t->bbytes) return files + ", " + bytes + ".";
  return (t->bfiles ? files : bytes) + ".";
}

platform::Result<std::vector<std::string>> list_users(Registry& reg) {
  return list_names(reg, kUsersKey);
}

platform::Result<std::vector<std::string>> list_templates(Registry& reg) {
  return list_names(reg, kTemplatesKey);
}

bool user_exists(Registry& reg, std::string_view name) {
  return !check_record_name(name) && reg.key_exists(user_key(name));
}

bool template_exists(Registry& reg, std::string_view name) {
  return !check_record_name(name) && reg.key_exists(template_key(name));
}

Status delete_user(Registry& reg, std::string_view name) {
  if (auto bad = check_record_name(name)) return Status::error(EINVAL, *bad);
  return reg.delete_key(user_key(name));
}

Status delete_template(Registry& reg, std::string_view name) {
  if (auto bad = check_record_name(name)) return Status::error(EINVAL, *bad);
  return reg.delete_key(template_key(name));
}

}  // namespace qorda::store
