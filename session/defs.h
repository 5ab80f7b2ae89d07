// Fixed sizes and limits of the control connection, in one place. Every limit is enforced where
// the bytes arrive (receive, reply, the output queue).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorda::session {

// Input and output travel in chunks of one Ethernet segment's payload.
inline constexpr size_t kChunkSize = 1460;

// The command-line buffer. A line may hold at most kMaxLine bytes including its CR LF; a line
// that fills the whole buffer is refused as too long.
inline constexpr size_t kLineBuffer = 512;
inline constexpr int kMaxLine = 511;

// A reply line is cut at this many characters before CR LF is added.
inline constexpr size_t kReplyCut = 509;

// SECURITY: a client that never reads its replies must not grow the server's memory without
// bound. A session whose unsent output exceeds this is closed.
inline constexpr size_t kMaxOutputQueue = 1024 * 1024;

// SECURITY: the most command lines one session dispatches in one turn of the loop; what else it
// received waits for its next turn. Without it a client that pipelines hundreds of expensive
// commands (STAT of a huge directory) in one send keeps the one thread from every other client.
inline constexpr int kCommandsPerTurn = 1;

// SECURITY: password guessing. The reply to a failed password is held back this long (the
// session takes no other command meanwhile), and each client address has its passwords checked
// at most kLoginGuessBurst at once and then one per kLoginGuessSpacingMs (10 a second), however
// many connections it opens.
inline constexpr uint32_t kFailedLoginDelayMs = 1000;
inline constexpr uint32_t kLoginGuessSpacingMs = 100;
inline constexpr uint32_t kLoginGuessBurst = 10;

// Telnet bytes the receive state machine knows.
inline constexpr uint8_t kIAC = 255;
inline constexpr uint8_t kDONT = 254;
inline constexpr uint8_t kDO = 253;
inline constexpr uint8_t kWONT = 252;
inline constexpr uint8_t kWILL = 251;

// A session that said goodbye while its reverse look-up was outstanding waits this long for the
// answer before it is freed anyway.
inline constexpr uint32_t kLookupGraceMs = 60000;

// Random bytes that tie a control connection's TLS session tickets to it: a data connection
// under PROT P must resume a session that carries them.
inline constexpr size_t kTlsBindingBytes = 16;

// The examine window keeps at most this many lines.
inline constexpr size_t kExamineLines = 500;

// Session states.
enum class SessionState : int {
  WaitingForUser = 0,
  WaitingForPassword = 1,
  LoggedIn = 2,
  Closing = -1,
};

// Transfer types.
enum class TransferType : int { Ascii = 0, Image = 1 };

}  // namespace qorda::session
