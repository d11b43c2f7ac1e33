#pragma once

// Who owns the socket listening on a loopback port, asked of the system: a
// page can only see what the listener answers, the doctor can see whose it
// is. Anyone can write a listener that answers the probe as Corvane does.

#include <cstdint>
#include <string>

namespace doctor {

struct PortOwner {
    bool known = false;     // false: the system names no owner (Wine), or the listener is gone
    bool ownUser = false;   // the user (Windows: session) running the doctor
    bool corvane = false;   // its executable is Corvane's, or could not be told
    std::string text;       // "uid 1000, process 4242 (corvane)", for the report
};

PortOwner findPortOwner(std::uint16_t port);

} // namespace doctor
