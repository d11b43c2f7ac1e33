#pragma once

// The answers the service owes a page, byte for byte. The JSON around the
// texts is written out here by hand rather than produced by the service's
// own writer, so that a change in the writer shows up as a difference; the
// texts themselves are the service's (notification/AnswerTexts.h), pinned by the
// host unit tests.

#include "notification/AnswerTexts.h"

#include <string>

namespace harness {

inline std::string answer(const std::string& msgId, bool result, const std::string& response)
{
    return "{\"MsgId\":\"" + msgId + "\",\"Result\":" + (result ? "true" : "false") + ",\"Response\":\"" + response +
           "\"}";
}

inline std::string invalidSyntax(const std::string& reason)
{
    return answer(notification::answers::kInvalidSyntaxMsgId, false, notification::answers::kInvalidSyntaxPrefix + reason);
}

inline std::string loadRequest(const std::string& module, const std::string& msgId = "1")
{
    return "{\"MsgId\":\"" + msgId + "\",\"Module\":\"" + module + "\"}";
}

inline const std::string kLoadSuccess = answer(notification::answers::kLoadMsgId, true, notification::answers::kLoadSuccess);

inline std::string loadError(int code)
{
    return answer(notification::answers::kLoadMsgId, false, notification::answers::kLoadErrorPrefix + std::to_string(code));
}

// The answer to a call on a connection that holds no module.
inline std::string notLoaded(const std::string& msgId)
{
    return answer(msgId, false, notification::answers::kNotLoaded);
}

} // namespace harness
