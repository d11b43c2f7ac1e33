#pragma once

// Every operation whose realisation differs between Linux and Windows.
// One source file per platform implements this header; CMake picks it.
// Callers stay free of platform conditionals.

#include "platform/sockets/SocketOwner.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Error codes reported for failed module loads. They are the Windows codes on
// every platform, so that a page sees the same protocol everywhere.
constexpr std::uint32_t kErrorInvalidName = 123;      // ERROR_INVALID_NAME
constexpr std::uint32_t kErrorModuleNotFound = 126;   // ERROR_MOD_NOT_FOUND
constexpr std::uint32_t kErrorBadFormat = 193;        // ERROR_BAD_EXE_FORMAT

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

// Whether the listening socket may set SO_REUSEADDR. On Linux it only lets a
// restart bind while old sockets sit in TIME_WAIT; on Windows it would let a
// second listener take the port, so it stays off there.
bool listenerMayReuseAddress();

using ModuleHandle = void*;

// Loads a shared library by bare file name with the platform's rules:
// Windows hands the UTF-16 name to LoadLibraryW; Linux appends ".so" to a
// name without '.', drops one trailing '.', and searches the directory of
// the running executable before the dynamic loader's own search path.
// Returns null on failure and stores the (Windows-style) error code.
ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error);

enum class PluginLoad { loaded, noEntry, failed };

// Loads a plug-in by bare file name, finding the file as loadModule would,
// but only when that file exports entryName: the export table is read from
// the file first, so the initialiser of a library that is no plug-in never
// runs. loaded: module holds the library. noEntry: nothing was loaded.
// failed: error holds the code loadModule would have stored.
PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error);

// Address of an exported symbol, or null.
void* findSymbol(ModuleHandle module, const char* name);

// The file a loaded module came from, or empty.
std::string modulePath(ModuleHandle module);

// Drops one reference on a module returned by loadModule. Null is ignored.
void freeModule(ModuleHandle module);

// The administrator's list of web origins allowed to connect, read once at
// start: the file /etc/corvane/allowed-origins on Linux, the REG_MULTI_SZ
// value AllowedOrigins under HKLM\SOFTWARE\Policies\Corvane on Windows
// (where Group Policy writes). Parsing it is not the platform's business.
struct OriginPolicySource {
    enum class State { absent, unreadable, read };
    State state = State::absent;
    std::string location; // where it was looked for, for the log
    std::vector<std::string> lines; // when read: the file's lines or the value's strings, as stored
    std::string error;              // when unreadable: why
};
OriginPolicySource readOriginPolicySource();

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

// Where the service keeps its own log file when the standard streams lead
// nowhere: %LOCALAPPDATA%\Corvane on Windows. Empty on Linux, where the
// streams always stay (the journal or the terminal takes them). Not created.
std::filesystem::path userLogDirectory();

// The owner of the TCP socket on this machine whose own end is local and
// whose peer is remote (0.0.0.0:0 for a listener): its uid on Linux (socket
// diagnostics, /proc/net/tcp when they fail), its process and that
// process's session on Windows. Not found when the socket is gone or the
// platform names no owner.
SocketOwner findSocketOwner(const Ipv4Endpoint& local, const Ipv4Endpoint& remote);

// Adds the owner's pid and executable file name where the platform tells
// them. Windows names the pid in its table, so both searches cost the same.
// On Linux only a thorough one names them: it searches the owner's
// processes for the socket, at a cost that grows with their descriptors, so
// a handshake never asks for it.
enum class OwnerSearch { cheapOnly, thorough };
void describeOwnerProcess(SocketOwner& owner, OwnerSearch search);

// The service's own user (uid, or session on Windows) and process id, in
// the terms of SocketOwner.
std::uint64_t currentUser();
std::int64_t currentProcessId();

// A user in those terms for the log: "uid 1000", "session 2".
std::string describeUser(std::uint64_t user);

} // namespace platform
