#pragma once

#include "notification/Connection.h"

#include <string>
#include <string_view>

namespace plugin {

// What the plug-in host needs from the WebSocket endpoint: the text of a
// received message and a way to answer on a connection. The endpoint
// (server::CorvaneServer, in its private implementation) implements it, so
// that only the endpoint's translation unit includes WebSocket++. Called on
// the endpoint's I/O thread.
class Transport {
public:
    // The payload of a received message as the library reassembled it; valid
    // while the message lives.
    virtual std::string_view payloadOf(const notification::MessagePtr& message) const = 0;

    // Queues text as one text message. A connection that is no longer open
    // refuses it; the answer is then dropped, which is what callers want.
    virtual void sendText(const notification::ConnectionPtr& connection, std::string_view text) = 0;

    // The Origin header of the connection's handshake as received; empty
    // when it had none.
    virtual std::string originOf(const notification::ConnectionPtr& connection) const = 0;

protected:
    ~Transport() = default;
};

} // namespace plugin
