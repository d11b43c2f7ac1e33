#pragma once

// Who owns the other end of a loopback TCP connection. The readers of the platforms' answers (socket
// diagnostics and /proc/net/tcp on Linux, the owner-PID TCP table on
// Windows) are plain byte and text parsing, compiled on every platform so
// that their tests run everywhere; the calls that fetch the answers live in
// SocketsLinux.cpp and SocketsWindows.cpp, behind Sockets.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct Ipv4Endpoint {
    std::array<std::uint8_t, 4> address{}; // in the order written: 127, 0, 0, 1
    std::uint16_t port = 0;

    bool operator==(const Ipv4Endpoint& other) const { return address == other.address && port == other.port; }
    bool operator!=(const Ipv4Endpoint& other) const { return !(*this == other); }
};

// "127.0.0.1:1237"
std::string toString(const Ipv4Endpoint& endpoint);

// The owner of one TCP socket. user is the uid on Linux and the session on
// Windows; pid and executable are told where the platform can.
struct SocketOwner {
    bool found = false; // false: no such socket, or the platform named no owner
    std::uint64_t user = 0;
    std::int64_t pid = -1;  // -1: not told
    std::string executable; // file name only; empty: not told
    std::uint64_t inode = 0; // Linux: the socket's inode, to find its process
};

// Whether the platform names the owners of sockets at all, judged from the
// owner it reports for the service's own listening socket: it must be found
// and belong to the service's user (and process, where a pid is told).
bool ownersNamed(const SocketOwner& listener, std::uint64_t ownUser, std::int64_t ownPid);

// --- Linux socket diagnostics (NETLINK_SOCK_DIAG) ---------------------------

// What the kernel answered to an exact lookup of one inet socket.
struct SockDiagAnswer {
    enum class Kind { found, notFound, failed, malformed };
    Kind kind = Kind::malformed;
    std::uint32_t uid = 0;
    std::uint32_t inode = 0;
    int error = 0; // the errno of an error message (positive)
    // The socket the kernel describes, which need not be the one asked for.
    unsigned state = 0; // TCP_ESTABLISHED, TCP_LISTEN, ...
    Ipv4Endpoint local;
    Ipv4Endpoint remote;
};

// The kernel's TCP states as both of its answers give them.
constexpr unsigned kLinuxTcpEstablished = 1;
constexpr unsigned kLinuxTcpListen = 10;

// Whether a socket the kernel described is the one asked for: the exact
// endpoints, established, and a socket a process holds (inode not 0). When
// remote is 0.0.0.0:0, a listener on local. The kernel falls back from an
// exact lookup to a listener on the client's port, and reports time-wait and
// orphaned sockets as root's: none of these names an owner.
bool describesSocket(unsigned state, const Ipv4Endpoint& seenLocal, const Ipv4Endpoint& seenRemote,
                     std::uint64_t inode, const Ipv4Endpoint& local, const Ipv4Endpoint& remote);

// Reads the datagram the kernel sent back: a SOCK_DIAG_BY_FAMILY message
// with an inet_diag_msg, or an error message (ENOENT when no socket has the
// endpoints). Fields are in the host's byte order, as the kernel writes them.
SockDiagAnswer parseSockDiagAnswer(const unsigned char* data, std::size_t size, std::uint32_t sequence);

// --- Linux /proc/net/tcp -----------------------------------------------------

struct ProcNetTcpEntry {
    Ipv4Endpoint local;
    Ipv4Endpoint remote;
    unsigned state = 0;
    std::uint32_t uid = 0;
    std::uint64_t inode = 0;
};

// One line of /proc/net/tcp; nullopt for the heading and anything malformed.
// The addresses are the kernel's 32-bit words printed in the host's byte
// order.
std::optional<ProcNetTcpEntry> parseProcNetTcpLine(std::string_view line);

// --- Windows TCP table with owning processes --------------------------------

// One row as GetExtendedTcpTable returns it (MIB_TCPROW_OWNER_PID): the
// addresses and ports in network byte order inside the 32-bit fields.
struct TcpRowOwnerPid {
    std::uint32_t state;
    std::uint32_t localAddr;
    std::uint32_t localPort;
    std::uint32_t remoteAddr;
    std::uint32_t remotePort;
    std::uint32_t owningPid;
};

constexpr std::uint32_t kTcpStateListen = 2; // MIB_TCP_STATE_LISTEN
constexpr std::uint32_t kTcpStateEstablished = 5; // MIB_TCP_STATE_ESTAB

Ipv4Endpoint localEndpointOf(const TcpRowOwnerPid& row);
Ipv4Endpoint remoteEndpointOf(const TcpRowOwnerPid& row);

// The row of the established socket whose own end is local and whose peer
// is remote, or of the listener on local when remote is 0.0.0.0:0; else
// null. Both ends of a loopback connection are in the table; only the one
// asked for matches, and a closing one names no owner.
const TcpRowOwnerPid* findTcpRow(const std::vector<TcpRowOwnerPid>& rows, const Ipv4Endpoint& local,
                                 const Ipv4Endpoint& remote);

} // namespace platform
