// Fixed sizes and time limits of the platform layer.
#pragma once

#include <cstddef>

namespace qorda::platform {

// How long FD_ACCEPT stays off after accept ran out of descriptors (one tick period).
inline constexpr unsigned kAcceptBackoffMs = 250;

// Ready events taken from epoll per wait; more simply wait for the next run_once.
inline constexpr int kMaxEventsPerWait = 64;

// Reverse look-ups: time allowed for each try and the tries per server, so a look-up that no
// server answers ends after about kLookupTimeoutMs × kLookupTries per server.
inline constexpr int kLookupTimeoutMs = 2000;
inline constexpr int kLookupTries = 2;

// Registry store: how long a writer waits for another process's write lock before giving up
// with EBUSY. The server is single-threaded, so a wait stalls every client; writers hold the lock
// only for the few statements of one record.
inline constexpr int kStoreBusyTimeoutMs = 300;

// The largest REGEDIT4 text the command-line tools read for an import.
inline constexpr size_t kMaxRegTextBytes = size_t{256} << 20;  // 256 MiB

// Socket::bind_ephemeral: taken ports of each parity tried, one after the other, before the
// kernel picks.
inline constexpr int kPortPickTries = 64;
// The ephemeral port range assumed when the system's cannot be read (Linux's default).
inline constexpr unsigned kDefaultEphemeralLow = 32768;
inline constexpr unsigned kDefaultEphemeralHigh = 60999;

// Buffer for one user database entry when the system gives no size of its own.
inline constexpr size_t kPasswdBufferBytes = 16384;

// TLS sessions the server keeps for resumption by session id (clients without tickets).
inline constexpr long kTlsSessionCacheSize = 1024;
// How long a certificate made by `qorda tls init` is valid.
inline constexpr int kSelfSignedDays = 825;

}  // namespace qorda::platform
