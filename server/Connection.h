#pragma once

// The endpoint's connection and message pointers, named without pulling
// WebSocket++ into every translation unit: the bus and the plug-in host only
// hold, compare and pass these pointers, and reach the library through the
// two functions below, which live next to the endpoint.

#include <memory>
#include <string>
#include <string_view>

namespace websocketpp {
namespace config {
struct asio;
}
template <typename config>
class connection;
namespace message_buffer {
namespace alloc {
template <typename message>
class con_msg_manager;
}
template <template <class> class con_msg_manager>
class message;
} // namespace message_buffer
} // namespace websocketpp

namespace server {

using Connection = websocketpp::connection<websocketpp::config::asio>;
using ConnectionPtr = std::shared_ptr<Connection>;
using Message = websocketpp::message_buffer::message<websocketpp::message_buffer::alloc::con_msg_manager>;
using MessagePtr = std::shared_ptr<Message>;

// The payload of a received message as the library reassembled it.
std::string_view payloadOf(const MessagePtr& message);

// Queues text as one text message. A connection that is no longer open
// refuses it; the answer is then dropped, which is what callers want.
void sendText(const ConnectionPtr& connection, const std::string& text);

} // namespace server
