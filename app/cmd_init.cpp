// qorda init [--demo]: creates a home (the store with its key tree, drive c: at HOME/c). With
// --demo the home is a working anonymous FTP site: sample files under /c:/pub/, an upload-only
// /c:/incoming/, the guest account "anonymous" (also reached as "ftp"), one password account
// whose generated password is printed once, a welcome banner, and port 2121 so that no
// privileges are needed. A home whose store already exists is left exactly as it is; an empty
// store file (a store that lost its contents) is replaced by a new store.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/fileio.h"
#include "platform/random.h"
#include "platform/registry.h"
#include "store/keys.h"
#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"
#include "vfs/permission.h"

namespace qorda::app {

namespace {

constexpr const char* kUsage =
    "usage: qorda init [--demo]\n"
    "\n"
    "Creates the home: the store HOME/qorda.db with its configuration keys, and drive c:\n"
    "at HOME/c. The server settings keep their defaults (port 21) and there are no accounts.\n"
    "\n"
    "  --demo   make the home a working anonymous FTP site on port 2121:\n"
    "             /pub/       sample files, readable and listable by everyone\n"
    "             /incoming/  anonymous may upload here, but not list or download\n"
    "           the guest account \"anonymous\" (also \"ftp\"; any e-mail address as password),\n"
    "           the account \"demo\" with full access to drive c: and a generated password\n"
    "           that is printed once, and a welcome banner.\n"
    "\n"
    "When HOME already holds a store, nothing is changed: init says so and exits 0.\n"
    "An empty store file (a store that lost its contents) is replaced by a new store;\n"
    "any other file that is not a usable store is left alone and init exits 1.\n"
    "Exit status: 0 when the home is ready, 1 when it could not be created, 2 for bad\n"
    "arguments.\n";

// Sample files are small and created only where no file of the name exists yet.
constexpr unsigned kDirMode = 0755;
constexpr unsigned kFileMode = 0644;

// The generated password: lower-case letters and digits without the look-alikes (0 o 1 l i),
// since the encoding ignores letter case anyway. 14 characters of a 31-character alphabet are
// about 69 bits.
constexpr const char* kPasswordAlphabet = "abcdefghjkmnpqrstuvwxyz23456789";
constexpr size_t kPasswordLength = 14;

constexpr uint32_t kDemoPort = 2121;
constexpr const char* kDemoUser = "demo";
constexpr const char* kGuestUser = "anonymous";

constexpr const char* kDemoBanner =
    "Welcome to %L, a qorda demo FTP site.\n"
    "You are connecting from %R; %N of at most %M clients are here.\n"
    "Log in as anonymous (or ftp) with your e-mail address as password.";

struct SampleFile {
  const char* path;  // relative to drive c:
  const char* text;
};

// Message files end their lines with CR LF, as the server reads them.
const SampleFile kSampleFiles[] = {
    {"welcome.msg",
     "Hello %U, welcome to the qorda demo site.\r\n"
     "It is %T here.\r\n"
     "Downloads are in /pub/; uploads go to /incoming/ (you can store files there, but not\r\n"
     "list or read them back).\r\n"},
    {"pub/.message", "You are in %C, %U. %F MB are free on this drive.\r\n"},
    {"pub/README.txt",
     "This is the public directory of a qorda demo site.\n"
     "\n"
     "  hello.txt             a short text file\n"
     "  release notes.txt     a name with a space in it\n"
     "  docs/guide.txt        a file in a subdirectory\n"
     "\n"
     "Anonymous users may list and download everything here, and upload to /incoming/.\n"},
    {"pub/hello.txt", "Hello, world!\n"},
    {"pub/release notes.txt",
     "qorda demo site\n"
     "- anonymous downloads from /pub/\n"
     "- anonymous uploads to /incoming/\n"},
    {"pub/docs/guide.txt",
     "Getting files from this site:\n"
     "\n"
     "  curl ftp://HOST:PORT/pub/hello.txt\n"
     "  curl -T myfile ftp://HOST:PORT/incoming/\n"
     "  lftp -e 'mirror pub; quit' ftp://HOST:PORT/\n"},
};

const char* const kSampleDirs[] = {"pub", "pub/docs", "incoming"};

// An entry of the user's own lines granting the letters in `flags` (of "rwdlcxhms").
vfs::PermissionRecord perm(const char* path, std::string_view flags) {
  auto has = [&](char f) { return flags.find(f) != std::string_view::npos; };
  vfs::PermissionRecord p;
  p.origin = 'u';
  p.path = path;
  p.r = has('r');
  p.w = has('w');
  p.d = has('d');
  p.l = has('l');
  p.c = has('c');
  p.x = has('x');
  p.h = has('h');
  p.m = has('m');
  p.s = has('s');
  return p;
}

std::string perm_lines(const std::vector<vfs::PermissionRecord>& recs) {
  std::string out;
  for (const vfs::PermissionRecord& r : recs) {
    if (!out.empty()) out += '\n';
    out += vfs::format_permission(r);
  }
  return out;
}

// The guest's view is drive c: from its root: the root itself only to list and to show
// welcome.msg at login (it is the home), /pub/ and below to list and read, /incoming/ to store
// into only. Without inheritance on the root, no other directory of the drive is reachable.
store::UserRecord guest_account() {
  store::UserRecord u;
  u.name = kGuestUser;
  u.bguest = true;
  u.szfp = perm_lines({perm("/c:/", "lhm"), perm("/c:/pub/", "rlms"), perm("/c:/incoming/", "w")});
  u.szcomment = "Anonymous access of the demo site (\"ftp\" logs in here too).";
  return u;
}

store::UserRecord demo_account(const std::string& password) {
  store::UserRecord u;
  u.name = kDemoUser;
  u.szpass = store::encode_password(password);
  u.szfp = perm_lines({perm("/c:/", "rwdlcxhms")});
  u.szcomment = "Demo account with full access to drive c:.";
  return u;
}

std::string err_text(int err, const std::string& msg) {
  return msg.empty() ? std::strerror(err) : msg;
}

// Drive c: with the sample tree. Existing files and directories are kept as they are.
platform::Status write_sample_tree(const std::string& drive_c) {
  for (const char* d : kSampleDirs) {
    if (platform::Status s = platform::make_directories(drive_c + "/" + d, kDirMode); !s) return s;
  }
  for (const SampleFile& f : kSampleFiles) {
    platform::Status s = platform::create_new_file(drive_c + "/" + f.path, f.text, kFileMode);
    if (!s && s.err != EEXIST) return s;
  }
  return {};
}

// Everything of the store in one transaction: the key tree, the settings (as the setup and
// banners pages save them) and, for the demo, the two accounts.
platform::Status write_store(platform::Registry& reg, bool demo, const std::string& password) {
  auto tx = reg.begin();
  if (!tx) return tx.status();
  if (platform::Status s = store::create_key_tree(reg); !s) return s;
  if (demo) {
    store::ServerSettings s;  // the defaults, as on a fresh store
    s.iport = kDemoPort;
    s.szmsg1 = kDemoBanner;
    if (platform::Status st = s.save_setup(reg); !st) return st;
    if (platform::Status st = s.save_banners(reg); !st) return st;
    if (platform::Status st = store::write_user(
            reg, guest_account(), {.main_fields = true, .counters = store::kCountAll});
        !st) {
      return st;
    }
    if (platform::Status st = store::write_user(
            reg, demo_account(password), {.main_fields = true, .counters = store::kCountAll});
        !st) {
      return st;
    }
  }
  return (*tx)->commit();
}

// Removes a store that this run created and could not fill, so that the next init starts over.
void remove_new_store(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::filesystem::remove(path + suffix, ec);
  }
}

}  // namespace

int run_init(const Context& ctx, const Args& args) {
  bool demo = false;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (a == "--demo") {
      demo = true;
    } else {
      std::fprintf(stderr, "qorda init: unknown argument '%s'\n", a.c_str());
      std::fputs(kUsage, stderr);
      return kExitUsage;
    }
  }

  const std::string db = store_path(ctx);
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::symlink_status(db, ec);
  // init is how an empty store file is recovered, so it makes a new store in its place;
  // anything else that is not a store is left for the administrator to move aside.
  bool replace_empty = false;
  if (st.type() != std::filesystem::file_type::not_found) {
    if (ec) {
      std::fprintf(stderr, "qorda init: can't look at %s: %s\n", db.c_str(), ec.message().c_str());
      return kExitFailure;
    }
    auto existing = open_store(ctx, platform::Registry::Mode::ReadOnly);
    replace_empty = !existing && existing.err == ENODATA;
    if (!existing && !replace_empty) {
      std::fprintf(stderr, "qorda init: %s\n", err_text(existing.err, existing.msg).c_str());
      return kExitFailure;
    }
    if (!replace_empty) {
      std::printf("qorda init: %s already holds a store (%s); nothing changed.\n", ctx.home.c_str(),
                  db.c_str());
      if (demo) {
        std::printf(
            "A demo password is shown only when the home is created; set a new one with\n"
            "'qorda --home %s user passwd %s'.\n",
            ctx.home.c_str(), kDemoUser);
      }
      return kExitOk;
    }
  }

  // SECURITY: the home holds the password encodings; only its owner may look in.
  if (platform::Status s = platform::make_directories(ctx.home, 0700); !s) {
    if (s.err == EACCES || s.err == EPERM || s.err == EROFS) {
      // Whose directory it is, and how to run init as that user.
      return acct::fail("init", acct::store_failure(ctx, "init", "can't create the home", s),
                        kExitFailure);
    }
    std::fprintf(stderr, "qorda init: can't create the home %s: %s\n", ctx.home.c_str(),
                 err_text(s.err, s.msg).c_str());
    return kExitFailure;
  }
  // With no store there is no drive table yet, so drive c: is HOME/c. The files come first: they
  // are kept when they exist, so a failure here leaves nothing that a second run would refuse.
  const std::string drive_c = ctx.home + "/c";
  platform::Status files =
      demo ? write_sample_tree(drive_c) : platform::make_directories(drive_c, kDirMode);
  if (!files) {
    std::fprintf(stderr, "qorda init: can't create drive c: at %s: %s\n", drive_c.c_str(),
                 err_text(files.err, files.msg).c_str());
    return kExitFailure;
  }

  std::string password;
  if (demo) {
    auto pw = platform::random_text(kPasswordLength, kPasswordAlphabet);
    if (!pw) {
      std::fprintf(stderr, "qorda init: %s\n", err_text(pw.err, pw.msg).c_str());
      return kExitFailure;
    }
    password = std::move(*pw);
  }

  platform::Status written;
  {
    auto reg = open_store(ctx,
                          replace_empty ? platform::Registry::Mode::ReplaceEmpty
                                        : platform::Registry::Mode::ReadWrite,
                          MissingStore::Create);
    if (!reg) {
      std::fprintf(stderr, "qorda init: can't create the store %s: %s\n", db.c_str(),
                   err_text(reg.err, reg.msg).c_str());
      if (!replace_empty) remove_new_store(db);
      return kExitFailure;
    }
    written = write_store(**reg, demo, password);
  }  // the store is closed before a failed one is removed
  if (!written) {
    remove_new_store(db);
    std::fprintf(stderr, "qorda init: can't write the store %s: %s\n", db.c_str(),
                 err_text(written.err, written.msg).c_str());
    return kExitFailure;
  }

  if (replace_empty)
    std::printf("The empty store file %s is replaced by a new store.\n", db.c_str());
  if (!demo) {
    std::printf("Created the qorda home %s (store %s, drive c: %s).\n", ctx.home.c_str(),
                db.c_str(), drive_c.c_str());
    return kExitOk;
  }
  std::printf(
      "Created the qorda home %s with a demo FTP site on port %u (drive c: %s):\n"
      "  /pub/       sample files; anyone may list and download them\n"
      "  /incoming/  anonymous may upload here, but not list or download\n"
      "  anonymous   (also \"ftp\") guest account: any e-mail address as password\n"
      "  %-10s  full access to drive c:, password: %s\n"
      "The password is shown only now; change it with 'qorda user passwd %s'.\n"
      "Start the server with:  qorda --home %s serve\n"
      "Then try:               curl ftp://127.0.0.1:%u/pub/\n",
      ctx.home.c_str(), kDemoPort, drive_c.c_str(), kDemoUser, password.c_str(), kDemoUser,
      ctx.home.c_str(), kDemoPort);
  return kExitOk;
}

}  // namespace qorda::app
