// The informational and parameter commands: HELP, STAT (without argument), SYST, NOOP, TYPE,
// STRU, MODE, ALLO, and the SITE word with its help.
#include <cctype>
#include <string>

#include "session/cmd_listing.h"
#include "session/command_table.h"
#include "session/data_link.h"
#include "session/session.h"
#include "store/keys.h"

namespace qorda::session {

namespace {

const char kContactNotice[] = "Direct comments about this server to its administrator.";

char upper_at(const std::string& s, size_t i) {
  return i < s.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(s[i]))) : '\0';
}

// "WORD " or "WORD*", padded with spaces to the next multiple of 8 characters.
void append_entry(std::string& line, const CommandRow& row) {
  std::string e = std::string(row.word) + (row.implemented ? " " : "*");
  e.append((8 - e.size() % 8) % 8, ' ');
  line += e;
}

void reply_syntax(Session& s, const char* prefix, const CommandRow& row) {
  std::vector<std::string_view> lines = split_banner(row.syntax);
  if (lines.empty()) lines.emplace_back("");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text(lines[i]);
    s.reply(i + 1 == lines.size() ? 214 : -214, "Syntax: %s%s %s", prefix, row.word, text.c_str());
  }
}

}  // namespace

void cmd_help(Session& s, std::string& arg) {
  if (arg.empty()) {
    s.reply(-214, "The following %scommands are recognized (* => unimplemented.)", "");
    for (size_t r = 0; r < 5; ++r) {
      std::string line;
      for (size_t i = r; i < kCommandCount; i += 5) append_entry(line, command_table()[i]);
      s.reply(0, "   %s", line.c_str());
    }
    s.reply(214, "%s", kContactNotice);
    return;
  }
  std::string rest;
  std::string word = split_word(arg, &rest);
  Command idx = find_command(word);
  if (idx == Command::Site) {
    site_help(s, rest);
  } else if (idx == Command::NotFound) {
    s.reply(500, "Unknown %scommand %s.", "", word.c_str());
  } else {
    reply_syntax(s, "", command_row(idx));
  }
}

void site_help(Session& s, std::string& arg) {
  if (arg.empty()) {
    s.reply(-214, "The following %scommands are recognized (* => unimplemented.)", "SITE ");
    std::string line;
    for (size_t i = 0; i < kSiteCommandCount; ++i) append_entry(line, site_table()[i]);
    s.reply(0, "   %s", line.c_str());
    s.reply(214, "%s", kContactNotice);
    return;
  }
  std::string word = split_word(arg, nullptr);
  SiteCommand idx = find_site_command(word);
  if (idx == SiteCommand::NotFound) {
    s.reply(500, "Unknown %scommand %s.", "SITE ", word.c_str());
    return;
  }
  reply_syntax(s, "SITE ", site_row(idx));
}

void cmd_site(Session& s, std::string& arg) {
  std::string rest;
  std::string word = split_word(arg, &rest);
  SiteCommand idx = find_site_command(word);
  if (idx == SiteCommand::NotFound) {
    s.reply(500, "'%s%s': command not understood.", "SITE ", word.c_str());
    return;
  }
  const CommandRow& row = site_row(idx);
  if (!row.implemented) {
    s.reply(502, "%s%s command not implemented", "SITE ", row.word);
  } else if (row.login && s.state != SessionState::LoggedIn) {
    s.reply(530, "Please login with USER and PASS.");
  } else if (row.arg == ArgRule::Required && rest.empty()) {
    s.reply(501, "'SITE %s': command not understood.", row.word);
  } else if (row.handler == nullptr) {
    s.reply(502, "%s%s command not implemented", "SITE ", row.word);
  } else {
    row.handler(s, rest);
  }
}

void cmd_stat(Session& s, std::string& arg) {
  if (!arg.empty()) {
    // STAT with a path is a listing on the control connection.
    stat_listing(s, arg);
    return;
  }
  const std::string host = s.host().host_name();
  s.reply(-211, "%s FTP server status:", host.c_str());
  s.reply(0, "    %s %s", store::kShortName, store::kVersion);
  if (!s.remote_host.empty() && std::isdigit(static_cast<unsigned char>(s.remote_host[0]))) {
    s.reply(0, "    Connected to %s", s.remote_host.c_str());
  } else {
    s.reply(0, "    Connected to %s (%s)", s.remote_host.c_str(), s.peer_addr.dotted().c_str());
  }
  switch (s.state) {
    case SessionState::WaitingForUser:
      s.reply(0, "    Waiting for user name");
      break;
    case SessionState::WaitingForPassword:
      s.reply(0, "    Waiting for password");
      break;
    case SessionState::LoggedIn:
      if (s.guest) {
        s.reply(0, "    Logged in as guest user '%s'", s.user_name.c_str());
      } else {
        s.reply(0, "    Logged in as user '%s'", s.user_name.c_str());
      }
      break;
    default:
      break;
  }
  s.reply(0, "    TYPE: %s; STRUcture: File; transfer MODE: Stream",
          s.type == TransferType::Image ? "Image" : "ASCII, FORM: Nonprint");
  reply_data_connection_line(s);
  s.reply(211, "End of status");
}

void cmd_syst(Session& s, std::string&) {
  s.reply(215, "UNIX Type: L8");
}

void cmd_noop(Session& s, std::string&) {
  s.reply(200, "%s command successful.", "NOOP");
}

void cmd_type(Session& s, std::string& arg) {
  switch (upper_at(arg, 0)) {
    case 'A':
      if (upper_at(arg, 1) == ' ' && upper_at(arg, 2) != 'N') {
        s.reply(504, "Form must be N.");
        return;
      }
      s.type = TransferType::Ascii;
      s.reply(200, "Type set to A.");
      return;
    case 'E':
      s.reply(504, "Type E not implemented.");
      return;
    case 'I':
      s.type = TransferType::Image;
      s.reply(200, "Type set to I.");
      return;
    case 'L':
      if (upper_at(arg, 1) == ' ' && parse_decimal(std::string_view(arg).substr(2)) != 8) {
        s.reply(504, "Byte size must be 8.");
        return;
      }
      s.type = TransferType::Image;
      s.reply(200, "Type set to L (byte size 8).");
      return;
    default:
      s.reply(500, "'%s%s': command not understood.", "", arg.c_str());
      return;
  }
}

void cmd_stru(Session& s, std::string& arg) {
  if (upper_at(arg, 0) == 'F') {
    s.reply(200, "STRU F ok.");
  } else {
    s.reply(504, "Unimplemented STRU type.");
  }
}

void cmd_mode(Session& s, std::string& arg) {
  if (upper_at(arg, 0) == 'S') {
    s.reply(200, "MODE S ok.");
  } else {
    s.reply(504, "Unimplemented MODE type.");
  }
}

void cmd_allo(Session& s, std::string&) {
  s.reply(200, "ALLO command ignored.");
}

}  // namespace qorda::session
