// qorda drive list|set|del: the table that maps drive letters to local directories.
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
#include "platform/registry.h"
#include "platform/volume.h"
#include "store/drives.h"
#include "store/keys.h"

namespace qorda::app {

namespace {

constexpr const char* kDriveUsage =
    "usage: qorda drive list\n"
    "       qorda drive set LETTER DIR\n"
    "       qorda drive del LETTER\n"
    "\n"
    "Virtual paths name a drive first (/c:/ftp/pub/); each drive letter maps to a local\n"
    "directory. While no drive is set, c: is HOME/c. DIR must be an existing directory\n"
    "that is not the home and does not hold it (FTP users could reach the store).\n"
    "A running server applies a change on SIGHUP.\n";

// Said after each change: the server reads the table at start and on SIGHUP only, so a change
// that seems to do nothing is not a mystery. The words of `qorda set --help`.
constexpr const char* kReloadNote = "A running server applies it on SIGHUP.\n";

// "c", "C" or "c:" -> 'c'; 0 when the text is no drive letter.
char parse_letter(const std::string& s) {
  if (s.empty() || s.size() > 2 || (s.size() == 2 && s[1] != ':')) return 0;
  const char c = platform::ascii_lower(s[0]);
  return (c >= 'a' && c <= 'z') ? c : 0;
}

enum class HomeReach { None, IsHome, HoldsHome };

// Whether the directory `dir` (which exists) is the home or holds it, compared by identity
// (device and inode) along the home's real path, so that symbolic links and other names of the
// same directory (a bind mount) are seen through.
HomeReach reach_of(const std::filesystem::path& dir, const std::string& home) {
  std::error_code ec;
  // The home need not exist yet; its existing part is resolved.
  std::filesystem::path p = std::filesystem::weakly_canonical(home, ec);
  if (ec) p = home;
  for (bool first = true;; first = false) {
    if (std::filesystem::equivalent(dir, p, ec) && !ec) {
      return first ? HomeReach::IsHome : HomeReach::HoldsHome;
    }
    if (!p.has_relative_path()) return HomeReach::None;  // the root was compared last
    p = p.parent_path();
  }
}

bool table_is_default(platform::Registry& reg) {
  platform::Result<uint32_t> n = reg.count_values(store::kDrivesKey);
  return !n || *n == 0;
}

int drive_list(const Context& ctx) {
  auto reg = open_store(ctx, platform::Registry::Mode::ReadOnly);
  if (!reg) {
    return acct::fail("drive list", acct::store_open_message(ctx, "drive list", reg.status()),
                      kExitFailure);
  }
  if (table_is_default(**reg)) {
    std::printf("c: %s/c (default)\n", ctx.home.c_str());
    return kExitOk;
  }
  auto vals = (*reg)->values(store::kDrivesKey);
  if (!vals) return kExitOk;
  for (const platform::RegValue& v : *vals) {
    platform::DriveTable t;
    bool usable = v.type == platform::RegType::Sz && v.name.size() == 1 && t.set(v.name[0], v.sz);
    std::printf("%s: %s%s\n", v.name.c_str(), v.sz.c_str(), usable ? "" : " (ignored: not usable)");
  }
  return kExitOk;
}

int drive_set(const Context& ctx, char letter, const std::string& dir_arg) {
  const std::string cmd = "drive set";
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(dir_arg, ec).lexically_normal();
  if (ec || dir_arg.empty()) {
    std::fprintf(stderr, "qorda drive set: invalid directory '%s'\n", dir_arg.c_str());
    return kExitUsage;
  }
  if (!std::filesystem::is_directory(dir, ec)) {
    std::fprintf(stderr, "qorda drive set: '%s' is not an existing directory\n",
                 dir.string().c_str());
    return kExitUsage;
  }
  std::string text = dir.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  // SECURITY: a drive that reaches the home would let every FTP user with rights on it download
  // the store (the accounts and their password encodings) and replace it.
  if (HomeReach r = reach_of(dir, ctx.home); r != HomeReach::None) {
    std::fprintf(stderr,
                 "qorda drive set: '%s' %s the home %s, whose store keeps the accounts and their "
                 "passwords: FTP users could download or replace it. Choose a directory outside "
                 "the home (one inside it, such as %s/c, is fine).\n",
                 text.c_str(), r == HomeReach::IsHome ? "is" : "holds", ctx.home.c_str(),
                 ctx.home.c_str());
    return kExitUsage;
  }
  auto reg = open_store(ctx);
  if (!reg) {
    return acct::fail(cmd, acct::store_open_message(ctx, cmd, reg.status()), kExitFailure);
  }
  auto tx = (*reg)->begin();
  if (!tx) {
    return acct::fail(cmd, acct::store_failure(ctx, cmd, "cannot write the drive", tx.status()),
                      kExitFailure);
  }
  platform::Status s = (*reg)->create_key(store::kDrivesKey);
  // The first drive set keeps the default c: that was in use, so setting d: does not take
  // drive c: away.
  if (s && letter != 'c' && table_is_default(**reg)) {
    s = (*reg)->set_sz(store::kDrivesKey, "c", ctx.home + "/c");
  }
  if (s) s = (*reg)->set_sz(store::kDrivesKey, std::string(1, letter), text);
  if (s) s = (*tx)->commit();
  if (!s) {
    return acct::fail(cmd, acct::store_failure(ctx, cmd, "cannot write the drive", s),
                      kExitFailure);
  }
  std::fputs(kReloadNote, stdout);
  return kExitOk;
}

int drive_del(const Context& ctx, char letter) {
  const std::string cmd = "drive del";
  auto reg = open_store(ctx);
  if (!reg) {
    return acct::fail(cmd, acct::store_open_message(ctx, cmd, reg.status()), kExitFailure);
  }
  platform::Status s = (*reg)->delete_value(store::kDrivesKey, std::string(1, letter));
  if (!s) {
    if (s.err == ENOENT) {
      std::fprintf(stderr, "qorda drive del: drive %c: is not set\n", letter);
      return kExitFailure;
    }
    return acct::fail(cmd, acct::store_failure(ctx, cmd, "cannot delete the drive", s),
                      kExitFailure);
  }
  std::fputs(kReloadNote, stdout);
  return kExitOk;
}

}  // namespace

int run_drive(const Context& ctx, const Args& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kDriveUsage, stdout);
      return kExitOk;
    }
  }
  const std::string sub = args.empty() ? "" : args[0];
  size_t want = sub == "list" ? 1 : sub == "set" ? 3 : sub == "del" ? 2 : 0;
  if (want == 0 || args.size() != want) {
    std::fputs(kDriveUsage, stderr);
    return kExitUsage;
  }
  if (sub == "list") return drive_list(ctx);
  char letter = parse_letter(args[1]);
  if (letter == 0) {
    std::fprintf(stderr, "qorda drive %s: '%s' is not a drive letter (a to z)\n", sub.c_str(),
                 args[1].c_str());
    return kExitUsage;
  }
  if (sub == "set") return drive_set(ctx, letter, args[2]);
  return drive_del(ctx, letter);
}

}  // namespace qorda::app
