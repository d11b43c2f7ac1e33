// The smallest useful Corvane plug-in: it answers the method "Hello" with a
// greeting that quotes the parameter text, and fails every other method.
#include "plugin/CorvanePlugin.h"

#include <cstring>
#include <string>

CORVANE_PLUGIN_EXPORT int Invoke(const char* method, const char* param, char** result)
{
    if (std::strcmp(method, "Hello") != 0) {
        return 1; // no text: the host answers "[ <method> ] function faild."
    }
    const std::string text = std::string("Hello! You sent ") + param;
    // The host copies this buffer and releases it with delete[].
    *result = new char[text.size() + 1];
    std::memcpy(*result, text.c_str(), text.size() + 1);
    return 0;
}
