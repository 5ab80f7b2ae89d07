// FTP over TLS on the control connection: the TLS context cache, the handshake and closing
// steps of a session, and the commands AUTH, PBSZ, PROT and FEAT.
#include <cctype>

#include "log/log.h"
#include "platform/random.h"
#include "platform/volume.h"
#include "session/defs.h"
#include "session/session.h"
#include "session/tls_setup.h"
#include "store/settings.h"

namespace qorda::session {

// ---- the context ----

platform::Status tls_paths(const store::ServerSettings& s, std::string* cert, std::string* key) {
  if (s.sztlscert.empty() || s.sztlskey.empty()) {
    return platform::Status::error(ENOENT,
                                   "sztlscert and sztlskey must name the certificate "
                                   "and key files ('qorda tls init' makes a pair)");
  }
  platform::Result<std::string> c = platform::map_setting_path(s.sztlscert);
  if (!c.ok())
    return platform::Status::error(c.err, "sztlscert \"" + s.sztlscert + "\" maps to no file");
  platform::Result<std::string> k = platform::map_setting_path(s.sztlskey);
  if (!k.ok())
    return platform::Status::error(k.err, "sztlskey \"" + s.sztlskey + "\" maps to no file");
  *cert = *c;
  *key = *k;
  return platform::Status::success();
}

platform::Result<platform::TlsContext> load_tls_context(const store::ServerSettings& s) {
  std::string cert, key;
  if (platform::Status st = tls_paths(s, &cert, &key); !st) return st;
  return platform::TlsContext::server(cert, key);
}

const platform::TlsContext* TlsContextCache::get(const store::ServerSettings& s, std::string* why) {
  std::string cert, key;
  const platform::Status mapped = tls_paths(s, &cert, &key);
  const uint64_t stamp = platform::files_stamp(cert, key);
  if (!tried_ || cert != cert_ || key != key_ || stamp != stamp_) {
    tried_ = true;
    cert_ = cert;
    key_ = key;
    stamp_ = stamp;
    failure_.clear();
    ctx_ = platform::TlsContext();
    platform::Result<platform::TlsContext> loaded =
        mapped.ok() ? platform::TlsContext::server(cert, key)
                    : platform::Result<platform::TlsContext>(mapped);
    if (loaded.ok()) {
      ctx_ = std::move(*loaded);
    } else {
      failure_ = loaded.msg.empty() ? "can't load the certificate" : loaded.msg;
      log::logger().log(log::Level::Engine, 0, "error: TLS is not available: %s.",
                        log::escape_for_log(failure_).c_str());
    }
  }
  if (!ctx_.valid()) {
    *why = failure_;
    return nullptr;
  }
  return &ctx_;
}

// ---- the session's TLS ----

bool Session::tls_required() const {
  const store::ServerSettings& set = host_.settings();
  return set.btls != 0 && set.brequiretls != 0;
}

bool Session::tls_data_required() const {
  const store::ServerSettings& set = host_.settings();
  return set.btls != 0 && set.brequiretlsdata != 0;
}

void Session::start_tls(const platform::TlsContext& ctx) {
  // SECURITY: whatever arrived behind the AUTH line came in plain text and may have been put
  // there by someone in the path (command injection into the protected session): it is
  // dropped, never taken as if it had been protected.
  drop_held_input();
  line_.reset();
  line_fill_ = 0;
  line_too_long_ = false;
  char binding[kTlsBindingBytes];
  if (platform::Status st = platform::random_bytes(binding, sizeof binding); !st) {
    tls_failed("setup failed", "no random bytes");
    return;
  }
  tls_binding_.assign(binding, sizeof binding);
  platform::Result<platform::TlsStream> t =
      platform::TlsStream::control(ctx, socket_, tls_binding_);
  if (!t.ok()) {
    tls_failed("setup failed", t.msg);
    return;
  }
  tls_ = std::move(*t);
  tls_phase_ = TlsPhase::Starting;
  // A login under way starts over inside the protected session.
  if (state == SessionState::WaitingForPassword) state = SessionState::WaitingForUser;
  flush();
}

void Session::end_tls() {
  if (tls_phase_ != TlsPhase::On) return;
  tls_phase_ = TlsPhase::Closing;
  tls_pbsz = false;
  protect_data = false;
  flush();
}

void Session::tls_step() {
  if (tls_phase_ == TlsPhase::Handshake) {
    platform::Status st = tls_.handshake();
    if (st.err == EAGAIN) return;
    if (!st.ok()) {
      tls_failed("handshake failed", tls_.error_text());
      return;
    }
    tls_phase_ = TlsPhase::On;
    log(log::Level::Debug, "TLS established (%s)", tls_.version().c_str());
    flush();
    return;
  }
  if (tls_phase_ == TlsPhase::Closing) {
    if (out_head_) {
      flush();  // REIN's reply first; flush comes back here once it has left
      return;
    }
    platform::Status st = tls_.shutdown();
    if (st.err == EAGAIN) return;
    if (!st.ok()) {
      tls_failed("close failed", tls_.error_text());
      return;
    }
    tls_ = platform::TlsStream();
    tls_phase_ = TlsPhase::Off;
    log(log::Level::Debug, "TLS closed; the connection is plain text again");
    continue_later();  // a command sent behind the close is taken now
  }
}

void Session::tls_failed(const char* what, const std::string& why) {
  log(log::Level::Debug, "TLS %s: %s", what, log::escape_for_log(why).c_str());
  if (state == SessionState::Closing) return;
  state = SessionState::Closing;
  if (lookup_handle_ != 0) cancel_lookup();
  // Nothing more can be said to this client: neither in plain text nor protected.
  discard_output();
  drop_held_input();
  log(log::Level::Security, "Disconnected. (TLS %s)", what);
  delete_mark = true;
}

platform::IoResult Session::recv_bytes(void* buf, size_t len) {
  if (tls_phase_ != TlsPhase::On) return socket_.recv(buf, len);
  platform::IoResult r = tls_.read(buf, len);
  if (!r.ok() && !r.would_block() && r.err != ECONNABORTED) {
    tls_failed("read failed", tls_.error_text());
  } else if (r.ok() && r.n > 0 && tls_.pending()) {
    continue_later();  // bytes wait inside TLS, which no socket event announces
  }
  return r;
}

platform::IoResult Session::send_bytes(const void* buf, size_t len) {
  if (tls_phase_ == TlsPhase::On || tls_phase_ == TlsPhase::Closing) return tls_.write(buf, len);
  return socket_.send(buf, len);
}

// ---- the commands ----

namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

void cmd_auth(Session& s, std::string& arg) {
  const std::string mech = upper(arg);
  if (mech.empty()) {
    s.reply(501, "'%s': command not understood.", "AUTH");
    return;
  }
  if (mech != "TLS" && mech != "SSL") {
    s.reply(504, "AUTH %s is not supported (AUTH TLS is).", mech.c_str());
    return;
  }
  if (s.tls_started()) {
    s.reply(503, "TLS is already in use.");
    return;
  }
  if (s.state == SessionState::LoggedIn) {
    s.reply(503, "AUTH TLS must come before login.");
    return;
  }
  std::string why;
  const platform::TlsContext* ctx = s.host().tls_contexts().get(s.host().settings(), &why);
  if (ctx == nullptr) {
    s.reply(431, "TLS is not available: the server's certificate can't be loaded.");
    return;
  }
  s.reply(234, "AUTH %s successful; start the TLS handshake.", mech.c_str());
  s.start_tls(*ctx);
}

void cmd_pbsz(Session& s, std::string& arg) {
  if (!s.tls_active()) {
    s.reply(503, "PBSZ needs AUTH TLS first.");
    return;
  }
  if (arg.empty()) {
    s.reply(501, "'%s': command not understood.", "PBSZ");
    return;
  }
  // TLS frames the data itself: the only buffer size is 0, whatever the client proposes.
  s.tls_pbsz = true;
  s.reply(200, "PBSZ=0");
}

void cmd_prot(Session& s, std::string& arg) {
  if (!s.tls_active() || !s.tls_pbsz) {
    s.reply(503, "PROT needs AUTH TLS and PBSZ first.");
    return;
  }
  const std::string level = upper(arg);
  if (level == "P" || level == "C") {
    s.protect_data = level == "P";
    // A data connection made (or waiting) already carries the new level too, where it can.
    transfer::DataConnection* d = s.data();
    if (d != nullptr && !d->running()) {
      if (s.protect_data && !d->protected_by_tls()) {
        if (!d->protect(s.control_tls())) s.drop_data();
      } else if (!s.protect_data && d->protected_by_tls()) {
        d->unprotect();  // too late once TLS began: the transfer command then says so
      }
    }
    s.reply(200, "Protection level set to %s.", s.protect_data ? "Private" : "Clear");
  } else if (level == "S" || level == "E") {
    s.reply(536, "Protection level %s is not supported (C and P are).", level.c_str());
  } else {
    s.reply(504, "'%s': unknown protection level.", arg.c_str());
  }
}

void cmd_feat(Session& s, std::string&) {
  s.reply(-211, "Features:");
  s.reply(0, " AUTH TLS");
  s.reply(0, " PBSZ");
  s.reply(0, " PROT");
  s.reply(211, "End");
}

}  // namespace

bool tls_command(Session& s, std::string_view word, std::string& arg) {
  if (s.host().settings().btls == 0) return false;
  if (word == "AUTH") {
    cmd_auth(s, arg);
  } else if (word == "PBSZ") {
    cmd_pbsz(s, arg);
  } else if (word == "PROT") {
    cmd_prot(s, arg);
  } else if (word == "FEAT") {
    cmd_feat(s, arg);
  } else {
    return false;
  }
  return true;
}

}  // namespace qorda::session
