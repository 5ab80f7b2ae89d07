#include "store/settings.h"

#include <array>
#include <initializer_list>

#include "platform/registry.h"
#include "store/keys.h"

namespace qorda::store {

namespace {

using platform::Registry;
using platform::Status;
using S = ServerSettings;

constexpr SettingField U(const char* name, uint32_t S::*m, SettingPage page) {
  return {name, m, nullptr, page, false, 0, 0};
}
constexpr SettingField R(const char* name, uint32_t S::*m, SettingPage page, uint32_t lo,
                         uint32_t hi) {
  return {name, m, nullptr, page, true, lo, hi};
}
constexpr SettingField T(const char* name, std::string S::*m, SettingPage page) {
  return {name, nullptr, m, page, false, 0, 0};
}

constexpr SettingPage kSetup = SettingPage::Setup;
constexpr SettingPage kBanners = SettingPage::Banners;
constexpr SettingPage kExtras = SettingPage::Extras;
constexpr SettingPage kNone = SettingPage::None;

// The values of the Setup key in the order they are loaded at start-up.
constexpr std::array kFields = {
    R("iport", &S::iport, kSetup, 0, 65535),
    R("imaxc", &S::imaxc, kSetup, 0, 2500),
    R("imaxt", &S::imaxt, kSetup, 0, 86400),
    R("ilogls", &S::ilogls, kSetup, 0, 6),
    R("iloglf", &S::iloglf, kSetup, 0, 6),
    T("szlogf", &S::szlogf, kSetup),
    T("szmsg1", &S::szmsg1, kBanners),
    T("szmsg2", &S::szmsg2, kBanners),
    T("szfont", &S::szfont, kExtras),
    T("szhostname", &S::szhostname, kExtras),
    U("ifsiz", &S::ifsiz, kExtras),
    R("bhide", &S::bhide, kSetup, 0, 1),
    R("bminhide", &S::bminhide, kSetup, 0, 1),
    R("benabledns", &S::benabledns, kSetup, 0, 1),
    R("boverride", &S::boverride, kExtras, 0, 1),
    R("benablepasv", &S::benablepasv, kSetup, 0, 1),
    R("benablethird", &S::benablethird, kSetup, 0, 1),
    R("benablerpass", &S::benablerpass, kSetup, 0, 1),
    R("ballowip", &S::ballowip, kSetup, 0, 1),
    U("ispace", &S::ispace, kSetup),
    R("busefont", &S::busefont, kExtras, 0, 1),
    R("ballowpasv", &S::ballowpasv, kSetup, 0, 1),
    R("ballowport", &S::ballowport, kSetup, 0, 1),
    R("bnoicon", &S::bnoicon, kNone, 0, 1),
    R("bnorestore", &S::bnorestore, kNone, 0, 1),
};

// Each page's values, in the order the page writes them.
constexpr std::array kSetupOrder = {
    "ilogls",      "iloglf",     "iport",      "imaxc",        "imaxt",        "szlogf",
    "benablepasv", "ballowip",   "ispace",     "benablethird", "benablerpass", "bhide",
    "bminhide",    "benabledns", "ballowport", "ballowpasv",
};
constexpr std::array kBannersOrder = {"szmsg1", "szmsg2"};
constexpr std::array kExtrasOrder = {"busefont", "szfont", "ifsiz", "boverride", "szhostname"};

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

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

const SettingField* find_setting(std::string_view name) {
  for (const SettingField& f : kFields) {
    if (iequals(f.name, name)) return &f;
  }
  return nullptr;
}

void ServerSettings::load(Registry& reg) {
  const ServerSettings defaults;
  for (const SettingField& f : kFields) {
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
