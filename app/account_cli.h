// Shared pieces of the administration commands: option parsing, the editors' checks of
// permission, IP and client-limit lines given on the command line, and the command line's own
// words for what the shared checks refuse (the editors keep theirs).
#pragma once

#include <cstdint>
#include <memory>
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

// The --perm / --no-perms and --ip / --no-ips options the user and template editors share. The
// lines given, checked with the record's origin letter, replace the record's list; --no-perms and
// --no-ips drop the lines given before them; a list none of whose options is given keeps its lines.
class AccessLines {
 public:
  explicit AccessLines(char origin) : origin_(origin) {}
  // True when `o` is one of these options. A refused line leaves its message in `error` (which
  // is empty otherwise).
  bool take(const Option& o, std::string& error);
  // Replaces the lists that options were given for.
  void apply(std::string& szfp, std::string& szip) const;

 private:
  char origin_;
  std::vector<std::string> perms_, ips_;
  bool perms_given_ = false, ips_given_ = false;
};

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

// Opens the home's store for reading and writing; nullptr after reporting why it cannot be.
std::unique_ptr<platform::Registry> open_or_report(const Context& ctx, const std::string& cmd);

// The spelling `names` (as the store lists them) hold for `name`, found ignoring case; nullopt
// when it is not among them.
std::optional<std::string> stored_name(const std::vector<std::string>& names,
                                       std::string_view name);

// Prints each non-empty line of an LF-separated list, indented by two blanks.
void print_lines(std::string_view text);

enum class RecordKind { User, Template };

// The editors' checks of the name a user or template record is saved under (`old_name` is the
// name being edited, empty for a new record). Returns 0, or kExitUsage after reporting why the
// name is refused.
int check_new_name(platform::Registry& reg, const std::string& cmd, RecordKind kind,
                   const std::string& name, const std::string& old_name);

// Why a name was refused, as a command-line message; `kind` is "user" or "template", `names`
// the names of that kind in the store (a taken name is shown as stored).
std::string name_fault_message(store::NameFault fault, std::string_view kind, std::string_view name,
                               const std::vector<std::string>& names);

// "DOING: why", for a store of the home that `cmd` (such as "user add") could not open or write.
// When access was denied, the reason names the user id that owns the home (or the store or its
// journal) and how to run the command as that user, instead of the store's own words.
std::string store_failure(const Context& ctx, const std::string& cmd, const std::string& doing,
                          const platform::Status& st);
// kExitOk when the store did its part of `cmd`, otherwise kExitFailure after reporting
// "DOING: why" as store_failure words it.
int store_result(const Context& ctx, const std::string& cmd, const std::string& doing,
                 const platform::Status& st);
inline std::string store_open_message(const Context& ctx, const std::string& cmd,
                                      const platform::Status& st) {
  return store_failure(ctx, cmd, "cannot open the store", st);
}

}  // namespace qorda::app::acct
