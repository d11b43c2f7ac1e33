#pragma once

// The texts the service answers pages with, byte for byte. Pages match
// them as they are, spelling included; the service, the doctor (which
// recognises the service by one of them) and the test harness all take
// them from here. They live in the lowest layer of the host because the
// invalid-syntax answer is built by a notification class.

namespace notification::answers {

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

// A request that was not understood: this message id, and the prefix
// before one of the reasons below.
inline constexpr char kInvalidSyntaxMsgId[] = "InvalidSyntax";
inline constexpr char kInvalidSyntaxPrefix[] = "Invalid syntax, reason: ";
// Why a request was not understood.
inline constexpr char kBadRequest[] = "Bad request";
inline constexpr char kInvalidFormat[] = "Invalid message format";
inline constexpr char kNoMsgId[] = "message not have MsgId";
inline constexpr char kNoOperation[] = "not find operation(Module or Method)";

} // namespace notification::answers
