#pragma once

#include <cstddef>

namespace server {

// Bytes of answers one connection may have queued for sending before the
// endpoint stops reading that connection's requests; it reads on once the
// queue has drained below. A page that sends and never reads thus holds
// about this much of the service's memory, plus the answers to what was
// already read (at most one read buffer of requests), instead of growing it
// without end.
inline constexpr std::size_t kMaxQueuedAnswerBytes = std::size_t{16} << 20;

} // namespace server
