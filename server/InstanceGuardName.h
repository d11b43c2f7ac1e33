#pragma once

namespace server {

// The session-wide guard whose existence means that the service runs: the
// service takes it, corvane-doctor only looks at it.
constexpr const char* kInstanceGuardName = "{9CB30B15-B17D-47FE-A017-7C08715198C7}";

} // namespace server
