// ServerSettings: the process-wide record of the server's switches, limits, texts and display
// preferences, one field per value of the Setup key. Loaded once at start-up; readers use the
// fields directly; the three page saves write their own values back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace qorda::platform {
class Registry;
}

namespace qorda::store {

struct SettingField;

struct ServerSettings {
  uint32_t iport = 21;
  uint32_t imaxc = 20;
  uint32_t imaxt = 900;
  uint32_t ilogls = 4;
  uint32_t iloglf = 0;
  std::string szlogf = "c:\\qorda.log";
  std::string szmsg1;  // welcome banner; default chosen in settings.cpp
  std::string szmsg2;  // goodbye banner
  std::string szfont = "MS Sans Serif";
  std::string szhostname;
  uint32_t ifsiz = 100;
  uint32_t bhide = 0;
  uint32_t bminhide = 0;
  uint32_t benabledns = 1;
  uint32_t boverride = 0;
  uint32_t benablepasv = 1;
  uint32_t benablethird = 1;
  uint32_t benablerpass = 1;
  uint32_t ballowip = 1;
  uint32_t ispace = 1024;
  uint32_t busefont = 0;
  uint32_t ballowpasv = 1;
  uint32_t ballowport = 1;
  uint32_t bnoicon = 0;
  uint32_t bnorestore = 0;
  // FTP over TLS (AUTH TLS), off by default; with it off the server knows no TLS command.
  uint32_t btls = 0;
  std::string sztlscert;         // certificate (PEM): a drive path or an absolute path
  std::string sztlskey;          // its private key (PEM), named the same way
  uint32_t brequiretls = 0;      // USER is refused before AUTH TLS
  uint32_t brequiretlsdata = 0;  // transfers are refused without PROT P

  // Fills every field from the Setup key; a missing value, or one of the wrong size, silently
  // takes its default. Never writes.
  void load(platform::Registry& reg);
  // The three page saves, each writing exactly its own values in its fixed order.
  platform::Status save_setup(platform::Registry& reg) const;
  platform::Status save_banners(platform::Registry& reg) const;
  platform::Status save_extras(platform::Registry& reg) const;
  // Writes one value alone (for the values no page writes, set by hand). EINVAL for an unknown
  // name.
  platform::Status save_value(platform::Registry& reg, std::string_view name) const;

 private:
  void load_fields(platform::Registry& reg, std::span<const SettingField> fields);
};

// Which settings page writes a value back. `None`: no page has a control for it (bnoicon,
// bnorestore); it is only ever set by hand.
enum class SettingPage { Setup, Banners, Extras, None };

// One value of the Setup key, in the order the record is loaded. Exactly one of `u` and `s` is
// set. `min`/`max` are the range the owning page accepts; `ranged` is false for values the page
// takes unchecked (any unsigned number, any text). `help` says in one short line what it does.
struct SettingField {
  const char* name;
  uint32_t ServerSettings::*u;
  std::string ServerSettings::*s;
  SettingPage page;
  bool ranged;
  uint32_t min;
  uint32_t max;
  const char* help;

  bool is_text() const { return s != nullptr; }
  // Whether the owning page accepts the number (any number when the field is not ranged).
  bool in_range(uint32_t v) const { return !ranged || (v >= min && v <= max); }
};

// Why a number typed for a numeric setting is refused: not digits only (or, for a value without
// a range, more than 32 bits), or outside the field's range.
enum class ValueFault { NotANumber, OutOfRange };
// Reads a numeric setting typed into its page: decimal digits only, then the range check.
std::optional<ValueFault> parse_setting_number(const SettingField& f, std::string_view text,
                                               uint32_t* out);

// Every value of the record, in load order, without the TLS values.
std::span<const SettingField> setting_fields();
// The TLS values (btls, sztlscert, sztlskey, brequiretls, brequiretlsdata), loaded after the
// others. No page writes them; `qorda get/set NAME` and `qorda tls` handle them.
std::span<const SettingField> tls_setting_fields();
// The field of that name among both tables (compared without regard to ASCII case), or null.
const SettingField* find_setting(std::string_view name);

// The process-wide settings record.
ServerSettings& settings();

// Items filled at start-up beside the record.
struct StartupInfo {
  int64_t start_time = 0;    // seconds since the epoch
  uint32_t start_tick = 0;   // first value of the engine clock
  char startup_drive = 'c';  // lower-case drive letter
};
StartupInfo& startup();

// Creates the key chain Software / Zolvex Software / Cindervale FTP Daemon with Setup, Users,
// Templates and Links under it.
platform::Status create_key_tree(platform::Registry& reg);

}  // namespace qorda::store
