#include "session/command_table.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "session/cmd_listing.h"
#include "session/cmd_login.h"
#include "session/cmd_transfer.h"

namespace qorda::session {

namespace {

using A = ArgRule;

// Rows whose handler is null are recognised and shown by HELP, but their implementation has not
// been built yet; the dispatcher answers them 502.
const CommandRow kCommands[kCommandCount] = {
    {"USER", true, "<sp> username", false, A::Required, cmd_user},
    {"PASS", true, "<sp> password", false, A::MayBeEmpty, cmd_pass},
    {"ACCT", false, "unimplemented", false, A::None, nullptr},
    {"CWD", true, "[ <sp> directory]", true, A::MayBeEmpty, cmd_cwd},
    {"CDUP", true, "", true, A::Ignored, cmd_cdup},
    {"SMNT", false, "unimplemented", false, A::None, nullptr},
    {"QUIT", true, "", false, A::Ignored, cmd_quit},
    {"REIN", true, "", false, A::Ignored, cmd_rein},
    {"PORT", true, "<sp> h1,h2,h3,h4,p1,p2", false, A::Required, cmd_port},
    {"PASV", true, "", true, A::Ignored, cmd_pasv},
    {"TYPE", true, "<sp> A [ <sp> N ] | I | L <sp> N", false, A::Required, cmd_type},
    {"STRU", true, "<sp> F", false, A::Required, cmd_stru},
    {"MODE", true, "<sp> S", false, A::Required, cmd_mode},
    {"RETR", true, "<sp> pathname", true, A::Required, cmd_retr},
    {"STOR", true, "<sp> pathname", true, A::Required, cmd_stor},
    {"STOU", true, "", true, A::Ignored, cmd_stou},
    {"APPE", false, "<sp> pathname", false, A::None, nullptr},
    {"ALLO", true, "<sp> bytes [ <sp> R <sp> bytes ]", true, A::Required, cmd_allo},
    {"REST", true, "<sp> position", true, A::Required, cmd_rest},
    {"RNFR", true, "<sp> filename", true, A::Required, cmd_rnfr},
    {"RNTO", true, "<sp> filename", true, A::Required, cmd_rnto},
    {"ABOR", true, "", true, A::Ignored, cmd_abor},
    {"DELE", true, "<sp> pathname", true, A::Required, cmd_dele},
    {"RMD", true, "<sp> directory", true, A::Required, cmd_rmd},
    {"MKD", true, "<sp> directory", true, A::Required, cmd_mkd},
    {"PWD", true, "", true, A::Ignored, cmd_pwd},
    {"LIST", true, "[ <sp> pathname ]", true, A::MayBeEmpty, cmd_list},
    {"NLST", true, "[ <sp> pathname ]", true, A::MayBeEmpty, cmd_nlst},
    {"SITE", true, "", false, A::Required, cmd_site},
    {"SYST", true, "", false, A::Ignored, cmd_syst},
    {"STAT", true, "[ <sp> pathname ]", false, A::MayBeEmpty, cmd_stat},
    {"HELP", true, "[ <sp> commandname ]", false, A::MayBeEmpty, cmd_help},
    {"NOOP", true, "", false, A::Ignored, cmd_noop},
    {"SIZE", true, "", true, A::Required, cmd_size},
    {"MDTM", true, "", true, A::Required, cmd_mdtm},
    {"XCWD", true, "[ <sp> directory]", true, A::MayBeEmpty, cmd_cwd},
    {"XCUP", true, "", true, A::Ignored, cmd_cdup},
    {"XRMD", true, "<sp> directory", true, A::Required, cmd_rmd},
    {"XMKD", true, "<sp> directory", true, A::Required, cmd_mkd},
    {"XPWD", true, "", true, A::Ignored, cmd_pwd},
};

// The SITE rows follow the same form; their login and argument rules are applied by SITE itself.
const CommandRow kSiteCommands[kSiteCommandCount] = {
    {"STAT", true, "", true, A::Ignored, site_stat},
    {"HELP", true, "[ <sp> commandname ]", false, A::MayBeEmpty, site_help},
    {"PASS", true, "<sp> new password", true, A::Required, site_pass},
};

int find_in(const CommandRow* rows, size_t n, std::string_view word) {
  for (size_t i = 0; i < n; ++i) {
    if (word == rows[i].word) return static_cast<int>(i);
  }
  return static_cast<int>(n);
}

}  // namespace

const CommandRow* command_table() {
  return kCommands;
}
const CommandRow* site_table() {
  return kSiteCommands;
}
const CommandRow& command_row(Command c) {
  return kCommands[static_cast<size_t>(c)];
}
const CommandRow& site_row(SiteCommand c) {
  return kSiteCommands[static_cast<size_t>(c)];
}

Command find_command(std::string_view word) {
  return static_cast<Command>(find_in(kCommands, kCommandCount, word));
}
SiteCommand find_site_command(std::string_view word) {
  return static_cast<SiteCommand>(find_in(kSiteCommands, kSiteCommandCount, word));
}

std::string split_word(std::string& text, std::string* rest) {
  size_t sp = text.find(' ');
  std::string word = text.substr(0, sp);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (rest != nullptr) *rest = sp == std::string::npos ? std::string() : text.substr(sp + 1);
  return word;
}

namespace {

// Whether `text` starts with the word `word` (ASCII case ignored) followed by a space or its end.
bool starts_with_word(std::string_view text, std::string_view word) {
  if (text.size() < word.size() || (text.size() > word.size() && text[word.size()] != ' ')) {
    return false;
  }
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

}  // namespace

std::string loggable_line(std::string_view line) {
  // SECURITY: passwords must not reach the log file (which may lie on a drive that users can
  // download), the screen or the examine view.
  size_t word_end = 0;
  if (starts_with_word(line, "PASS")) {
    word_end = 4;
  } else if (starts_with_word(line, "SITE")) {
    size_t i = 4;
    while (i < line.size() && line[i] == ' ') ++i;
    if (!starts_with_word(line.substr(i), "PASS")) return std::string(line);
    word_end = i + 4;
  } else {
    return std::string(line);
  }
  if (word_end >= line.size()) return std::string(line);
  return std::string(line.substr(0, word_end)) + " ***";
}

long parse_decimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // SECURITY: a client can send any number of digits; saturate rather than overflow.
    if (v > (LONG_MAX - 9) / 10) {
      v = LONG_MAX;
    } else {
      v = v * 10 + (text[i] - '0');
    }
  }
  return neg ? -v : v;
}

}  // namespace qorda::session
