#pragma once

// The JSON request and response formats spoken over a connection.

#include "notification/PluginNotifications.h"

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

} // namespace plugin
