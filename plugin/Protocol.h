#pragma once

// The JSON request and response formats spoken over a connection.

#include "notification/PluginNotifications.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace plugin {

// Turns one message payload into exactly one notification: a
// LoadPluginNotification or InvokePluginFunctionNotification carrying the
// request's MsgId, or an InvalidSyntaxResponse naming why it was rejected.
// Only the four top-level members it reads are kept of the document, so a
// request costs about its own size whatever it holds.
std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload);

// How deep the JSON reader itself goes (its stack takes eight bytes a level);
// a deeper document is checked level by level with one bit each.
inline constexpr std::size_t kReaderDepth = 10000;

// decodeRequest with another such depth, for the tests of the deep way.
std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload, std::size_t readerDepth);

// The compact answer {"MsgId":..,"Result":..,"Response":..}, always valid UTF-8.
std::string writeResponse(const notification::ResponseNotification& response);

} // namespace plugin
