#include "server/Supervisor.h"

#include "platform/process/Process.h"
#include "server/LogFile.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace server {

RestartPolicy::Decision RestartPolicy::onExit(std::uint32_t exitCode, Clock::time_point started,
                                              Clock::time_point ended)
{
    if (exitCode == kExitOrderly || exitCode == kExitAlreadyRunning || exitCode == kExitNoPort) {
        return {Decision::Action::stop};
    }
    if (ended - started >= kWindow) {
        m_nextPause = std::chrono::seconds(1);
    }
    const int expired = static_cast<int>(
        std::find_if(m_crashes, m_crashes + m_crashCount, [&](Clock::time_point at) { return ended - at < kWindow; }) -
        m_crashes);
    std::copy(m_crashes + expired, m_crashes + m_crashCount, m_crashes);
    m_crashCount -= expired;
    if (m_crashCount == kMaxCrashes) { // cannot happen: the fifth gives up
        --m_crashCount;
    }
    m_crashes[m_crashCount++] = ended;
    if (m_crashCount == kMaxCrashes) {
        return {Decision::Action::giveUp, std::chrono::seconds(0), m_crashCount};
    }
    const Decision decision{Decision::Action::restart, m_nextPause, m_crashCount};
    m_nextPause = std::min(m_nextPause * 2, std::chrono::seconds(30));
    return decision;
}

std::string describeExitCode(std::uint32_t exitCode)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(exitCode));
    return std::to_string(exitCode) + " (" + hex + ")";
}

std::optional<int> superviseService()
{
    RestartPolicy policy;
    for (bool first = true;; first = false) {
        const auto started = RestartPolicy::Clock::now();
        std::string error;
        const std::optional<std::uint32_t> exitCode = platform::runSupervisedService(error);
        if (!exitCode && first) {
            writeErrorLine(error + "; running the service without restarts after a crash");
            return std::nullopt;
        }
        // A failed restart counts as one more crash, so that it is retried
        // with the same pauses and given up on alike.
        const std::uint32_t code = exitCode.value_or(0xFFFFFFFFu);
        const auto decision = policy.onExit(code, started, RestartPolicy::Clock::now());
        const std::string what = exitCode ? "the service ended with exit code " + describeExitCode(code) : error;
        const std::string count = std::to_string(decision.crashesInWindow) + " of " +
                                  std::to_string(RestartPolicy::kMaxCrashes) + " crashes within " +
                                  std::to_string(RestartPolicy::kWindow.count()) + " minutes";
        switch (decision.action) {
        case RestartPolicy::Decision::Action::stop:
            return static_cast<int>(code);
        case RestartPolicy::Decision::Action::giveUp:
            writeErrorLine(what + " (" + count + "); giving up, the service is not started again");
            return static_cast<int>(code);
        case RestartPolicy::Decision::Action::restart:
            writeErrorLine(what + " (" + count + "); starting it again in " +
                           std::to_string(decision.pause.count()) + " s");
            std::this_thread::sleep_for(decision.pause);
            break;
        }
    }
}

} // namespace server
