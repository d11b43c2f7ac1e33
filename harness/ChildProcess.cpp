#include "harness/ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace harness {
namespace {

int decodeStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// In the child after a failed call: "what: reason hint" on standard error,
// with writes only.
void tellFailure(const std::string& what, const char* hint)
{
    const char* reason = std::strerror(errno);
    (void)!::write(2, what.data(), what.size());
    (void)!::write(2, ": ", 2);
    (void)!::write(2, reason, std::strlen(reason));
    (void)!::write(2, hint, std::strlen(hint));
    (void)!::write(2, "\n", 1);
}

} // namespace

pid_t startChild(const ChildSpec& child)
{
    if (child.argv.empty()) {
        throw std::runtime_error("no program to start");
    }
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> args = child.argv;
    std::vector<std::string> env = child.environment;
    const std::vector<char*> argv = pointers(args);
    const std::vector<char*> envp = pointers(env);
    char* const* const childEnv = env.empty() ? environ : envp.data();
    const std::string cannotBecome = child.user ? "cannot become uid " + std::to_string(*child.user) : std::string();
    const std::string cannotStart = "cannot start " + child.argv[0];

    const int out = ::open(child.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(child.errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
        const std::string reason = std::strerror(errno);
        for (const int fd : {out, err, in}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::runtime_error("cannot open " + child.outputPath + " and " + child.errorPath + ": " + reason);
    }

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (child.user && (::setgroups(0, nullptr) != 0 || ::setgid(child.group) != 0 || ::setuid(*child.user) != 0)) {
            tellFailure(cannotBecome, " (starting a process as another user needs root)");
            _exit(126);
        }
        if (!child.directory.empty() && ::chdir(child.directory.c_str()) != 0) {
            _exit(126);
        }
        ::execvpe(argv[0], argv.data(), childEnv);
        tellFailure(cannotStart, "");
        _exit(127);
    }
    const int forkError = errno;
    ::close(out);
    ::close(err);
    ::close(in);
    if (pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(forkError));
    }
    // Also here, so that a kill of the group right after the start reaches it.
    ::setpgid(pid, pid);
    return pid;
}

std::optional<int> waitChild(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return decodeStatus(status);
        }
        if (done < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int killChild(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return decodeStatus(status);
}

} // namespace harness
