#pragma once

// The JSON request and response formats spoken over a connection.

#include "notification/PluginNotifications.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace plugin {

// Turns one message payload into exactly one notification: a
// LoadPluginNotification or InvokePluginFunctionNotification carrying the
// request's MsgId, or an InvalidSyntaxResponse naming why it was rejected.
std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload);

// The compact answer {"MsgId":..,"Result":..,"Response":..}, always valid UTF-8.
std::string writeResponse(const notification::ResponseNotification& response);

// The same answer, handed to consume while it is held rather than copied
// into a string: for a caller that sends it at once.
void writeResponse(const notification::ResponseNotification& response,
                   const std::function<void(std::string_view)>& consume);

} // namespace plugin
