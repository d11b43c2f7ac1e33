#pragma once

// Bringing the service back after a crash, where the platform leaves that to
// Corvane itself (platform::supervisesService()).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace server {

// The service's own exit codes. An orderly end, another instance running
// and every port of the range in use end supervision: starting again cannot
// help. Any other code is a crash, and so are the two failures the service
// reports itself, a start that failed otherwise (which may pass) and an
// error that ended the I/O loop.
constexpr std::uint32_t kExitOrderly = 0;
constexpr std::uint32_t kExitAlreadyRunning = 1;
constexpr std::uint32_t kExitNoPort = 2;
constexpr std::uint32_t kExitStartFailed = 4;
constexpr std::uint32_t kExitFailed = 5;

// What to do when the service has ended. A crash is followed by a restart
// after a pause that starts at 1 s and doubles with each crash up to 30 s,
// back to 1 s once the service has run for 10 minutes. The fifth crash
// within 10 minutes is not followed by a restart.
class RestartPolicy {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMaxCrashes = 5;
    static constexpr std::chrono::minutes kWindow{10};

    struct Decision {
        enum class Action { stop, restart, giveUp };
        Action action;
        std::chrono::seconds pause{0}; // before the restart
        int crashesInWindow = 0;       // this one included
    };

    // started: when the service that ended was started; ended: now.
    Decision onExit(std::uint32_t exitCode, Clock::time_point started, Clock::time_point ended);

private:
    Clock::time_point m_crashes[kMaxCrashes] = {};
    int m_crashCount = 0; // entries of m_crashes in use, oldest first
    std::chrono::seconds m_nextPause{1};
};

// "3221225477 (0xC0000005)": how the error log names an exit code.
std::string describeExitCode(std::uint32_t exitCode);

// Runs the service in child processes until it ends in order, restarting it
// after crashes as RestartPolicy says, and logs each crash and the giving up
// to the error log. Returns the exit code for this process, or nullopt when
// not even the first child could be started (the caller then runs the
// service itself, unsupervised).
std::optional<int> superviseService();

} // namespace server
