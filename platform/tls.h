// TLS for the control and data connections (explicit FTP over TLS), on OpenSSL. Everything is
// non-blocking and driven by the socket events the loop already delivers: an operation that
// must wait answers EAGAIN and has told the loop what it waits for (a read is re-armed, a write
// asks for the next writable event), so the caller simply tries again on the next event.
// Nothing here blocks, and nothing here starts a thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/result.h"
#include "platform/socket.h"

// OpenSSL's own types, so that no caller includes an OpenSSL header.
struct ssl_ctx_st;
struct ssl_st;

namespace qorda::platform {

class EventLoop;

// The server's TLS configuration: certificate, private key, protocol range and session tickets.
// Owns one reference to an SSL_CTX; every TlsStream made from it holds its own reference, so a
// context may go away while streams made from it live on. Move-only.
class TlsContext {
 public:
  TlsContext() = default;
  TlsContext(TlsContext&& o) noexcept;
  TlsContext& operator=(TlsContext&& o) noexcept;
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  ~TlsContext();

  // A server context from PEM files: the certificate (chain) and its private key, which must
  // match. TLS 1.2 and 1.3 only, the system's cipher policy, no renegotiation, kernel TLS where
  // the kernel offers it. The message of a failure says why, in OpenSSL's words.
  static Result<TlsContext> server(const std::string& cert_path, const std::string& key_path);

  bool valid() const { return ctx_ != nullptr; }

 private:
  friend class TlsStream;
  ssl_ctx_st* ctx_ = nullptr;  // owned reference
};

// One TLS connection (server side) over a socket it does not own. Owns its SSL object. The
// socket must stay open, with the same descriptor, for the stream's life. Move-only.
class TlsStream {
 public:
  TlsStream() = default;
  TlsStream(TlsStream&& o) noexcept;
  TlsStream& operator=(TlsStream&& o) noexcept;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  ~TlsStream();

  // The server end of a control connection on `sock`. `binding` (any bytes) is written into
  // every session ticket this connection hands out, so that a data connection can prove it resumed
  // this very connection's session (see resumed_binding).
  static Result<TlsStream> control(const TlsContext& ctx, Socket& sock, const std::string& binding);
  // The server end of a data connection on `sock`, with the control connection's configuration.
  // It hands out no tickets of its own.
  static Result<TlsStream> data(const TlsStream& control, Socket& sock);

  bool valid() const { return ssl_ != nullptr; }

  // One step of the handshake: success when it is complete; EAGAIN while it waits for the
  // socket; any other error ends it (error_text says why).
  Status handshake();
  bool established() const { return established_; }

  // Decrypted bytes. n == 0 with no error: the peer closed the TLS session (close_notify).
  // EAGAIN: nothing yet. ECONNABORTED: the connection ended without close_notify. EPROTO: a TLS
  // failure. Other values: the socket's error.
  IoResult read(void* buf, size_t len);
  // Encrypts and sends up to len bytes (a partial write is possible). EAGAIN: the socket is
  // full; the next call must offer at least the same bytes again (the buffer may move).
  IoResult write(const void* buf, size_t len);
  // Sends file bytes through kernel TLS (SSL_sendfile), the file's own offset left alone.
  // ENOSYS when the kernel does not encrypt for this stream: the caller reads and writes.
  IoResult send_file(File& file, uint64_t offset, size_t count);
  // Whether the kernel encrypts what this stream sends (kernel TLS).
  bool kernel_send() const;
  // Decrypted bytes wait inside the stream: the socket's events will not announce them.
  bool pending() const;

  // Sends close_notify once (best effort, never waits); the socket is left open.
  void close_notify();
  // The whole closing exchange: close_notify sent and the peer's received. Success when both
  // are done, EAGAIN while the peer's is awaited, another error when it cannot end cleanly.
  Status shutdown();

  // The negotiated protocol ("TLSv1.3"), after the handshake.
  std::string version() const;
  // Whether the handshake resumed an earlier session.
  bool resumed() const;
  // Whether the handshake resumed a session that `control` handed out (its binding).
  bool resumes(const TlsStream& control) const;
  // The binding carried by the resumed session (empty when the session was not resumed or
  // carries none).
  std::string resumed_binding() const;
  // Why the last operation failed, in OpenSSL's words.
  const std::string& error_text() const { return error_; }

 private:
  static Result<TlsStream> make(ssl_ctx_st* ctx, Socket& sock);
  // Turns an OpenSSL result into an IoResult, telling the loop what the operation waits for.
  IoResult outcome(int ret, const char* what);
  void free();

  ssl_st* ssl_ = nullptr;  // owned
  int fd_ = -1;            // the socket's descriptor (not owned)
  EventLoop* loop_ = nullptr;
  bool established_ = false;
  bool notify_sent_ = false;
  std::string binding_;
  std::string error_;
};

// A self-signed certificate for `common_name` and its new private key, written as PEM files:
// the key to `key_path` with mode 0600, the certificate to `cert_path` (0644). Both are written
// to temporary names first and renamed, so a failure leaves no half-written file behind.
Status make_self_signed(const std::string& cert_path, const std::string& key_path,
                        const std::string& common_name);

// Modification times and sizes of the two files folded into one number, so that a cache can
// tell that either file was replaced. 0 when neither can be read.
uint64_t files_stamp(const std::string& a, const std::string& b);

}  // namespace qorda::platform
