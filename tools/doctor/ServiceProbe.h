#pragma once

// What listens on a loopback port, found by one WebSocket handshake and one
// harmless request.

#include <cstdint>
#include <string>

namespace doctor {

struct PortProbe {
    enum class Kind {
        nothing,     // no listener
        corvane,     // Corvane, serving this user
        otherUser,   // Corvane, refusing this user's handshake (403)
        notCorvane,  // a listener that does not answer as Corvane does
    };
    Kind kind = Kind::nothing;
    std::string detail; // what was seen, for a listener that is not Corvane
};

PortProbe probePort(std::uint16_t port);

} // namespace doctor
