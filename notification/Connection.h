#pragma once

// The endpoint's connection and message pointers, named without pulling
// WebSocket++ into every translation unit: the bus and the plug-in host only
// hold, compare and pass these pointers. The endpoint (server/) checks that
// these are the very types its library hands out.

#include <memory>

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

namespace notification {

using Connection = websocketpp::connection<websocketpp::config::asio>;
using ConnectionPtr = std::shared_ptr<Connection>;
using Message = websocketpp::message_buffer::message<websocketpp::message_buffer::alloc::con_msg_manager>;
using MessagePtr = std::shared_ptr<Message>;

} // namespace notification
