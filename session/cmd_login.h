// The handlers of logging in and moving around: USER, PASS and REIN, and the directory and file
// commands (CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO; the X forms share them).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qorda::vfs {
class LinkSource;
struct FsState;
}  // namespace qorda::vfs

namespace qorda::store {
struct LimitDecision;
}  // namespace qorda::store

namespace qorda::session {

class Session;

// A session is closed after this many failed passwords (REIN does not reset the count).
inline constexpr int kMaxLoginAttempts = 3;

void cmd_user(Session& s, std::string& arg);
void cmd_pass(Session& s, std::string& arg);
void cmd_rein(Session& s, std::string& arg);

void cmd_cwd(Session& s, std::string& arg);
void cmd_cdup(Session& s, std::string& arg);
void cmd_pwd(Session& s, std::string& arg);
void cmd_mkd(Session& s, std::string& arg);
void cmd_rmd(Session& s, std::string& arg);
void cmd_dele(Session& s, std::string& arg);
void cmd_rnfr(Session& s, std::string& arg);
void cmd_rnto(Session& s, std::string& arg);

// Forgets a pending rename.
void clear_rename(Session& s);

// What login makes of a user's file permission lines (shared with `qorda check`).
enum class LoginView {
  NoPermissions,  // neither every drive nor any root: the login is refused
  Home,           // the home directory is the one the lines name
  NoHome,         // no usable home line: the home is the fall-back choose_home picks
};
// Builds the session's view of the drives from the account's and the template's permission
// lines (template_szfp nullopt: no template), with links looked up in `links`, and picks the
// home on the startup drive. `fs` is reset first; with NoPermissions it holds no roots.
LoginView build_login_view(vfs::FsState& fs, std::string_view user_szfp,
                           std::optional<std::string_view> template_szfp,
                           const vfs::LinkSource* links);

// The reason a refused login logs for a client limit, such as "limit: 2 clients using '[u]
// alice'". The texts are put in as given (escape them for a log).
std::string limit_refusal_reason(const store::LimitDecision& d, std::string_view user,
                                 std::string_view sztemp, std::string_view addr);

}  // namespace qorda::session
