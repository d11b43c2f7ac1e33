// The smallest useful Corvane plug-in: it answers the method "Hello" with a
// greeting that quotes the parameter text, the method "Origin" with the
// page's origin, which it asks the host for, and fails every other method.
#include "plugin/CorvanePlugin.h"

#include <cstring>
#include <string>

namespace {

const CorvaneHost* g_host = nullptr;

int answer(const std::string& text, char** result)
{
    // The host copies this buffer and releases it with delete[].
    *result = new char[text.size() + 1];
    std::memcpy(*result, text.c_str(), text.size() + 1);
    return 0;
}

} // namespace

// Optional: without this export the plug-in works all the same, it only
// cannot tell who asks.
CORVANE_PLUGIN_EXPORT void CorvaneSetHost(const CorvaneHost* host)
{
    g_host = host;
}

CORVANE_PLUGIN_EXPORT int Invoke(const char* method, const char* param, char** result)
{
    if (std::strcmp(method, "Hello") == 0) {
        return answer(std::string("Hello! You sent ") + param, result);
    }
    if (std::strcmp(method, "Origin") == 0) {
        // What the service saw at the handshake; nothing the page sends now
        // can change it.
        const char* origin = g_host != nullptr ? g_host->origin() : nullptr;
        return answer(origin == nullptr ? "(no host)" : *origin == '\0' ? "(none)" : origin, result);
    }
    return 1; // no text: the host answers "[ <method> ] function faild."
}
