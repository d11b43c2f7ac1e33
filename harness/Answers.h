#pragma once

// The answer texts the service owes a page, byte for byte, written out here
// by hand rather than produced by the service's own code, so that a change
// in its writer shows up as a difference.

#include <string>

namespace harness {

inline std::string answer(const std::string& msgId, bool result, const std::string& response)
{
    return "{\"MsgId\":\"" + msgId + "\",\"Result\":" + (result ? "true" : "false") + ",\"Response\":\"" + response +
           "\"}";
}

inline std::string invalidSyntax(const std::string& reason)
{
    return answer("InvalidSyntax", false, "Invalid syntax, reason: " + reason);
}

inline std::string loadRequest(const std::string& module, const std::string& msgId = "1")
{
    return "{\"MsgId\":\"" + msgId + "\",\"Module\":\"" + module + "\"}";
}

inline const std::string kLoadSuccess = answer("LoadModule", true, "Load module success");

inline std::string loadError(int code)
{
    return answer("LoadModule", false, "Load Module error, can't find module.Error code: " + std::to_string(code));
}

} // namespace harness
