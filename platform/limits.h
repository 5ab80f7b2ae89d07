// Fixed sizes and time limits of the platform layer.
#pragma once

namespace qorda::platform {

// How long FD_ACCEPT stays off after accept ran out of descriptors (one tick period).
inline constexpr unsigned kAcceptBackoffMs = 250;

// Ready events taken from epoll per wait; more simply wait for the next run_once.
inline constexpr int kMaxEventsPerWait = 64;

// Reverse look-ups: time allowed for each try and the tries per server, so a look-up that no
// server answers ends after about kLookupTimeoutMs × kLookupTries per server.
inline constexpr int kLookupTimeoutMs = 2000;
inline constexpr int kLookupTries = 2;

}  // namespace qorda::platform
