#include "platform/process/Process.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// A directory only this user can create files in: its own, not a link,
// writable by no one else. Why not, for the log; empty when it is.
std::string untrustedDirectory(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return path + " cannot be examined: " + std::strerror(errno);
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        return path + " is not a directory";
    }
    if (st.st_uid != ::geteuid()) {
        return path + " belongs to uid " + std::to_string(st.st_uid);
    }
    if ((st.st_mode & 022) != 0) {
        return path + " can be written by other users";
    }
    return {};
}

// Where the guard's lock file lives: the runtime directory, else a
// directory of the user's own under /tmp, made if needed. Never a place
// another user could have created the file in first: there, a lock of theirs
// would pass for a running service. Empty path: no such place.
struct GuardLocation {
    std::string path;
    std::string problem; // why a place was passed over
};

GuardLocation guardLocation(const std::string& name)
{
    GuardLocation location;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        location.problem = untrustedDirectory(runtimeDir);
        if (location.problem.empty()) {
            location.path = std::string(runtimeDir) + "/" + name + ".lock";
            return location;
        }
    }
    const std::string own = "/tmp/" + name + "-" + std::to_string(::geteuid());
    ::mkdir(own.c_str(), 0700); // an existing one is examined below
    const std::string problem = untrustedDirectory(own);
    if (problem.empty()) {
        location.path = own + "/" + name + ".lock";
    }
    location.problem += (location.problem.empty() || problem.empty() ? "" : "; ") + problem;
    return location;
}

// Opens the lock file in its place without following a link; -1 when it
// is no file of this user's.
int openGuardFile(const std::string& path, int flags, std::string& problem)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        problem = path + " is not a file of this user's";
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

InstanceGuard::InstanceGuard(const std::string& name)
    : m_handle(-1)
{
    const GuardLocation location = guardLocation(name);
    m_problem = location.problem;
    if (location.path.empty()) {
        return; // Nowhere safe to keep it: behave as the first instance.
    }
    std::string problem;
    const int fd = openGuardFile(location.path, O_RDWR | O_CREAT, problem);
    if (!problem.empty()) {
        m_problem += (m_problem.empty() ? "" : "; ") + problem;
    }
    if (fd < 0) {
        return; // Cannot create the marker: behave as the first instance.
    }
    // flock is released by the kernel when the process dies, even by SIGKILL.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_alreadyRunning = (errno == EWOULDBLOCK);
        ::close(fd);
        return;
    }
    m_handle = fd;
}

InstanceGuard::~InstanceGuard()
{
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

std::string instanceGuardProblem(const std::string& name)
{
    return guardLocation(name).problem;
}

GuardState probeInstanceGuard(const std::string& name)
{
    const GuardLocation location = guardLocation(name);
    if (location.path.empty()) {
        return GuardState::unknown;
    }
    struct stat guard {};
    if (::lstat(location.path.c_str(), &guard) != 0) {
        return errno == ENOENT ? GuardState::free : GuardState::unknown;
    }
    // A lock file of someone else's is no instance of this user's.
    if (!S_ISREG(guard.st_mode) || guard.st_uid != ::geteuid()) {
        return GuardState::free;
    }
    // The kernel lists every lock with the device and inode of its file.
    std::FILE* locks = std::fopen("/proc/locks", "r");
    if (locks == nullptr) {
        return GuardState::unknown;
    }
    char line[256];
    bool held = false;
    while (!held && std::fgets(line, sizeof line, locks) != nullptr) {
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long inode = 0;
        const char* at = std::strstr(line, "FLOCK");
        for (const char* field = at; field != nullptr && !held; field = std::strchr(field + 1, ' ')) {
            if (std::sscanf(field, " %x:%x:%lu", &major, &minor, &inode) == 3) {
                held = inode == guard.st_ino && major == ::major(guard.st_dev) && minor == ::minor(guard.st_dev);
                break;
            }
        }
    }
    std::fclose(locks);
    return held ? GuardState::held : GuardState::free;
}

void useUtf8Console()
{
}

bool supervisesService()
{
    return false;
}

bool isSupervisedService()
{
    return false;
}

std::optional<std::uint32_t> runSupervisedService(std::string& error)
{
    error = "the service is not supervised on Linux: its systemd unit restarts it";
    return std::nullopt;
}

void raiseDescriptorLimit()
{
    // The event loop waits with epoll, which takes descriptors of any number.
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void returnLargeBuffersWhenFreed()
{
    // A fixed threshold: glibc otherwise raises it to the size of each
    // mapped buffer freed, and the next buffers of that size come from the
    // heap, which keeps them after they are freed.
    (void)::mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

bool standardStreamUsable(StandardStream stream)
{
    return ::fcntl(stream == StandardStream::output ? 1 : 2, F_GETFD) != -1;
}

} // namespace platform
