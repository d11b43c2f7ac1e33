#pragma once

// Starts the real service for one test, in a private directory of its own.
//
// The executable (and the plug-ins and files the test asks for) are copied
// into a fresh temporary directory, because the service looks for modules
// beside its executable first. XDG_RUNTIME_DIR points into that directory,
// so the single-instance guard never meets a service the user runs.
// Standard output and error go to files there.
//
// Configuration, read from the environment so that one test binary can drive
// another build of the service (for instance the Windows one under Wine):
//   CORVANE_TEST_SERVICE        the service executable (default: this build's)
//   CORVANE_TEST_LAUNCHER       optional command prefix, split at blanks ("wine")
//   CORVANE_TEST_ARTIFACTS      directory of the test plug-ins (default: this build's)
//   CORVANE_TEST_MODULE_PREFIX  file name prefix of a module (default "")
//   CORVANE_TEST_MODULE_SUFFIX  file name suffix of a module (default ".so")
//   CORVANE_TEST_START_TIMEOUT_MS  how long to wait for the service (default 20000)
//   CORVANE_TEST_KEEP_DIRS      if set, temporary directories are not removed
//
// All failures are thrown as ServiceError with a message that says what to do.

#include "server/PortRange.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace harness {

class ServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ServiceOptions {
    // Module base names ("echo"), looked up in the artifacts directory as
    // prefix + name + suffix and copied beside the service under that name.
    std::vector<std::string> plugins;
    // Other files to copy beside the service: source path -> file name there
    // (an empty name keeps the source's own file name).
    std::map<std::string, std::string> files;
    // Added to (or replacing entries of) the service's environment. "@DIR@"
    // in a value stands for the service's directory (for log files and
    // configuration that a test wants to read or write there).
    std::map<std::string, std::string> environment;
    // The port the service is expected to take: 1237, or a later one of
    // its range when a test holds the earlier ones.
    int port = server::kFirstPort;
    // Refuse to start while something listens on 127.0.0.1:port. Off only
    // for a test that occupies the port on purpose.
    bool requirePortFree = true;
    // Wait until 127.0.0.1:port completes a WebSocket handshake (for a
    // service of another user, which refuses ours: answers HTTP). Turn off
    // for a start that is expected to fail.
    bool waitUntilReady = true;
    // Run the service as this user and group (the test must be root); its
    // directory is handed over to that user. Unset: the test's own user.
    std::optional<uid_t> user;
    gid_t group = 0;
    // The directory the service is started in. Empty: its own directory.
    std::string startDirectory;
};

struct ProcessResult {
    int exitCode = -1; // 128 + signal number when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

class ServiceProcess {
public:
    explicit ServiceProcess(ServiceOptions options = {});
    // Kills the service if it still runs and removes its directory.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return m_pid; }
    int port() const { return m_port; }
    const std::string& directory() const { return m_directory; }
    // Where the service finds XDG_RUNTIME_DIR.
    std::string runtimeDirectory() const { return m_directory + "/run"; }

    // The exit code once the process ended, nullopt if it still runs after
    // timeout. A signal death is reported as 128 + signal.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    bool running();
    void terminate(); // SIGTERM to the process group
    void kill();      // SIGKILL to the process group

    // Starts the same executable with the same directory and environment,
    // waits for it to end and returns its exit code and output.
    ProcessResult runSecondInstance(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

    std::string standardOutput() const;
    std::string standardError() const;
    // Contents of a file in the service's directory; empty if it is missing.
    std::string fileText(const std::string& name) const;
    // A memory figure of the process in KiB from /proc/PID/status ("VmRSS",
    // "VmHWM"), or -1.
    long statusKiB(const std::string& field) const;

    // Module file name for a base name: prefix + name + suffix.
    static std::string moduleFileName(const std::string& baseName);
    static std::string artifactsDirectory();
    static std::string serviceExecutable();

    // Throws ServiceError if something already listens on 127.0.0.1:port.
    static void requirePortFree(int port = server::kFirstPort);

private:
    pid_t spawn(const std::string& outPath, const std::string& errPath) const;
    void waitUntilReady();

    std::string m_directory;
    std::string m_executable;
    std::string m_startDirectory;
    std::vector<std::string> m_environment;
    int m_port = server::kFirstPort;
    std::optional<uid_t> m_user;
    gid_t m_group = 0;
    pid_t m_pid = -1;
    std::optional<int> m_exitCode;
};

// The value of an environment variable, or fallback when it is unset or empty.
std::string environmentOr(const char* name, const std::string& fallback = {});

// A whole file's bytes; empty if it cannot be read.
std::string readTextFile(const std::string& path);

} // namespace harness
