// The handlers of logging in and moving around: USER, PASS and REIN, and the directory and file
// commands (CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO; the X forms share them).
#pragma once

#include <string>

namespace qorda::session {

class csock_c;

// A session is closed after this many failed passwords (REIN does not reset the count).
inline constexpr int kMaxLoginAttempts = 3;

void cmd_user(csock_c& s, std::string& arg);
void cmd_pass(csock_c& s, std::string& arg);
void cmd_rein(csock_c& s, std::string& arg);

void cmd_cwd(csock_c& s, std::string& arg);
void cmd_cdup(csock_c& s, std::string& arg);
void cmd_pwd(csock_c& s, std::string& arg);
void cmd_mkd(csock_c& s, std::string& arg);
void cmd_rmd(csock_c& s, std::string& arg);
void cmd_dele(csock_c& s, std::string& arg);
void cmd_rnfr(csock_c& s, std::string& arg);
void cmd_rnto(csock_c& s, std::string& arg);

// Forgets a pending rename.
void clear_rename(csock_c& s);

}  // namespace qorda::session
