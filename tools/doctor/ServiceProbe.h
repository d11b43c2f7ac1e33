#pragma once

// What listens on the loopback ports of the service's range, found by one
// WebSocket handshake and one harmless request on each.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace doctor {

struct PortProbe {
    enum class Kind {
        nothing,     // no listener
        corvane,     // Corvane, serving this user
        otherUser,   // Corvane, refusing this user's handshake (403)
        notCorvane,  // a listener that does not answer as Corvane does
        unprobed,    // a listener that did not let itself be probed (it accepts no connection)
    };
    std::uint16_t port = 0;
    Kind kind = Kind::nothing;
    std::string detail; // what was seen, for a listener that is not Corvane or was not probed
};

// Whatever holds the ports, a connection waits at most this long, and so
// does each answer; at most kMaxProbeRead bytes are read from a port.
inline constexpr std::chrono::milliseconds kConnectTimeout{1000};
inline constexpr std::chrono::milliseconds kAnswerTimeout{1500};
inline constexpr std::size_t kMaxProbeRead = 64 * 1024;

// Probes first..last all at once, so the whole takes about one port's
// longest probe (a few seconds); one result per port, in order.
std::vector<PortProbe> probePorts(std::uint16_t first, std::uint16_t last);

} // namespace doctor
