#pragma once

#include <cstdint>

namespace server {

// The service listens on the first free port of this range: 1237 when it is
// free, the next free one for a second session on the same machine.
constexpr std::uint16_t kFirstPort = 1237;
constexpr std::uint16_t kLastPort = 1300;

} // namespace server
