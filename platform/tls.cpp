#include "platform/tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/event_loop.h"
#include "platform/limits.h"
#include "platform/pipe_signal.h"
#include "platform/random.h"

namespace qorda::platform {
namespace {

// The OpenSSL error queue's last entry in words ("wrong version number"); the queue is emptied.
std::string take_error(const char* fallback) {
  unsigned long last = 0;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) last = e;
  if (last == 0) return fallback;
  const char* reason = ERR_reason_error_string(last);
  if (reason != nullptr) return reason;
  char buf[256];
  ERR_error_string_n(last, buf, sizeof buf);
  return buf;
}

// The control connection's binding, kept with its SSL object (freed with it).
void free_binding(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<std::string*>(ptr);
}

int binding_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, free_binding);
  return index;
}

// A ticket is being made: it carries the binding of the connection that hands it out.
int on_ticket_made(SSL* ssl, void*) {
  const auto* binding = static_cast<const std::string*>(SSL_get_ex_data(ssl, binding_index()));
  SSL_SESSION* session = SSL_get_session(ssl);
  if (binding == nullptr || session == nullptr) return 1;
  return SSL_SESSION_set1_ticket_appdata(session, binding->data(), binding->size());
}

SSL_TICKET_RETURN on_ticket_read(SSL*, SSL_SESSION*, const unsigned char*, size_t,
                                 SSL_TICKET_STATUS status, void*) {
  switch (status) {
    case SSL_TICKET_SUCCESS:
      return SSL_TICKET_RETURN_USE;
    case SSL_TICKET_SUCCESS_RENEW:
      return SSL_TICKET_RETURN_USE_RENEW;
    case SSL_TICKET_EMPTY:
    case SSL_TICKET_NO_DECRYPT:
      return SSL_TICKET_RETURN_IGNORE_RENEW;
    default:
      return SSL_TICKET_RETURN_ABORT;
  }
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct ExtFree {
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};

// Writes PEM text made by `write` to `path` through a temporary file created with `mode`.
template <class WriteFn>
Status write_pem(const std::string& path, mode_t mode, WriteFn write) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return Status::from_errno("can't create " + tmp);
  std::unique_ptr<BIO, BioFree> bio(BIO_new_fd(fd, BIO_CLOSE));
  if (!bio) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return Status::error(ENOMEM, "can't write " + tmp);
  }
  const bool written = write(bio.get()) == 1 && BIO_flush(bio.get()) == 1 && ::fsync(fd) == 0;
  bio.reset();
  if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno != 0 ? errno : EIO;
    ::unlink(tmp.c_str());
    return Status::error(err, "can't write " + path);
  }
  return Status::success();
}

}  // namespace

// ---- TlsContext ----

TlsContext::TlsContext(TlsContext&& o) noexcept : ctx_(o.ctx_) {
  o.ctx_ = nullptr;
}

TlsContext& TlsContext::operator=(TlsContext&& o) noexcept {
  if (this != &o) {
    SSL_CTX_free(ctx_);
    ctx_ = o.ctx_;
    o.ctx_ = nullptr;
  }
  return *this;
}

TlsContext::~TlsContext() {
  SSL_CTX_free(ctx_);
}

Result<TlsContext> TlsContext::server(const std::string& cert_path, const std::string& key_path) {
  ERR_clear_error();
  TlsContext c;
  c.ctx_ = SSL_CTX_new(TLS_server_method());
  if (c.ctx_ == nullptr) return Status::error(ENOMEM, take_error("can't make a TLS context"));
  SSL_CTX* ctx = c.ctx_;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // SECURITY: renegotiation lets a client make the server repeat its most expensive work at
  // will; nothing in FTP needs it.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_ENABLE_KTLS);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  static const unsigned char kSessionContext[] = "qorda";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_sess_set_cache_size(ctx, kTlsSessionCacheSize);
  SSL_CTX_set_session_ticket_cb(ctx, on_ticket_made, on_ticket_read, nullptr);
  if (cert_path.empty() || key_path.empty()) {
    return Status::error(ENOENT, "no certificate or key file is set");
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_path.c_str()) != 1) {
    return Status::error(EINVAL,
                         "certificate \"" + cert_path + "\": " + take_error("can't be loaded"));
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    return Status::error(EINVAL, "key \"" + key_path + "\": " + take_error("can't be loaded"));
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return Status::error(EINVAL,
                         "the key does not match the certificate: " + take_error("mismatch"));
  }
  return c;
}

// ---- TlsStream ----

TlsStream::TlsStream(TlsStream&& o) noexcept
    : ssl_(o.ssl_),
      fd_(o.fd_),
      loop_(o.loop_),
      established_(o.established_),
      notify_sent_(o.notify_sent_),
      binding_(std::move(o.binding_)),
      error_(std::move(o.error_)) {
  o.ssl_ = nullptr;
}

TlsStream& TlsStream::operator=(TlsStream&& o) noexcept {
  if (this != &o) {
    free();
    ssl_ = o.ssl_;
    fd_ = o.fd_;
    loop_ = o.loop_;
    established_ = o.established_;
    notify_sent_ = o.notify_sent_;
    binding_ = std::move(o.binding_);
    error_ = std::move(o.error_);
    o.ssl_ = nullptr;
  }
  return *this;
}

TlsStream::~TlsStream() {
  free();
}

void TlsStream::free() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  ssl_ = nullptr;
}

Result<TlsStream> TlsStream::make(ssl_ctx_st* ctx, Socket& sock) {
  ERR_clear_error();
  if (ctx == nullptr || !sock.valid()) return Status::error(EINVAL, "no TLS context");
  TlsStream t;
  t.ssl_ = SSL_new(ctx);
  if (t.ssl_ == nullptr) return Status::error(ENOMEM, take_error("can't make a TLS connection"));
  if (SSL_set_fd(t.ssl_, sock.fd()) != 1) return Status::error(EIO, take_error("SSL_set_fd"));
  SSL_set_accept_state(t.ssl_);
  t.fd_ = sock.fd();
  t.loop_ = sock.loop();
  return t;
}

Result<TlsStream> TlsStream::control(const TlsContext& ctx, Socket& sock,
                                     const std::string& binding) {
  Result<TlsStream> t = make(ctx.ctx_, sock);
  if (!t.ok()) return t;
  auto* kept = new std::string(binding);
  if (SSL_set_ex_data(t->ssl_, binding_index(), kept) != 1) {
    delete kept;
    return Status::error(ENOMEM, "can't keep the session binding");
  }
  t->binding_ = binding;
  return t;
}

Result<TlsStream> TlsStream::data(const TlsStream& control, Socket& sock) {
  if (control.ssl_ == nullptr) return Status::error(EINVAL, "no TLS on the control connection");
  Result<TlsStream> t = make(SSL_get_SSL_CTX(control.ssl_), sock);
  if (!t.ok()) return t;
  // A data connection resumes the control connection's session; its own tickets would only
  // be further ways into the same session.
  SSL_set_num_tickets(t->ssl_, 0);
  return t;
}

IoResult TlsStream::outcome(int ret, const char* what) {
  const int e = SSL_get_error(ssl_, ret);
  const int sys = errno;
  if (loop_ != nullptr) loop_->note_recv(fd_);  // OpenSSL may have read: FD_READ may come again
  switch (e) {
    case SSL_ERROR_WANT_READ:
      ERR_clear_error();
      return IoResult{0, EAGAIN};
    case SSL_ERROR_WANT_WRITE:
      ERR_clear_error();
      if (loop_ != nullptr) loop_->note_send_blocked(fd_);
      return IoResult{0, EAGAIN};
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      return IoResult{0, 0};
    case SSL_ERROR_SYSCALL:
      error_ = take_error(sys != 0 ? std::strerror(sys) : "connection closed without close_notify");
      return IoResult{0, sys != 0 ? sys : ECONNABORTED};
    default: {
      const unsigned long last = ERR_peek_last_error();
      error_ = take_error(what);
      if (ERR_GET_REASON(last) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        return IoResult{0, ECONNABORTED};
      }
      return IoResult{0, EPROTO};
    }
  }
}

Status TlsStream::handshake() {
  if (ssl_ == nullptr) return Status::error(EINVAL);
  if (established_) return Status::success();
  ERR_clear_error();
  int ret;
  {
    PipeSignalHold hold(loop_);  // OpenSSL writes with plain write(), no MSG_NOSIGNAL
    ret = SSL_do_handshake(ssl_);
  }
  if (ret == 1) {
    established_ = true;
    if (loop_ != nullptr) loop_->note_recv(fd_);
    // A client that resumes by session id (no tickets) finds the binding in the cached session.
    SSL_SESSION* session = SSL_get_session(ssl_);
    if (!binding_.empty() && session != nullptr) {
      SSL_SESSION_set1_ticket_appdata(session, binding_.data(), binding_.size());
    }
    return Status::success();
  }
  IoResult r = outcome(ret, "handshake failed");
  if (r.ok()) {
    error_ = "connection closed during the handshake";
    return Status::error(ECONNABORTED, error_);
  }
  return Status{r.err, r.would_block() ? std::string() : error_};
}

IoResult TlsStream::read(void* buf, size_t len) {
  if (ssl_ == nullptr) return IoResult{0, EBADF};
  if (len == 0) return IoResult{0, EINVAL};
  ERR_clear_error();
  size_t n = 0;
  int ret;
  {
    PipeSignalHold hold(loop_);
    ret = SSL_read_ex(ssl_, buf, len, &n);
  }
  if (ret == 1) {
    if (loop_ != nullptr) loop_->note_recv(fd_);
    return IoResult{n, 0};
  }
  return outcome(ret, "read failed");
}

IoResult TlsStream::write(const void* buf, size_t len) {
  if (ssl_ == nullptr) return IoResult{0, EBADF};
  if (len == 0) return IoResult{0, 0};
  ERR_clear_error();
  size_t n = 0;
  int ret;
  {
    PipeSignalHold hold(loop_);
    ret = SSL_write_ex(ssl_, buf, len, &n);
  }
  if (ret == 1) return IoResult{n, 0};
  return outcome(ret, "write failed");
}

bool TlsStream::kernel_send() const {
  return ssl_ != nullptr && BIO_get_ktls_send(SSL_get_wbio(ssl_)) != 0;
}

IoResult TlsStream::send_file(File& file, uint64_t offset, size_t count) {
  if (!kernel_send()) return IoResult{0, ENOSYS};
  if (!file.valid()) return IoResult{0, EBADF};
  ERR_clear_error();
  ossl_ssize_t n;
  {
    PipeSignalHold hold(loop_);
    n = SSL_sendfile(ssl_, file.fd(), static_cast<off_t>(offset), count, 0);
  }
  if (n > 0) return IoResult{static_cast<size_t>(n), 0};
  if (n == 0) return IoResult{0, 0};
  return outcome(static_cast<int>(n), "sendfile failed");
}

bool TlsStream::pending() const {
  return ssl_ != nullptr && SSL_pending(ssl_) > 0;
}

void TlsStream::close_notify() {
  if (ssl_ == nullptr || notify_sent_ || !established_) return;
  notify_sent_ = true;
  ERR_clear_error();
  PipeSignalHold hold(loop_);
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

Status TlsStream::shutdown() {
  if (ssl_ == nullptr) return Status::error(EBADF);
  notify_sent_ = true;
  ERR_clear_error();
  int ret;
  {
    PipeSignalHold hold(loop_);
    ret = SSL_shutdown(ssl_);
    // 0: ours is sent, the peer's is awaited; the second call reads it.
    if (ret == 0) ret = SSL_shutdown(ssl_);
  }
  if (ret == 1) {
    if (loop_ != nullptr) loop_->note_recv(fd_);
    return Status::success();
  }
  IoResult r = outcome(ret, "shutdown failed");
  if (r.ok()) return Status::success();
  return Status{r.err, r.would_block() ? std::string() : error_};
}

std::string TlsStream::version() const {
  return ssl_ != nullptr ? SSL_get_version(ssl_) : "";
}

bool TlsStream::resumed() const {
  return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

bool TlsStream::resumes(const TlsStream& control) const {
  return !control.binding_.empty() && resumed_binding() == control.binding_;
}

std::string TlsStream::resumed_binding() const {
  if (!resumed()) return {};
  SSL_SESSION* session = SSL_get_session(ssl_);
  void* data = nullptr;
  size_t len = 0;
  if (session == nullptr || SSL_SESSION_get0_ticket_appdata(session, &data, &len) != 1 ||
      data == nullptr) {
    return {};
  }
  return std::string(static_cast<const char*>(data), len);
}

// ---- certificates ----

Status make_self_signed(const std::string& cert_path, const std::string& key_path,
                        const std::string& common_name) {
  ERR_clear_error();
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  if (!key) return Status::error(EIO, take_error("can't make a key"));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!cert) return Status::error(ENOMEM, take_error("can't make a certificate"));
  unsigned char serial[16];
  if (Status st = random_bytes(serial, sizeof serial); !st) return st;
  serial[0] &= 0x7f;  // a positive number
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serial_set =
      bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>(common_name.c_str());
  const std::string san = "DNS:" + common_name;
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtFree> alt(
      X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str()));
  std::unique_ptr<X509_EXTENSION, ExtFree> basic(
      X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:FALSE"));
  const bool made =
      serial_set && X509_set_version(cert.get(), 2) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), long{kSelfSignedDays} * 86400) != nullptr &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
      alt && X509_add_ext(cert.get(), alt.get(), -1) == 1 && basic &&
      X509_add_ext(cert.get(), basic.get(), -1) == 1 &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!made) return Status::error(EIO, take_error("can't make a certificate"));
  // SECURITY: the private key is readable by its owner only, from the moment it exists.
  if (Status st = write_pem(key_path, 0600,
                            [&](BIO* b) {
                              return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0,
                                                              nullptr, nullptr);
                            });
      !st) {
    return st;
  }
  return write_pem(cert_path, 0644, [&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
}

uint64_t files_stamp(const std::string& a, const std::string& b) {
  uint64_t stamp = 0;
  for (const std::string* p : {&a, &b}) {
    struct stat st {};
    if (p->empty() || ::stat(p->c_str(), &st) != 0) continue;
    stamp = stamp * 1000003u + static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
            static_cast<uint64_t>(st.st_mtim.tv_nsec) + static_cast<uint64_t>(st.st_size);
  }
  return stamp;
}

}  // namespace qorda::platform
