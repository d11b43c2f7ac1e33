#include "platform/modules/ExportTable.h"
#include "platform/Platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <malloc.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

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

// Read once: every plug-in load asks, and the running executable's
// directory does not change.
std::string executableDirectory()
{
    static const std::string directory = [] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) {
            return std::string();
        }
        std::string path(buffer, static_cast<std::size_t>(n));
        const auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }();
    return directory;
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

// SocketOwner.cpp reads the kernel's answers by these offsets.
static_assert(sizeof(nlmsghdr) == 16 && NLMSG_ERROR == 2 && NLMSG_DONE == 3 && SOCK_DIAG_BY_FAMILY == 20);
static_assert(sizeof(inet_diag_msg) == 72 && offsetof(inet_diag_msg, idiag_uid) == 64 &&
              offsetof(inet_diag_msg, idiag_inode) == 68 && offsetof(inet_diag_msg, idiag_state) == 1 &&
              offsetof(inet_diag_msg, id) == 4 && offsetof(inet_diag_sockid, idiag_src) == 4 &&
              offsetof(inet_diag_sockid, idiag_dst) == 20 && TCP_ESTABLISHED == kLinuxTcpEstablished &&
              TCP_LISTEN == kLinuxTcpListen);

std::uint32_t addressWord(const Ipv4Endpoint& endpoint)
{
    std::uint32_t word;
    std::memcpy(&word, endpoint.address.data(), sizeof word);
    return word;
}

// An exact lookup of one TCP socket by its endpoints, as the kernel's own
// tools do it: no dump of the table, one answer. A socket bound to a device
// is found only when that device is named.
SockDiagAnswer querySockDiag(const Ipv4Endpoint& local, const Ipv4Endpoint& remote, unsigned device = 0)
{
    // One socket for every lookup, two system calls fewer per handshake
    // (only the service's I/O thread asks); it is opened afresh after any
    // answer that was not one, so nothing left over is ever read as one.
    static int fd = -1;
    if (fd < 0) {
        fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    }
    SockDiagAnswer answer;
    answer.kind = SockDiagAnswer::Kind::failed;
    if (fd < 0) {
        answer.error = errno;
        return answer;
    }
    static std::uint32_t sequence = 0;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++sequence;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(local.port);
    message.request.id.idiag_dport = htons(remote.port);
    message.request.id.idiag_src[0] = addressWord(local);
    message.request.id.idiag_dst[0] = addressWord(remote);
    message.request.id.idiag_if = device;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        answer.error = errno;
    } else {
        alignas(nlmsghdr) unsigned char buffer[8192];
        ssize_t n;
        do {
            n = ::recv(fd, buffer, sizeof buffer, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            answer.error = errno;
        } else {
            answer = parseSockDiagAnswer(buffer, static_cast<std::size_t>(n), message.header.nlmsg_seq);
        }
    }
    if (answer.kind != SockDiagAnswer::Kind::found && answer.kind != SockDiagAnswer::Kind::notFound) {
        ::close(fd);
        fd = -1;
    }
    return answer;
}

// The fallback where socket diagnostics are not available (or say nothing):
// the table the kernel prints for this network namespace.
SocketOwner scanProcNetTcp(const Ipv4Endpoint& local, const Ipv4Endpoint& remote)
{
    SocketOwner owner;
    std::ifstream in("/proc/net/tcp");
    for (std::string line; std::getline(in, line);) {
        const auto entry = parseProcNetTcpLine(line);
        if (entry && describesSocket(entry->state, entry->local, entry->remote, entry->inode, local, remote)) {
            owner.found = true;
            owner.user = entry->uid;
            owner.inode = entry->inode;
            break;
        }
    }
    return owner;
}

bool holdsSocket(const std::string& pid, const std::string& target)
{
    const std::string fdPath = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(fdPath.c_str());
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* fd = ::readdir(fds)) {
        char link[64];
        const std::string path = fdPath + "/" + fd->d_name;
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n == static_cast<ssize_t>(target.size()) && target.compare(0, target.size(), link, n) == 0) {
            found = true;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

// The pid of a process of uid that holds the socket with this inode, or -1.
// Only the user's own processes are searched, the one that held the last
// socket first (a browser opens connection after connection), and the
// search stops at the first hit: it runs once per admitted connection.
std::int64_t processOfSocket(std::uint64_t inode, std::uint64_t uid)
{
    static std::int64_t lastFound = -1; // only the service's I/O thread asks
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    if (lastFound > 0 && holdsSocket(std::to_string(lastFound), target)) {
        return lastFound;
    }
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    const pid_t self = ::getpid();
    std::int64_t found = -1;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        struct stat st {};
        if (pid <= 0 || *end != '\0' || pid == self || pid == lastFound ||
            ::fstatat(::dirfd(proc), entry->d_name, &st, 0) != 0 || st.st_uid != uid) {
            continue;
        }
        if (holdsSocket(entry->d_name, target)) {
            found = pid;
            break;
        }
    }
    ::closedir(proc);
    if (found > 0) {
        lastFound = found;
    }
    return found;
}

std::string executableOf(std::int64_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink((base + "/exe").c_str(), buffer, sizeof buffer - 1);
    if (n > 0) {
        const std::string path(buffer, static_cast<std::size_t>(n));
        return path.substr(path.rfind('/') + 1);
    }
    // Another user's process, or a kernel thread: its command name at least.
    std::ifstream in(base + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// A descriptor closed when it goes out of scope.
struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int value) : fd(value) {}
    ~FileDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
};

// The file read-only in memory, for the export reader. A failed map leaves it empty.
class MappedFile {
public:
    MappedFile(int fd, std::size_t size)
        : m_size(size)
    {
        void* data = size == 0 ? MAP_FAILED : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        m_data = data == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(data);
    }
    ~MappedFile()
    {
        if (m_data != nullptr) {
            ::munmap(const_cast<std::uint8_t*>(m_data), m_size);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_data == nullptr ? 0 : m_size; }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size;
};

#if defined(__x86_64__) || defined(__LP64__)
constexpr bool kWide = true;
#else
constexpr bool kWide = false;
#endif

#if defined(__x86_64__)
constexpr std::uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr std::uint16_t kMachine = EM_386;
#elif defined(__arm__)
constexpr std::uint16_t kMachine = EM_ARM;
#else
#error "the ELF machine of this platform is not known here"
#endif

bool isOwnKind(const ExportScan& scan)
{
    return scan.format == ExportScan::Format::elf && scan.wide == kWide && scan.machine == kMachine;
}

// What the loader's cache (/etc/ld.so.cache, written by ldconfig) maps a
// library name to. Entries carry the flags of their ABI; the right flags are
// those of the entry for the C library this process runs with, so nothing
// about the architecture is assumed here.
std::string cachedLibraryPath(const std::string& name)
{
    const FileDescriptor file(::open("/etc/ld.so.cache", O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const MappedFile cache(file.fd, static_cast<std::size_t>(st.st_size));
    constexpr std::string_view kMagic = "glibc-ld.so.cache1.1";
    constexpr std::size_t kHeader = 48;
    constexpr std::size_t kEntry = 24;
    const std::uint8_t* data = cache.data();
    const std::size_t size = cache.size();
    if (size < kHeader || std::string_view(reinterpret_cast<const char*>(data), kMagic.size()) != kMagic) {
        return {};
    }
    const auto u32 = [data](std::size_t at) {
        std::uint32_t value;
        std::memcpy(&value, data + at, sizeof value);
        return value;
    };
    const std::uint32_t count = u32(20);
    if (count > (size - kHeader) / kEntry) {
        return {};
    }
    // Offsets of texts count from the start of the file.
    const auto text = [data, size](std::uint32_t offset) {
        if (offset >= size) {
            return std::string_view();
        }
        const void* end = std::memchr(data + offset, 0, size - offset);
        return end == nullptr ? std::string_view()
                              : std::string_view(reinterpret_cast<const char*>(data + offset),
                                                 static_cast<const std::uint8_t*>(end) - (data + offset));
    };
    std::string libc;
    if (void* self = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
        link_map* map = nullptr;
        if (::dlinfo(self, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
            libc = map->l_name;
        }
        ::dlclose(self);
    }
    std::optional<std::uint32_t> flags;
    for (std::uint32_t i = 0; i < count && !flags; ++i) {
        const std::size_t at = kHeader + i * kEntry;
        if (text(u32(at + 4)) == "libc.so.6" && text(u32(at + 8)) == libc) {
            flags = u32(at);
        }
    }
    for (std::uint32_t i = 0; i < count && flags; ++i) {
        const std::size_t at = kHeader + i * kEntry;
        std::uint64_t hwcap;
        std::memcpy(&hwcap, data + at + 16, sizeof hwcap);
        // Entries for particular processor features live in subdirectories
        // the loader picks by itself; the plain entry is the one it falls back to.
        if (u32(at) == *flags && hwcap == 0 && text(u32(at + 4)) == name) {
            return std::string(text(u32(at + 8)));
        }
    }
    return {};
}

// The directories dlopen searches for a bare name, in its order: the
// caller's RPATH, LD_LIBRARY_PATH and RUNPATH, then the cache, then the
// default directories. The loader itself lists all but the cache.
std::vector<std::string> searchCandidates(const std::string& name)
{
    std::vector<std::string> candidates;
    void* self = ::dlopen(nullptr, RTLD_LAZY);
    Dl_serinfo sizes {};
    if (self == nullptr || ::dlinfo(self, RTLD_DI_SERINFOSIZE, &sizes) != 0) {
        return candidates;
    }
    std::unique_ptr<std::max_align_t[]> buffer(
        new std::max_align_t[sizes.dls_size / sizeof(std::max_align_t) + 1]);
    auto* info = reinterpret_cast<Dl_serinfo*>(buffer.get());
    *info = sizes;
    bool cacheAdded = false;
    const auto addCache = [&]() {
        const std::string cached = cachedLibraryPath(name);
        if (!cached.empty()) {
            candidates.push_back(cached);
        }
        cacheAdded = true;
    };
    if (::dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
        for (unsigned i = 0; i < info->dls_cnt; ++i) {
            const Dl_serpath& path = info->dls_serpath[i];
            if (!cacheAdded && (path.dls_flags & LA_SER_DEFAULT) != 0) {
                addCache();
            }
            candidates.push_back(std::string(path.dls_name) + "/" + name);
        }
    }
    if (!cacheAdded) {
        addCache();
    }
    ::dlclose(self);
    return candidates;
}

enum class Pick { found, skipped, missing };

// What the export reader found in a file, kept per file identity, so that
// a page loading the same plug-in over and over does not have the whole
// file mapped and read each time. The change time is part of the identity:
// unlike the modification time, no one can set it back.
class ExportScanCache {
public:
    std::optional<ExportScan> find(const struct stat& st, const char* entryName)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry& entry : m_entries) {
            if (sameFile(entry.identity, st) && entry.entryName == entryName) {
                return entry.scan;
            }
        }
        return std::nullopt;
    }

    void remember(const struct stat& st, const char* entryName, const ExportScan& scan)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_entries.size() >= kCapacity) {
            m_entries.erase(m_entries.begin()); // the oldest
        }
        m_entries.push_back(Entry{st, entryName, scan});
    }

private:
    static constexpr std::size_t kCapacity = 32; // plug-ins on one machine are few
    struct Entry {
        struct stat identity;
        std::string entryName;
        ExportScan scan;
    };
    static bool sameFile(const struct stat& a, const struct stat& b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
               a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
               a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    }
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

ExportScanCache& exportScanCache()
{
    static ExportScanCache cache;
    return cache;
}

// Checks the file at path as the loader would open it and, when it exports
// entryName, loads it by that same path. The file is read through one
// descriptor; before the load the path must still name that very file, so
// a file swapped in between is refused rather than run. The library is
// loaded by its path rather than through /proc/self/fd: plug-ins find what
// they ship with through $ORIGIN, which names the directory of the path
// they were loaded by.
PluginLoad checkAndLoad(const std::string& path, const char* entryName, bool searching, ModuleHandle& module,
                        std::uint32_t& error, Pick& pick)
{
    pick = Pick::found;
    // A file checked before and still the very same needs no second
    // reading; the stat that tells is the identity check before the load.
    struct stat named {};
    std::optional<ExportScan> known;
    if (::stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode)) {
        known = exportScanCache().find(named, entryName);
    }
    const bool checkedBefore = known.has_value();
    struct stat opened {};
    if (!checkedBefore) {
        const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (file.fd < 0 || ::fstat(file.fd, &opened) != 0) {
            const bool missing = errno == ENOENT || errno == ENOTDIR;
            // The loader searches on past a file it may not read.
            pick = missing ? Pick::missing : searching && errno == EACCES ? Pick::skipped : Pick::found;
            error = missing ? kErrorModuleNotFound : kErrorBadFormat;
            return PluginLoad::failed;
        }
        error = kErrorBadFormat;
        if (!S_ISREG(opened.st_mode)) {
            return PluginLoad::failed;
        }
        const MappedFile image(file.fd, static_cast<std::size_t>(opened.st_size));
        known = scanExports(image.data(), image.size(), entryName);
        // A file that could not be mapped is read again next time.
        if (image.data() != nullptr) {
            exportScanCache().remember(opened, entryName, *known);
        }
    }
    error = kErrorBadFormat;
    const ExportScan scan = *known;
    if (searching && scan.format == ExportScan::Format::elf && !isOwnKind(scan)) {
        pick = Pick::skipped; // the loader passes over a library of another machine
        return PluginLoad::failed;
    }
    if (!isOwnKind(scan) || !scan.library) {
        return PluginLoad::failed;
    }
    if (!scan.exported) {
        return PluginLoad::noEntry;
    }
    if (!checkedBefore &&
        (::stat(path.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)) {
        return PluginLoad::failed;
    }
    module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) {
        return PluginLoad::loaded;
    }
    // A dependency that cannot be found is reported as not found, as before.
    const char* message = ::dlerror();
    error = message == nullptr || std::strstr(message, "No such file") != nullptr ? kErrorModuleNotFound
                                                                                 : kErrorBadFormat;
    return PluginLoad::failed;
}

// A policy file is a short list; anything larger is not one (a device, a
// mistaken link) and must not hold up the start.
constexpr std::size_t kMaxPolicyBytes = 1 << 20;

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

PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error)
{
    module = nullptr;
    error = kErrorModuleNotFound;
    const std::string fileName = withLinuxSuffix(utf8Name);
    if (fileName.empty()) {
        return PluginLoad::failed;
    }
    Pick pick = Pick::missing;
    const std::string besideExecutable = executableDirectory() + "/" + fileName;
    if (isRegularFile(besideExecutable)) {
        return checkAndLoad(besideExecutable, entryName, false, module, error, pick);
    }
    if (fileName.find('/') != std::string::npos) {
        return checkAndLoad(fileName, entryName, false, module, error, pick);
    }
    // Already in the process under that name: the loader hands it out
    // without searching, and nothing of it runs again.
    if (void* loaded = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        if (::dlsym(loaded, entryName) != nullptr) {
            module = loaded;
            return PluginLoad::loaded;
        }
        ::dlclose(loaded);
        return PluginLoad::noEntry;
    }
    bool passedOver = false;
    for (const std::string& candidate : searchCandidates(fileName)) {
        const PluginLoad result = checkAndLoad(candidate, entryName, true, module, error, pick);
        if (pick == Pick::found) {
            return result;
        }
        passedOver = passedOver || pick == Pick::skipped;
    }
    // Only files the loader passed over: it names the last reason, not "No such file".
    error = passedOver ? kErrorBadFormat : kErrorModuleNotFound;
    return PluginLoad::failed;
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
        // Only a file that is not there means no policy. The file or its
        // directory as a link that leads nowhere is a broken policy, and a
        // broken one refuses every origin.
        for (const char* path : {"/etc/corvane/allowed-origins", "/etc/corvane"}) {
            struct stat link {};
            struct stat target {};
            if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && ::stat(path, &target) != 0) {
                source.state = OriginPolicySource::State::unreadable;
                source.error = std::string(path) + " is a link that leads nowhere";
                return source;
            }
        }
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

std::filesystem::path userLogDirectory()
{
    return {};
}

SocketOwner findSocketOwner(const Ipv4Endpoint& local, const Ipv4Endpoint& remote)
{
    // Once the diagnostics have found a socket, their "not found" is final;
    // before, it may mean that the kernel has no inet diagnostics at all.
    // (Only the service's I/O thread asks.)
    static bool diagnosticsWork = false;
    const auto ownerOf = [&](const SockDiagAnswer& answer) {
        SocketOwner owner;
        owner.found = answer.kind == SockDiagAnswer::Kind::found &&
                      describesSocket(answer.state, answer.local, answer.remote, answer.inode, local, remote);
        owner.user = owner.found ? answer.uid : 0;
        owner.inode = owner.found ? answer.inode : 0;
        return owner;
    };
    const SockDiagAnswer answer = querySockDiag(local, remote);
    if (answer.kind == SockDiagAnswer::Kind::found) {
        diagnosticsWork = true;
    }
    if (answer.kind == SockDiagAnswer::Kind::found ||
        (answer.kind == SockDiagAnswer::Kind::notFound && diagnosticsWork)) {
        SocketOwner owner = ownerOf(answer);
        if (owner.found || remote == Ipv4Endpoint{}) {
            return owner;
        }
        // A client bound to a device is found by that device alone. Only a
        // refusal pays for the walk, and it names who was refused.
        if (struct if_nameindex* devices = ::if_nameindex()) {
            for (const struct if_nameindex* device = devices; device->if_index != 0 && !owner.found; ++device) {
                owner = ownerOf(querySockDiag(local, remote, device->if_index));
            }
            ::if_freenameindex(devices);
        }
        return owner;
    }
    // The table walk costs milliseconds on a large machine, hence last.
    return scanProcNetTcp(local, remote);
}

void describeOwnerProcess(SocketOwner& owner, OwnerSearch search)
{
    if (search == OwnerSearch::cheapOnly || !owner.found || owner.inode == 0) {
        return;
    }
    owner.pid = processOfSocket(owner.inode, owner.user);
    if (owner.pid > 0) {
        owner.executable = executableOf(owner.pid);
    }
}

std::uint64_t currentUser()
{
    return ::geteuid();
}

std::int64_t currentProcessId()
{
    return ::getpid();
}

std::string describeUser(std::uint64_t user)
{
    return "uid " + std::to_string(user);
}

} // namespace platform
