// The program's subcommands. Each takes the resolved home directory and its own arguments
// (the words after the command name) and returns the process exit status.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/result.h"

namespace qorda::app {

using Args = std::vector<std::string>;

struct Context {
  std::string home;  // holds qorda.db and, by default, drive c:
};

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command could not do its work
inline constexpr int kExitUsage = 2;    // bad arguments or bad input

// The home a program runs on: `given` (--home) or, when that is empty, $QORDA_HOME, else
// /var/lib/qorda for root, else $XDG_DATA_HOME/qorda (~/.local/share/qorda); made absolute
// against the working directory, without trailing slashes.
std::string resolve_home(const std::string& given);

// Path of the store file in a home.
std::string store_path(const Context& ctx);

// What open_store does when the home has no store: only init creates one.
enum class MissingStore { Refuse, Create };

// Opens the store of a home. A missing store is refused (ENOENT, with a message naming the init
// command) and nothing is created, unless `missing` is Create and the mode is not ReadOnly: then
// the home directory (mode 0700) and the store are created. An empty, foreign or corrupt store
// file is refused (see Registry::open) with a message that ends in how to recover.
platform::Result<std::unique_ptr<platform::Registry>> open_store(
    const Context& ctx, platform::Registry::Mode mode = platform::Registry::Mode::ReadWrite,
    MissingStore missing = MissingStore::Refuse);

// qorda link list|add|del (cmd_link.cpp).
int run_link(const Context& ctx, const Args& args);
// qorda drive list|set|del (cmd_drive.cpp).
int run_drive(const Context& ctx, const Args& args);
// qorda get [NAME] / qorda set NAME VALUE: the server settings (app/cmd_settings.cpp).
int run_get(const Context& ctx, const Args& args);
int run_set(const Context& ctx, const Args& args);
// qorda reg export|import|query|set|delete: the registry store in its text form.
int run_reg(const Context& ctx, const Args& args);
// qorda user list|show|add|set|del|passwd (app/cmd_user.cpp).
int run_user(const Context& ctx, const Args& args);
// qorda check USER [--ip A.B.C.D] [--at HH:MM] [PATH...]: a login and paths explained
// (app/cmd_check.cpp).
int run_check(const Context& ctx, const Args& args);
// qorda template list|show|add|set|del (app/cmd_template.cpp).
int run_template(const Context& ctx, const Args& args);

// qorda tls [show] / qorda tls init [--force]: FTP over TLS (app/cmd_tls.cpp).
int run_tls(const Context& ctx, const Args& args);

// qorda serve [--port N]: the server without GUI (app/cmd_serve.cpp).
int run_serve(const Context& ctx, const Args& args);

// qorda gui [--home DIR] [--port N]: runs qorda-gui, the administration window, from the
// directory of this program (app/cmd_gui.cpp). Plain `qorda` with a display available runs it
// through run_gui_without_command. Both return only when qorda-gui could not be started.
int run_gui(const Context& ctx, const Args& args);
int run_gui_without_command(const Context& ctx);

// The running server through its control socket (app/cmd_control.cpp): qorda status, who,
// kick ID [--disable] [--ban], log [--lines N] [--follow], stop [--when-idle], switch on|off;
// each with --json for the server's answer lines as they are.
int run_status(const Context& ctx, const Args& args);
int run_who(const Context& ctx, const Args& args);
int run_kick(const Context& ctx, const Args& args);
int run_log(const Context& ctx, const Args& args);
int run_stop(const Context& ctx, const Args& args);
int run_switch(const Context& ctx, const Args& args);

// qorda init [--demo]: creates a home, with --demo a working anonymous FTP site
// (app/cmd_init.cpp).
int run_init(const Context& ctx, const Args& args);

}  // namespace qorda::app
