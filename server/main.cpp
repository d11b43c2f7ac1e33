#include "platform/process/Process.h"
#include "server/CorvaneServer.h"
#include "server/InstanceGuardName.h"
#include "server/LogFile.h"
#include "server/Supervisor.h"

#include <exception>
#include <string>

namespace {

// A failure of run() has its error-log line by the time it arrives here. 3 is
// left out: it is what abort() ends a Windows process with.
int runService(const std::string& startError = {})
{
    try {
        server::CorvaneServer server;
        server.run(startError);
    } catch (const server::NoFreePort&) {
        return server::kExitNoPort;
    } catch (const server::StartFailed&) {
        return server::kExitStartFailed;
    } catch (const std::exception&) {
        return server::kExitFailed;
    }
    return server::kExitOrderly;
}

} // namespace

// On Windows nothing restarts a crashed service before the next log-on, so
// Corvane.exe supervises itself: the process that was started takes the
// instance guard and then runs the service in a child process, a copy of
// this executable, restarting it after a crash (server/Supervisor.h). The
// child learns its role from an environment variable naming the supervisor's
// process id, believed only when that process is its parent, and skips the
// guard that the supervisor holds for it; no command-line option exists for
// a user to pass. A job object ends the child with the supervisor. On Linux
// the process runs the service itself and systemd restarts it.
int main(int, char*[])
{
    if (platform::isSupervisedService()) {
        return runService();
    }
    const platform::InstanceGuard guard(server::kInstanceGuardName);
    if (guard.alreadyRunning()) {
        return server::kExitAlreadyRunning;
    }
    // A guard of another user's is never taken for a running service; the
    // log says where it was found.
    std::string guardError = guard.problem().empty() ? std::string()
                                                     : "instance guard: " + guard.problem() + "; not trusted";
    if (platform::supervisesService()) {
        // The supervised child does not look at the guard: it is said here.
        if (!guardError.empty()) {
            server::writeErrorLine(guardError);
            guardError.clear();
        }
        if (const auto exitCode = server::superviseService()) {
            return *exitCode;
        }
    }
    return runService(guardError);
}
