#pragma once

// Commands run through /bin/sh for the tests that drive command-line tools
// (token provisioning, OpenSSL's reading of a certificate, the doctor).

#include <string>

namespace harness {

// `text` as one word of a shell command line, whatever it holds.
std::string shellQuote(const std::string& text);

struct CommandResult {
    std::string output; // standard output
    int exitCode = -1;  // -1 when the command did not exit normally
};

// Runs `command` and collects its standard output; throws std::runtime_error
// only when no shell can be started.
CommandResult captureCommand(const std::string& command);

// The standard output of `command`; throws std::runtime_error, with the
// output, unless the command exits with 0.
std::string runCommand(const std::string& command);

} // namespace harness
