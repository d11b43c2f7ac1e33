#pragma once

// The texts the service answers pages with, byte for byte. Pages match
// them as they are, spelling included; the service, the doctor (which
// recognises the service by one of them) and the test harness all take
// them from here. The invalid-syntax frame around the reasons below
// ("Invalid syntax, reason: ", message id "InvalidSyntax") is the
// notification layer's own (notification/PluginNotifications.cpp).

namespace plugin::answers {

// The message id of every answer to a load request.
inline constexpr char kLoadMsgId[] = "LoadModule";
inline constexpr char kLoadSuccess[] = "Load module success";
// A file that loads but does not export the plug-in entry.
inline constexpr char kInvalidPlugin[] = "Invalid plugin format";
// Followed by the loader's error code in decimal.
inline constexpr char kLoadErrorPrefix[] = "Load Module error, can't find module.Error code: ";

// A call on a connection that holds no module.
inline constexpr char kNotLoaded[] = "Module have not been loaded";
// A call whose plug-in gave no text: "[ <method> ] " and one of these.
inline constexpr char kFunctionSuccess[] = "function success.";
inline constexpr char kFunctionFailed[] = "function faild.";

// Why a request was not understood.
inline constexpr char kBadRequest[] = "Bad request";
inline constexpr char kInvalidFormat[] = "Invalid message format";
inline constexpr char kNoMsgId[] = "message not have MsgId";
inline constexpr char kNoOperation[] = "not find operation(Module or Method)";

} // namespace plugin::answers
