#include "store/settings.h"

#include <array>
#include <initializer_list>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "store/keys.h"

namespace qorda::store {

namespace {

using platform::Registry;
using platform::Status;
using S = ServerSettings;

constexpr SettingField U(const char* name, uint32_t S::*m, SettingPage page, const char* help) {
  return {name, m, nullptr, page, false, 0, 0, help};
}
constexpr SettingField R(const char* name, uint32_t S::*m, SettingPage page, uint32_t lo,
                         uint32_t hi, const char* help) {
  return {name, m, nullptr, page, true, lo, hi, help};
}
constexpr SettingField T(const char* name, std::string S::*m, SettingPage page, const char* help) {
  return {name, nullptr, m, page, false, 0, 0, help};
}

constexpr SettingPage kSetup = SettingPage::Setup;
constexpr SettingPage kBanners = SettingPage::Banners;
constexpr SettingPage kExtras = SettingPage::Extras;
constexpr SettingPage kNone = SettingPage::None;

// The values of the Setup key in the order they are loaded at start-up.
constexpr std::array kFields = {
    R("iport", &S::iport, kSetup, 0, 65535, "TCP port the server listens on (0: none)"),
    R("imaxc", &S::imaxc, kSetup, 0, 2500, "most clients logged in at once"),
    R("imaxt", &S::imaxt, kSetup, 0, 86400, "idle seconds before a client is dropped"),
    R("ilogls", &S::ilogls, kSetup, 0, 6, "log level of serve's output (6: debug)"),
    R("iloglf", &S::iloglf, kSetup, 0, 6, "log level of the file szlogf (0: no file)"),
    T("szlogf", &S::szlogf, kSetup, "log file: a drive path or an absolute path"),
    T("szmsg1", &S::szmsg1, kBanners, "welcome banner, sent before login"),
    T("szmsg2", &S::szmsg2, kBanners, "goodbye banner, sent when a client quits"),
    T("szfont", &S::szfont, kExtras, "font face of the log and lists (GUI only)"),
    T("szhostname", &S::szhostname, kExtras, "site name announced while boverride is 1"),
    U("ifsiz", &S::ifsiz, kExtras, "font size in tenths of a point (GUI only)"),
    R("bhide", &S::bhide, kSetup, 0, 1, "start with the window hidden (GUI only)"),
    R("bminhide", &S::bminhide, kSetup, 0, 1, "minimising the window hides it (GUI only)"),
    R("benabledns", &S::benabledns, kSetup, 0, 1, "look up the host name of each client"),
    R("boverride", &S::boverride, kExtras, 0, 1, "announce szhostname, not the host name"),
    R("benablepasv", &S::benablepasv, kSetup, 0, 1, "passive mode at all (0: PASV gets 425)"),
    R("benablethird", &S::benablethird, kSetup, 0, 1, "PORT may name another host (third party)"),
    R("benablerpass", &S::benablerpass, kSetup, 0, 1, "users may change passwords (SITE PASS)"),
    R("ballowip", &S::ballowip, kSetup, 0, 1, "default IP action: 1 allow, 0 deny"),
    U("ispace", &S::ispace, kSetup, "kilobytes uploads leave free on a drive"),
    R("busefont", &S::busefont, kExtras, 0, 1, "use szfont and ifsiz (GUI only)"),
    R("ballowpasv", &S::ballowpasv, kSetup, 0, 1, "PASV command accepted"),
    R("ballowport", &S::ballowport, kSetup, 0, 1, "PORT command accepted"),
    R("bnoicon", &S::bnoicon, kNone, 0, 1, "no tray icon (GUI only)"),
    R("bnorestore", &S::bnorestore, kNone, 0, 1, "tray icon events ignored (GUI only)"),
};

constexpr std::array kTlsFields = {
    R("btls", &S::btls, kNone, 0, 1, "FTP over TLS: AUTH TLS, PBSZ and PROT (0: off)"),
    T("sztlscert", &S::sztlscert, kNone, "TLS certificate (PEM): a drive path or an absolute path"),
    T("sztlskey", &S::sztlskey, kNone, "TLS private key (PEM): a drive path or an absolute path"),
    R("brequiretls", &S::brequiretls, kNone, 0, 1, "USER is refused before AUTH TLS"),
    R("brequiretlsdata", &S::brequiretlsdata, kNone, 0, 1, "transfers are refused without PROT P"),
};

// Each page's values, in the order the page writes them.
constexpr std::array kSetupOrder = {
    "ilogls",      "iloglf",     "iport",      "imaxc",        "imaxt",        "szlogf",
    "benablepasv", "ballowip",   "ispace",     "benablethird", "benablerpass", "bhide",
    "bminhide",    "benabledns", "ballowport", "ballowpasv",
};
constexpr std::array kBannersOrder = {"szmsg1", "szmsg2"};
constexpr std::array kExtrasOrder = {"busefont", "szfont", "ifsiz", "boverride", "szhostname"};

Status write_field(Registry& reg, const ServerSettings& s, const SettingField& f) {
  if (f.is_text()) return reg.set_sz(kSetupKey, f.name, s.*(f.s));
  return reg.set_dword(kSetupKey, f.name, s.*(f.u));
}

// Writes the named values in the given order as one transaction, so that a failed write leaves
// the page's values as they were instead of half saved.
template <size_t N>
Status save_values(Registry& reg, const ServerSettings& s,
                   const std::array<const char*, N>& names) {
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (Status st = reg.create_key(kSetupKey); !st) return st;
  for (const char* name : names) {
    const SettingField* f = find_setting(name);
    if (!f) return Status::error(EINVAL, std::string("unknown setting ") + name);
    if (Status st = write_field(reg, s, *f); !st) return st;
  }
  return (*tx)->commit();
}

}  // namespace

std::span<const SettingField> setting_fields() {
  return kFields;
}

std::span<const SettingField> tls_setting_fields() {
  return kTlsFields;
}

const SettingField* find_setting(std::string_view name) {
  for (std::span<const SettingField> table : {setting_fields(), tls_setting_fields()}) {
    for (const SettingField& f : table) {
      if (platform::ascii_iequal(f.name, name)) return &f;
    }
  }
  return nullptr;
}

void ServerSettings::load(Registry& reg) {
  for (std::span<const SettingField> table : {setting_fields(), tls_setting_fields()}) {
    load_fields(reg, table);
  }
}

void ServerSettings::load_fields(Registry& reg, std::span<const SettingField> fields) {
  const ServerSettings defaults;
  for (const SettingField& f : fields) {
    auto v = reg.query(kSetupKey, f.name);
    // The stored type is not checked: an integer is whatever 4 bytes are stored, a text is the
    // stored bytes up to the first zero byte.
    std::string raw = v ? v->raw() : std::string();
    if (f.is_text()) {
      if (!v) {
        this->*(f.s) = defaults.*(f.s);
      } else {
        size_t nul = raw.find('\0');
        this->*(f.s) = nul == std::string::npos ? raw : raw.substr(0, nul);
      }
    } else {
      if (!v || raw.size() != 4) {
        this->*(f.u) = defaults.*(f.u);
      } else {
        const auto* b = reinterpret_cast<const unsigned char*>(raw.data());
        this->*(f.u) =
            uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
      }
    }
  }
}

Status ServerSettings::save_setup(Registry& reg) const {
  return save_values(reg, *this, kSetupOrder);
}

Status ServerSettings::save_banners(Registry& reg) const {
  return save_values(reg, *this, kBannersOrder);
}

Status ServerSettings::save_extras(Registry& reg) const {
  return save_values(reg, *this, kExtrasOrder);
}

Status ServerSettings::save_value(Registry& reg, std::string_view name) const {
  const SettingField* f = find_setting(name);
  if (!f) return Status::error(EINVAL, "unknown setting " + std::string(name));
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (Status st = reg.create_key(kSetupKey); !st) return st;
  if (Status st = write_field(reg, *this, *f); !st) return st;
  return (*tx)->commit();
}

std::optional<ValueFault> parse_setting_number(const SettingField& f, std::string_view text,
                                               uint32_t* out) {
  bool digits = !text.empty();
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) return ValueFault::NotANumber;
  uint64_t v = 0;
  for (char c : text) {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    // Beyond 32 bits: out of range for a ranged value, no number at all for the others.
    if (v > UINT32_MAX) return f.ranged ? ValueFault::OutOfRange : ValueFault::NotANumber;
  }
  if (!f.in_range(static_cast<uint32_t>(v))) return ValueFault::OutOfRange;
  *out = static_cast<uint32_t>(v);
  return std::nullopt;
}

ServerSettings& settings() {
  static ServerSettings s;
  return s;
}

StartupInfo& startup() {
  static StartupInfo s;
  return s;
}

Status create_key_tree(Registry& reg) {
  auto tx = reg.begin();
  if (!tx) return tx.status();
  for (const char* key : {kSetupKey, kUsersKey, kTemplatesKey, kLinksKey}) {
    if (Status st = reg.create_key(key); !st) return st;
  }
  return (*tx)->commit();
}

}  // namespace qorda::store
