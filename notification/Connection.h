#pragma once

// The endpoint's connection and message pointers, named without pulling
// WebSocket++ into every translation unit: the bus and the plug-in host only
// hold, compare and pass these pointers. The endpoint (server/) checks that
// these are the very types its library hands out.

#include <memory>

namespace websocketpp {
template <typename config>
class connection;
} // namespace websocketpp

namespace server {
struct EndpointConfig;
class EndpointMessage;
} // namespace server

namespace notification {

using Connection = websocketpp::connection<server::EndpointConfig>;
using ConnectionPtr = std::shared_ptr<Connection>;
using Message = server::EndpointMessage;
using MessagePtr = std::shared_ptr<Message>;

} // namespace notification
