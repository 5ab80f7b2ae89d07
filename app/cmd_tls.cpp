// qorda tls [show] / qorda tls init [--force]: FTP over TLS. `show` prints the TLS settings and
// whether the certificate loads; `init` makes a self-signed certificate and key in the home and
// points sztlscert and sztlskey at them.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "platform/volume.h"
#include "session/tls_setup.h"
#include "store/drives.h"
#include "store/settings.h"

namespace qorda::app {
namespace {

const char kCmd[] = "tls";

const char kUsage[] =
    "usage: qorda tls [show]\n"
    "       qorda tls init [--force]\n"
    "\n"
    "FTP over TLS (AUTH TLS, explicit mode) is off until btls is 1. Then clients may\n"
    "send AUTH TLS (or AUTH SSL), PBSZ 0 and PROT P; data connections under PROT P are TLS\n"
    "too and must resume the control connection's TLS session. TLS 1.2 and 1.3 only.\n"
    "\n"
    "  show   prints the TLS settings and whether the certificate and key load\n"
    "  init   makes a self-signed certificate for this host's name and its private key\n"
    "         (<home>/tls-cert.pem and <home>/tls-key.pem, the key readable by its owner\n"
    "         only) and sets sztlscert and sztlskey to them. Existing files are kept\n"
    "         unless --force is given. It does not turn TLS on: 'qorda set btls 1'.\n"
    "\n"
    "Settings ('qorda get NAME', 'qorda set NAME VALUE'; a running server applies them on\n"
    "SIGHUP):\n"
    "  btls             0 or 1, default 0: AUTH TLS, PBSZ, PROT and FEAT are understood\n"
    "  sztlscert        certificate (PEM): a drive path or an absolute path\n"
    "  sztlskey         private key (PEM): a drive path or an absolute path\n"
    "  brequiretls      0 or 1, default 0: USER is refused (530) before AUTH TLS\n"
    "  brequiretlsdata  0 or 1, default 0: transfers are refused (521) without PROT P\n";

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Loads the settings and the drive table as `serve` does, read-only.
bool load(const Context& ctx, store::ServerSettings* s) {
  auto reg = open_store(ctx, platform::Registry::Mode::ReadOnly);
  if (!reg) {
    acct::fail(kCmd, acct::store_open_message(ctx, kCmd, reg.status()), kExitFailure);
    return false;
  }
  s->load(**reg);
  if (platform::Status st = store::load_drive_table(**reg, ctx.home, platform::drive_table());
      !st) {
    acct::fail(kCmd, "cannot load the drive table: " + st.msg, kExitFailure);
    return false;
  }
  return true;
}

int show(const Context& ctx) {
  store::ServerSettings s;
  if (!load(ctx, &s)) return kExitFailure;
  std::printf("btls=%u\nsztlscert=%s\nsztlskey=%s\nbrequiretls=%u\nbrequiretlsdata=%u\n", s.btls,
              s.sztlscert.c_str(), s.sztlskey.c_str(), s.brequiretls, s.brequiretlsdata);
  platform::Result<platform::TlsContext> loaded = session::load_tls_context(s);
  if (loaded.ok()) {
    std::printf("certificate and key load%s\n", s.btls ? "" : " (TLS is off: btls is 0)");
    return kExitOk;
  }
  std::printf("AUTH TLS would be refused: %s\n", loaded.msg.c_str());
  return kExitFailure;
}

int init(const Context& ctx, bool force) {
  const std::string cert = ctx.home + "/tls-cert.pem";
  const std::string key = ctx.home + "/tls-key.pem";
  if (!force && (file_exists(cert) || file_exists(key))) {
    return acct::fail(kCmd, cert + " or " + key + " exists already (--force replaces them)",
                      kExitFailure);
  }
  auto reg = open_store(ctx);
  if (!reg)
    return acct::fail(kCmd, acct::store_open_message(ctx, kCmd, reg.status()), kExitFailure);
  if (platform::Status st = store::create_key_tree(**reg); !st) {
    return acct::fail(kCmd,
                      acct::store_failure(ctx, kCmd, "cannot create the configuration keys", st),
                      kExitFailure);
  }
  std::string host = platform::local_host_name();
  if (host.empty()) host = "localhost";
  // SECURITY: the key lies in the home, beside the store, never on a drive that clients reach.
  if (platform::Status st = platform::make_self_signed(cert, key, host); !st) {
    return acct::fail(kCmd, "cannot make the certificate: " + st.msg, kExitFailure);
  }
  store::ServerSettings s;
  s.load(**reg);
  s.sztlscert = cert;
  s.sztlskey = key;
  for (const char* name : {"sztlscert", "sztlskey"}) {
    if (platform::Status st = s.save_value(**reg, name); !st) {
      return acct::fail(kCmd,
                        acct::store_failure(ctx, kCmd, std::string("cannot save ") + name, st),
                        kExitFailure);
    }
  }
  std::printf("certificate: %s (CN=%s, self-signed)\nkey:         %s\n", cert.c_str(), host.c_str(),
              key.c_str());
  if (s.btls == 0) std::printf("TLS is off: 'qorda set btls 1' turns it on.\n");
  return kExitOk;
}

}  // namespace

int run_tls(const Context& ctx, const Args& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (args.empty() || (args.size() == 1 && args[0] == "show")) return show(ctx);
  if (args[0] == "init" && (args.size() == 1 || (args.size() == 2 && args[1] == "--force"))) {
    return init(ctx, args.size() == 2);
  }
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace qorda::app
