// Shared pieces of the administration commands: option parsing, the editors' checks of
// permission, IP and client-limit lines given on the command line, and the command line's own
// words for what the shared checks refuse (the editors keep theirs).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/commands.h"
#include "platform/registry.h"
#include "store/limits.h"
#include "store/records.h"

namespace qorda::app::acct {

struct OptionDef {
  const char* name;  // without the leading "--"
  bool takes_value;
};

struct Option {
  std::string name;
  std::string value;
};

struct ParsedArgs {
  std::vector<std::string> positional;
  std::vector<Option> options;  // in command-line order
  bool help = false;
};

// Parses "--name VALUE", "--name=VALUE" and "--flag" against `defs`; "--" ends the options.
// Returns an error message for an unknown option or a missing value.
std::optional<std::string> parse_args(const Args& args, const std::vector<OptionDef>& defs,
                                      ParsedArgs& out);

// A command-line permission line, "[o] rwdlcxhms PATH" or "rwdlcxhms PATH" (nine flag columns,
// each its letter or "-"), checked as the editor does; the result carries `origin`. On refusal
// `error` holds the message.
std::optional<std::string> permission_arg(std::string_view text, char origin, std::string& error);
// A command-line IP line, "[o] a MASK" or "a MASK" / "d MASK".
std::optional<std::string> ip_arg(std::string_view text, char origin, std::string& error);
// A command-line limit range "HH:MM,HH:MM,TOTAL,PERUSER,PERIP,BOTH" (-1: no limit of its own).
std::optional<store::LimitRange> limit_arg(std::string_view text, std::string& error);
// An unsigned 32-bit decimal number.
std::optional<uint32_t> number_arg(std::string_view text);

// Setup values the displays need, with their defaults.
uint32_t setup_dword(platform::Registry& reg, const char* name, uint32_t def);

// One subcommand of `user` or `template`; `edit_options` says whether it takes the record options.
struct Subcommand {
  const char* name;
  int (*run)(const Context&, const ParsedArgs&);
  bool edit_options;
};

// Runs `qorda FAMILY SUB ...`: help, the lookup of SUB in `subs`, option parsing (`edit_defs` for
// subcommands that edit a record, none otherwise) and the unknown-subcommand error.
int dispatch_subcommand(const Context& ctx, const Args& args, const char* family, const char* usage,
                        const std::vector<Subcommand>& subs,
                        const std::vector<OptionDef>& edit_defs);

// Prints "qorda CMD: MESSAGE" on standard error and returns `status`.
int fail(const std::string& cmd, const std::string& message, int status);

// Why a name was refused, as a command-line message; `kind` is "user" or "template", `names`
// the names of that kind in the store (a taken name is shown as stored).
std::string name_fault_message(store::NameFault fault, std::string_view kind, std::string_view name,
                               const std::vector<std::string>& names);

// "DOING: why", for a store of the home that `cmd` (such as "user add") could not open or write.
// When access was denied, the reason names the user id that owns the home (or the store or its
// journal) and how to run the command as that user, instead of the store's own words.
std::string store_failure(const Context& ctx, const std::string& cmd, const std::string& doing,
                          const platform::Status& st);
inline std::string store_open_message(const Context& ctx, const std::string& cmd,
                                      const platform::Status& st) {
  return store_failure(ctx, cmd, "cannot open the store", st);
}

}  // namespace qorda::app::acct
