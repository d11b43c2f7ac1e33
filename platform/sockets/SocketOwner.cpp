#include "platform/sockets/SocketOwner.h"

#include <cstring>

namespace platform {
namespace {

// The kernel's netlink and inet_diag layouts, which are ABI and therefore
// fixed; SocketsLinux.cpp checks them against the system headers.
constexpr std::size_t kNlmsghdrSize = 16;
constexpr std::uint16_t kNlmsgError = 2;
constexpr std::uint16_t kNlmsgDone = 3;
constexpr std::uint16_t kSockDiagByFamily = 20;
constexpr std::size_t kInetDiagMsgSize = 72;
constexpr std::size_t kInetDiagStateOffset = 1;
constexpr std::size_t kInetDiagSportOffset = 4; // network order, then dport
constexpr std::size_t kInetDiagSrcOffset = 8;   // then dst at 24
constexpr std::size_t kInetDiagDstOffset = 24;
constexpr std::size_t kInetDiagUidOffset = 64;
constexpr std::size_t kInetDiagInodeOffset = 68;

template <class T>
T readHost(const unsigned char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A 32-bit word holding four address bytes in memory order, as both
// kernels store an IPv4 address.
std::array<std::uint8_t, 4> addressBytes(std::uint32_t word)
{
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &word, sizeof word);
    return bytes;
}

std::uint16_t networkPort(std::uint32_t field)
{
    return static_cast<std::uint16_t>(((field & 0xffu) << 8) | ((field >> 8) & 0xffu));
}

bool parseHex(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 16) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    return true;
}

bool parseDecimal(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// "0100007F:04D5": the address word and the port, both in hex.
bool parseProcEndpoint(std::string_view text, Ipv4Endpoint& endpoint)
{
    const auto colon = text.find(':');
    std::uint64_t address = 0;
    std::uint64_t port = 0;
    if (colon != 8 || !parseHex(text.substr(0, 8), address) || !parseHex(text.substr(9), port) || port > 0xffff) {
        return false;
    }
    endpoint.address = addressBytes(static_cast<std::uint32_t>(address));
    endpoint.port = static_cast<std::uint16_t>(port);
    return true;
}

std::vector<std::string_view> splitBlanks(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\n') {
            ++at;
        }
        if (at > start) {
            fields.push_back(line.substr(start, at - start));
        }
        if (at < line.size() && line[at] == '\n') {
            break;
        }
    }
    return fields;
}

} // namespace

std::string toString(const Ipv4Endpoint& endpoint)
{
    return std::to_string(endpoint.address[0]) + "." + std::to_string(endpoint.address[1]) + "." +
           std::to_string(endpoint.address[2]) + "." + std::to_string(endpoint.address[3]) + ":" +
           std::to_string(endpoint.port);
}

bool ownersNamed(const SocketOwner& listener, std::uint64_t ownUser, std::int64_t ownPid)
{
    return listener.found && listener.user == ownUser && (listener.pid < 0 || listener.pid == ownPid);
}

bool describesSocket(unsigned state, const Ipv4Endpoint& seenLocal, const Ipv4Endpoint& seenRemote,
                     std::uint64_t inode, const Ipv4Endpoint& local, const Ipv4Endpoint& remote)
{
    const bool listener = remote == Ipv4Endpoint{};
    return inode != 0 && state == (listener ? kLinuxTcpListen : kLinuxTcpEstablished) && seenLocal == local &&
           (listener || seenRemote == remote);
}

SockDiagAnswer parseSockDiagAnswer(const unsigned char* data, std::size_t size, std::uint32_t sequence)
{
    SockDiagAnswer answer;
    // An exact lookup is answered by one message; anything else in the
    // datagram (another sequence number) is skipped.
    std::size_t at = 0;
    while (size - at >= kNlmsghdrSize) {
        const auto length = readHost<std::uint32_t>(data + at);
        const auto type = readHost<std::uint16_t>(data + at + 4);
        const auto seq = readHost<std::uint32_t>(data + at + 8);
        if (length < kNlmsghdrSize || length > size - at) {
            return SockDiagAnswer{};
        }
        const unsigned char* payload = data + at + kNlmsghdrSize;
        const std::size_t payloadSize = length - kNlmsghdrSize;
        if (seq == sequence) {
            if (type == kNlmsgError) {
                if (payloadSize < sizeof(std::int32_t)) {
                    return SockDiagAnswer{};
                }
                const auto error = readHost<std::int32_t>(payload);
                answer.error = error < 0 ? -error : error;
                answer.kind = answer.error == 2 /* ENOENT */ ? SockDiagAnswer::Kind::notFound
                                                            : SockDiagAnswer::Kind::failed;
                // An error message with 0 is an acknowledgement, not an answer.
                if (answer.error != 0) {
                    return answer;
                }
            } else if (type == kSockDiagByFamily) {
                if (payloadSize < kInetDiagMsgSize) {
                    return SockDiagAnswer{};
                }
                answer.kind = SockDiagAnswer::Kind::found;
                answer.state = payload[kInetDiagStateOffset];
                answer.local.port = static_cast<std::uint16_t>((payload[kInetDiagSportOffset] << 8) |
                                                               payload[kInetDiagSportOffset + 1]);
                answer.remote.port = static_cast<std::uint16_t>((payload[kInetDiagSportOffset + 2] << 8) |
                                                                payload[kInetDiagSportOffset + 3]);
                std::memcpy(answer.local.address.data(), payload + kInetDiagSrcOffset, 4);
                std::memcpy(answer.remote.address.data(), payload + kInetDiagDstOffset, 4);
                answer.uid = readHost<std::uint32_t>(payload + kInetDiagUidOffset);
                answer.inode = readHost<std::uint32_t>(payload + kInetDiagInodeOffset);
                return answer;
            } else if (type == kNlmsgDone) {
                answer.kind = SockDiagAnswer::Kind::notFound;
                return answer;
            }
        }
        at += (length + 3u) & ~std::size_t{3}; // messages are 4-byte aligned
        if (at > size) {
            break;
        }
    }
    return SockDiagAnswer{};
}

std::optional<ProcNetTcpEntry> parseProcNetTcpLine(std::string_view line)
{
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
    const std::vector<std::string_view> fields = splitBlanks(line);
    if (fields.size() < 10 || fields[0].empty() || fields[0].back() != ':') {
        return std::nullopt;
    }
    ProcNetTcpEntry entry;
    std::uint64_t state = 0;
    std::uint64_t uid = 0;
    if (!parseProcEndpoint(fields[1], entry.local) || !parseProcEndpoint(fields[2], entry.remote) ||
        !parseHex(fields[3], state) || !parseDecimal(fields[7], uid) || uid > 0xffffffffu ||
        !parseDecimal(fields[9], entry.inode)) {
        return std::nullopt;
    }
    entry.state = static_cast<unsigned>(state);
    entry.uid = static_cast<std::uint32_t>(uid);
    return entry;
}

Ipv4Endpoint localEndpointOf(const TcpRowOwnerPid& row)
{
    return Ipv4Endpoint{addressBytes(row.localAddr), networkPort(row.localPort)};
}

Ipv4Endpoint remoteEndpointOf(const TcpRowOwnerPid& row)
{
    return Ipv4Endpoint{addressBytes(row.remoteAddr), networkPort(row.remotePort)};
}

const TcpRowOwnerPid* findTcpRow(const std::vector<TcpRowOwnerPid>& rows, const Ipv4Endpoint& local,
                                 const Ipv4Endpoint& remote)
{
    const bool listener = remote == Ipv4Endpoint{};
    for (const TcpRowOwnerPid& row : rows) {
        if (row.state != (listener ? kTcpStateListen : kTcpStateEstablished)) {
            continue;
        }
        // A listener's row carries no peer; its remote fields are not to be relied on.
        if (localEndpointOf(row) == local && (listener || remoteEndpointOf(row) == remote)) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace platform
