#pragma once

#include <chrono>
#include <cstddef>

namespace server {

// Bytes of answers one connection may have queued for sending before the
// endpoint stops reading that connection's requests; it reads on once the
// queue has drained below. A page that sends and never reads thus holds
// about this much of the service's memory, plus the answers to what was
// already read (at most one read buffer of requests), instead of growing it
// without end. Pongs count too, each with kQueuedFrameOverhead, so a peer
// that pings without reading is held to the same.
inline constexpr std::size_t kMaxQueuedAnswerBytes = std::size_t{16} << 20;

// What one queued frame costs beyond its bytes (the message object, its
// header, the queue's entry and the allocator's share; about 900 bytes were
// measured for a pong): an empty pong is not free.
inline constexpr std::size_t kQueuedFrameOverhead = 1024;

// A connection not read because of its queue, whose queue then does not
// drain at all for this long, is dropped: its peer has stopped reading.
inline constexpr std::chrono::seconds kMaxUndrainedTime{30};

// The largest message a connection may send.
inline constexpr std::size_t kMaxMessageBytes = 32000000;

// Bytes that all partly received messages together may hold. Beyond it the
// connection holding the most is closed (1009), so that many connections
// each starting a large message cannot hold the service's memory; two
// messages of the largest size still fit.
inline constexpr std::size_t kMaxUnfinishedMessageBytes = std::size_t{64} << 20;

// A partly received message that does not grow for this long is closed the
// same way: its sender has stopped and would hold the memory for nothing.
inline constexpr std::chrono::seconds kMaxMessageStallTime{30};

} // namespace server
