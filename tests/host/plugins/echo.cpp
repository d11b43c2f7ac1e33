// Test plug-in with one method per kind of answer the host must pass on.
// Unknown methods succeed without a text, like a real plug-in that does not
// know the method.

#include "plugin/CorvanePlugin.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

char* copyOut(const std::string& text)
{
    char* buffer = new char[text.size() + 1];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return buffer;
}

} // namespace

CORVANE_PLUGIN_EXPORT int Invoke(const char* method, const char* param, char** result)
{
    const std::string name = method;
    if (name == "echo") { // the parameter back, success
        *result = copyOut(param);
        return 0;
    }
    if (name == "method") { // the method name back: proves what reached Invoke
        *result = copyOut(name);
        return 0;
    }
    if (name == "failWithText") {
        *result = copyOut("echo failed on purpose");
        return -1;
    }
    if (name == "failSilently") {
        return -1;
    }
    if (name == "throw") { // a C++ exception escaping the plug-in
        throw std::runtime_error("thrown by the echo plug-in");
    }
    if (name == "accessViolation") { // a store through a null pointer ends the process
        static int* volatile nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    if (name == "invalidUtf8") {
        *result = copyOut("bad \xC3\x28 and \xFF end");
        return 0;
    }
    if (name == "huge") { // 4 MiB of 'x'
        *result = copyOut(std::string(4u << 20, 'x'));
        return 0;
    }
    if (name == "embeddedNul") {
        *result = copyOut(std::string("before\0after", 12));
        return 0;
    }
    return 0; // unknown method: success, no text
}
