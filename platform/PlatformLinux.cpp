#include "platform/Platform.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace platform {
namespace {

std::string guardPath(const std::string& name)
{
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        return std::string(runtimeDir) + "/" + name + ".lock";
    }
    // Without a runtime directory the name must still be per user.
    return "/tmp/" + name + "-" + std::to_string(::getuid()) + ".lock";
}

std::string executableDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string withLinuxSuffix(std::string name)
{
    if (name.find('.') == std::string::npos) {
        name += ".so";
    } else if (name.back() == '.') {
        name.pop_back();
    }
    return name;
}

bool isRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A policy file is a short list; anything larger is not one (a device, a
// mistaken link) and must not hold up the start.
constexpr std::size_t kMaxPolicyBytes = 1 << 20;

} // namespace

InstanceGuard::InstanceGuard(const std::string& name)
    : m_handle(-1)
{
    const std::string path = guardPath(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

GuardState probeInstanceGuard(const std::string& name)
{
    struct stat guard {};
    if (::stat(guardPath(name).c_str(), &guard) != 0) {
        return errno == ENOENT ? GuardState::free : GuardState::unknown;
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

bool listenerMayReuseAddress()
{
    return true;
}

ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error)
{
    const std::string fileName = withLinuxSuffix(utf8Name);
    if (fileName.empty()) {
        error = kErrorModuleNotFound;
        return nullptr;
    }

    const std::string besideExecutable = executableDirectory() + "/" + fileName;
    if (isRegularFile(besideExecutable)) {
        if (void* handle = ::dlopen(besideExecutable.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return handle;
        }
        error = kErrorBadFormat;
        return nullptr;
    }

    if (void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return handle;
    }
    // dlopen gives only a message; "No such file" is the one way of saying
    // that nothing was found on the search path.
    const char* message = ::dlerror();
    const bool notFound = message == nullptr || std::strstr(message, "No such file") != nullptr;
    error = notFound ? kErrorModuleNotFound : kErrorBadFormat;
    return nullptr;
}

void* findSymbol(ModuleHandle module, const char* name)
{
    return module == nullptr ? nullptr : ::dlsym(module, name);
}

std::string modulePath(ModuleHandle module)
{
    link_map* map = nullptr;
    if (module == nullptr || ::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
}

void freeModule(ModuleHandle module)
{
    if (module != nullptr) {
        ::dlclose(module);
    }
}

OriginPolicySource readOriginPolicySource()
{
    OriginPolicySource source;
    source.location = "/etc/corvane/allowed-origins";
    const int fd = ::open(source.location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
        return source;
    }
    source.state = OriginPolicySource::State::unreadable;
    if (fd < 0) {
        source.error = std::strerror(errno);
        return source;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            source.error = std::strerror(errno);
            break;
        }
        if (n == 0) {
            source.state = OriginPolicySource::State::read;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxPolicyBytes) {
            source.error = "larger than 1 MiB";
            break;
        }
    }
    ::close(fd);
    if (source.state != OriginPolicySource::State::read) {
        return source;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1); // written on Windows
        }
        source.lines.emplace_back(line);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return source;
}

bool standardStreamUsable(StandardStream stream)
{
    return ::fcntl(stream == StandardStream::output ? 1 : 2, F_GETFD) != -1;
}

std::filesystem::path userLogDirectory()
{
    return {};
}

} // namespace platform
