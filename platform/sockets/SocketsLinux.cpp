#include "platform/sockets/Sockets.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace platform {
namespace {

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

} // namespace

bool listenerMayReuseAddress()
{
    return true;
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
