#include "harness/Shell.h"

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace harness {

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

CommandResult captureCommand(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    CommandResult result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::string runCommand(const std::string& command)
{
    CommandResult result = captureCommand(command);
    if (result.exitCode != 0) {
        throw std::runtime_error("failed: " + command + "\n" + result.output);
    }
    return std::move(result.output);
}

} // namespace harness
