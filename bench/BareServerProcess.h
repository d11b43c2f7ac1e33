#pragma once

// The bare WebSocket++ endpoint (BareServer.cpp) as a child process on port
// 1238, the baseline that corvane_bench and corvane_soak measure the service
// against. Its logs go to files, like the service's, so both pay the same
// for them.

#include <sys/types.h>

#include <string>

namespace bench {

constexpr int kBarePort = 1238;

class BareServerProcess {
public:
    // Starts it in a fresh directory under TMPDIR (or /tmp) and waits until
    // it listens. Throws std::runtime_error saying what failed.
    BareServerProcess();
    // Kills it and removes its directory.
    ~BareServerProcess();
    BareServerProcess(const BareServerProcess&) = delete;
    BareServerProcess& operator=(const BareServerProcess&) = delete;

    pid_t pid() const { return m_pid; }
    std::string accessLogPath() const { return m_directory + "/stdout.log"; }

private:
    std::string m_directory;
    pid_t m_pid = -1;
};

} // namespace bench
