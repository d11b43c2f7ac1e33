#pragma once

// The service's process: the instance guard, the supervised child, the
// descriptor limit, the allocator, the standard streams and the console.
// One source file per platform.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The session-wide marker that an instance of the service runs. It is taken
// before anything else and vanishes with the process, however it ends.
class InstanceGuard {
public:
    explicit InstanceGuard(const std::string& name);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // True when another live process already holds the guard. Any other
    // failure to create it counts as being the first instance.
    bool alreadyRunning() const { return m_alreadyRunning; }

    // Why a place of the guard was passed over (one that another user
    // could have created, or did), for the log; empty when none was.
    const std::string& problem() const { return m_problem; }

private:
    std::intptr_t m_handle;
    bool m_alreadyRunning = false;
    std::string m_problem;
};

// Whether some process holds the guard of that name, found without taking
// it, so that looking never keeps a service from starting.
enum class GuardState { free, held, unknown };
GuardState probeInstanceGuard(const std::string& name);

// What InstanceGuard::problem() would say, for corvane-doctor.
std::string instanceGuardProblem(const std::string& name);

// Whether a crashed service is brought back by a parent Corvane process of
// its own (Windows, where nothing else would restart it before the next
// log-on). False on Linux, where the user's systemd unit restarts it.
bool supervisesService();

// True in the service process that a supervisor started. It is told through
// an environment variable naming the supervisor's process id, believed only
// when that process is in fact this one's parent; the variable is removed
// from the environment at once, so nothing the service starts inherits it.
// The supervisor holds the instance guard for it.
bool isSupervisedService();

// Starts a copy of this executable as the supervised service, waits for it to
// end and returns its exit code. The copy inherits the standard handles and
// lives in a job that ends it when the supervisor ends, however that ends.
// On failure to start it returns nullopt and says why in error.
std::optional<std::uint32_t> runSupervisedService(std::string& error);

// Lifts the process's soft limit on open descriptors to its hard limit, so a
// busy service does not run out early. Nothing to do where there is no such limit.
void raiseDescriptorLimit();

// Makes the allocator give large buffers (messages of megabytes) back to the
// system when they are freed, so that memory a page made the service take
// for a message is returned once the message is gone, not kept for reuse.
void returnLargeBuffersWhenFreed();

enum class StandardStream { output, error };

// Whether the process's standard output or error leads anywhere (a file, a
// pipe, a console). A Windows GUI program started from Explorer or the Run
// key has none.
bool standardStreamUsable(StandardStream stream);

// Has a console show the UTF-8 that a console program writes (token labels,
// names); the Windows console otherwise reads it in the OEM code page.
void useUtf8Console();

} // namespace platform
