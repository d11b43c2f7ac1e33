#pragma once

#include <string>
#include <string_view>

namespace plugin {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The text with every byte that does not start a valid sequence replaced by
// U+FFFD. Valid text comes back unchanged. Answers go out as WebSocket text
// messages, which must be valid UTF-8 or the library refuses to send them.
std::string toValidUtf8(std::string_view text);

} // namespace plugin
