// The command table and the SITE table: constant rows {word, implemented, syntax text, login
// rule, argument rule, handler}. A row's index is the command's number; "not found" is the
// number of rows. HELP prints the syntax texts exactly as they stand here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qorda::session {

class Session;

// A handler gets the session and the argument (everything after the single space that follows
// the word; it may modify it in place).
using Handler = void (*)(Session& s, std::string& arg);

enum class ArgRule { None, Required, MayBeEmpty, Ignored };

struct CommandRow {
  const char* word;
  bool implemented;
  const char* syntax;
  bool login;       // answered 530 unless logged in
  ArgRule arg;      // Required: an empty argument is answered 501
  Handler handler;  // null while the command's handler has not been built yet (answered 502)
};

enum class Command : int {
  User,
  Pass,
  Acct,
  Cwd,
  Cdup,
  Smnt,
  Quit,
  Rein,
  Port,
  Pasv,
  Type,
  Stru,
  Mode,
  Retr,
  Stor,
  Stou,
  Appe,
  Allo,
  Rest,
  Rnfr,
  Rnto,
  Abor,
  Dele,
  Rmd,
  Mkd,
  Pwd,
  List,
  Nlst,
  Site,
  Syst,
  Stat,
  Help,
  Noop,
  Size,
  Mdtm,
  Xcwd,
  Xcup,
  Xrmd,
  Xmkd,
  Xpwd,
  NotFound  // 40
};

enum class SiteCommand : int { Stat, Help, Pass, NotFound };

inline constexpr size_t kCommandCount = static_cast<size_t>(Command::NotFound);
inline constexpr size_t kSiteCommandCount = static_cast<size_t>(SiteCommand::NotFound);

const CommandRow* command_table();  // kCommandCount rows
const CommandRow* site_table();     // kSiteCommandCount rows
// The row of a command that was found (not NotFound).
const CommandRow& command_row(Command c);
const CommandRow& site_row(SiteCommand c);

// Exact comparison with the table's words (the word is upper-cased by the caller).
Command find_command(std::string_view word);
SiteCommand find_site_command(std::string_view word);

// Upper-cases the first word of `text` (up to the first space) in place and splits it off: returns
// the word, and leaves in `rest` what follows the single space after it ("" when none).
std::string split_word(std::string& text, std::string* rest);

// A command line as the log and the examine view show it: the argument of PASS and of SITE PASS
// (a password) becomes "***"; every other line is returned as it is.
std::string loggable_line(std::string_view line);

// Handlers of this layer, wired into the rows.
void cmd_quit(Session& s, std::string& arg);
void cmd_rest(Session& s, std::string& arg);
void cmd_help(Session& s, std::string& arg);
void cmd_stat(Session& s, std::string& arg);
void cmd_syst(Session& s, std::string& arg);
void cmd_noop(Session& s, std::string& arg);
void cmd_type(Session& s, std::string& arg);
void cmd_stru(Session& s, std::string& arg);
void cmd_mode(Session& s, std::string& arg);
void cmd_allo(Session& s, std::string& arg);

// SITE HELP (also reached as HELP SITE ...): the SITE table or one SITE row's syntax.
void site_help(Session& s, std::string& arg);
void cmd_site(Session& s, std::string& arg);
// SITE STAT and SITE PASS (their login and argument rules are applied by SITE).
void site_stat(Session& s, std::string& arg);
void site_pass(Session& s, std::string& arg);

// Decimal conversion as the C library's atoi: leading white space, an optional sign, digits up
// to the first non-digit; no digits gives 0. Saturates instead of overflowing.
long parse_decimal(std::string_view text);

}  // namespace qorda::session
