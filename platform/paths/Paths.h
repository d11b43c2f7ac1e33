#pragma once

// Where the administrator's origin policy and the service's own log file
// are. One source file per platform.

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The administrator's list of web origins allowed to connect, read once at
// start: the file /etc/corvane/allowed-origins on Linux, the REG_MULTI_SZ
// value AllowedOrigins under HKLM\SOFTWARE\Policies\Corvane on Windows
// (where Group Policy writes). Parsing it is not the platform's business.
struct OriginPolicySource {
    enum class State { absent, unreadable, read };
    State state = State::absent;
    std::string location; // where it was looked for, for the log
    std::vector<std::string> lines; // when read: the file's lines or the value's strings, as stored
    std::string error;              // when unreadable: why
};
OriginPolicySource readOriginPolicySource();

// Where the service keeps its own log file when the standard streams lead
// nowhere: %LOCALAPPDATA%\Corvane on Windows. Empty on Linux, where the
// streams always stay (the journal or the terminal takes them). Not created.
std::filesystem::path userLogDirectory();

} // namespace platform
