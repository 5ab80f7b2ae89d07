// Fixed sizes and limits of data connections and transfers, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorda::transfer {

// One send of the read and send download path moves at most one typical TCP segment.
inline constexpr size_t kSendPiece = 1460;
// Listing text is queued, and sent, in chunks of this size: large enough that a long listing
// takes few system calls, small enough that a short one holds little memory while it is sent.
inline constexpr size_t kListChunk = 16 * 1024;
// A download reads the file through a staging buffer of this size only where the file cannot be
// sent straight from the page cache.
inline constexpr size_t kFileBuf = 10 * kSendPiece;  // 14600
// Under TLS a download that cannot go through kernel TLS is read into a buffer of one full TLS
// record, which is written as one record.
inline constexpr size_t kTlsFileBuf = 16 * 1024;
// An upload stages what arrives in one buffer of this size (made only while a receive runs) and
// writes it when full and whenever the socket has nothing more for now: few large writes on a
// fast link, and the file never lags the client by more than one event.
inline constexpr size_t kRecvBuf = 256 * 1024;
// SECURITY: the most one data connection moves in one event before the loop turns to the other
// clients. Without it a fast client on a fast link keeps the one thread for its whole transfer,
// and every other client (new ones waiting for their greeting included) stalls meanwhile.
inline constexpr size_t kEventBudget = 256 * 1024;
// Bytes that arrive while nothing is being received are read and dropped this many at a time.
inline constexpr size_t kDiscardPiece = 8;
// Scratch buffer for one formatted listing line.
inline constexpr size_t kListLineBuf = 512;
// Backlog of a passive data connection's listening socket.
inline constexpr int kPassiveBacklog = 5;
// PORT: the smallest data port a client may name (p1 >= 4).
inline constexpr unsigned kMinPortHigh = 4;

// Kinds and directions of a data connection (a kind's number appears in the log).
enum class Kind : int { Active = 0, Passive = 1 };
enum class Direction : int { None = -1, Send = 0, Receive = 1 };
// What a send direction carries.
enum class ListMode : int { File = 0, NameList = 1, LongList = 2 };

}  // namespace qorda::transfer
