#pragma once

// The one way the harness starts a program: fork and exec, in a process
// group of its own (so that a launcher such as wine and whatever it starts
// can be stopped together), standard input from /dev/null and the output
// into files.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace harness {

struct ChildSpec {
    // argv[0] is looked up on PATH when it holds no slash.
    std::vector<std::string> argv;
    // The whole environment ("NAME=value"); empty: the harness's own.
    std::vector<std::string> environment;
    std::string directory; // working directory; empty: the harness's own
    std::string outputPath;
    std::string errorPath;
    // Switch to this user and group before exec (the caller must be root).
    std::optional<uid_t> user;
    gid_t group = 0;
};

// Starts the child; throws std::runtime_error when it cannot. A failure
// after the fork (exec, the user switch) shows as exit code 126 or 127 with
// the reason in the error file.
pid_t startChild(const ChildSpec& child);

// The exit code once the child ended, nullopt while it still runs after
// timeout (0: just look). A signal death is reported as 128 + signal.
std::optional<int> waitChild(pid_t pid, std::chrono::milliseconds timeout);

// SIGKILL to the child's process group, then reaps it; returns the exit code.
int killChild(pid_t pid);

} // namespace harness
