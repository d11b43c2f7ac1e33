#include "platform/sockets/SocketOwner.h"
#include "server/Admission.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace platform;

namespace {

const Ipv4Endpoint kServer{{127, 0, 0, 1}, 1237};
const Ipv4Endpoint kClient{{127, 0, 0, 1}, 45678};

// A netlink message as the kernel lays it out: header, then payload.
std::vector<unsigned char> netlinkMessage(std::uint16_t type, std::uint32_t sequence,
                                          const std::vector<unsigned char>& payload)
{
    std::vector<unsigned char> message(16 + payload.size());
    const std::uint32_t length = static_cast<std::uint32_t>(message.size());
    std::memcpy(message.data(), &length, 4);
    std::memcpy(message.data() + 4, &type, 2);
    std::memcpy(message.data() + 8, &sequence, 4);
    std::copy(payload.begin(), payload.end(), message.begin() + 16);
    return message;
}

// An inet_diag_msg for the socket with these endpoints and state (ports in
// network order, addresses as stored).
std::vector<unsigned char> inetDiagMsg(std::uint32_t uid, std::uint32_t inode, unsigned state = 1,
                                       const Ipv4Endpoint& local = kClient, const Ipv4Endpoint& remote = kServer)
{
    std::vector<unsigned char> payload(72);
    payload[0] = 2; // AF_INET
    payload[1] = static_cast<unsigned char>(state);
    payload[4] = static_cast<unsigned char>(local.port >> 8);
    payload[5] = static_cast<unsigned char>(local.port & 0xff);
    payload[6] = static_cast<unsigned char>(remote.port >> 8);
    payload[7] = static_cast<unsigned char>(remote.port & 0xff);
    std::copy(local.address.begin(), local.address.end(), payload.begin() + 8);
    std::copy(remote.address.begin(), remote.address.end(), payload.begin() + 24);
    std::memcpy(payload.data() + 64, &uid, 4);
    std::memcpy(payload.data() + 68, &inode, 4);
    return payload;
}

std::vector<unsigned char> errorMessage(std::int32_t error)
{
    std::vector<unsigned char> payload(20);
    std::memcpy(payload.data(), &error, 4);
    return payload;
}

std::uint32_t word(const std::array<std::uint8_t, 4>& bytes)
{
    std::uint32_t value;
    std::memcpy(&value, bytes.data(), 4);
    return value;
}

// The port field of a Windows row: network order in the low 16 bits.
std::uint32_t portField(std::uint16_t port)
{
    return static_cast<std::uint32_t>(((port & 0xff) << 8) | (port >> 8));
}

TcpRowOwnerPid row(std::uint32_t state, const Ipv4Endpoint& local, const Ipv4Endpoint& remote, std::uint32_t pid)
{
    return TcpRowOwnerPid{state, word(local.address), portField(local.port), word(remote.address),
                          portField(remote.port), pid};
}

} // namespace

TEST(SocketOwnerTest, sockDiagAnswer_readsUidAndInodeOrTellsWhyNot)
{
    const auto found = netlinkMessage(20, 7, inetDiagMsg(1000, 424242));
    const SockDiagAnswer answer = parseSockDiagAnswer(found.data(), found.size(), 7);
    EXPECT_EQ(answer.kind, SockDiagAnswer::Kind::found);
    EXPECT_EQ(answer.uid, 1000u);
    EXPECT_EQ(answer.inode, 424242u);

    const auto gone = netlinkMessage(2, 7, errorMessage(-2));
    EXPECT_EQ(parseSockDiagAnswer(gone.data(), gone.size(), 7).kind, SockDiagAnswer::Kind::notFound);
    const auto denied = netlinkMessage(2, 7, errorMessage(-13));
    EXPECT_EQ(parseSockDiagAnswer(denied.data(), denied.size(), 7).kind, SockDiagAnswer::Kind::failed);

    // Someone else's answer, a cut datagram, a lying length: never a uid.
    EXPECT_EQ(parseSockDiagAnswer(found.data(), found.size(), 8).kind, SockDiagAnswer::Kind::malformed);
    EXPECT_EQ(parseSockDiagAnswer(found.data(), found.size() - 4, 7).kind, SockDiagAnswer::Kind::malformed);
    auto lying = found;
    lying[0] = 0xff;
    EXPECT_EQ(parseSockDiagAnswer(lying.data(), lying.size(), 7).kind, SockDiagAnswer::Kind::malformed);
    const auto shortMsg = netlinkMessage(20, 7, std::vector<unsigned char>(40));
    EXPECT_EQ(parseSockDiagAnswer(shortMsg.data(), shortMsg.size(), 7).kind, SockDiagAnswer::Kind::malformed);
}

TEST(SocketOwnerTest, sockDiagAnswer_namesAnOwnerOnlyForTheEstablishedSocketAskedFor)
{
    const auto describes = [](const std::vector<unsigned char>& payload, const Ipv4Endpoint& local,
                              const Ipv4Endpoint& remote) {
        const auto message = netlinkMessage(20, 3, payload);
        const SockDiagAnswer a = parseSockDiagAnswer(message.data(), message.size(), 3);
        return a.kind == SockDiagAnswer::Kind::found &&
               describesSocket(a.state, a.local, a.remote, a.inode, local, remote);
    };
    EXPECT_TRUE(describes(inetDiagMsg(1000, 77), kClient, kServer));
    // What the kernel answers when the client's socket is bound to a device:
    // a listener of someone else on the client's own address and port.
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 10, kClient, Ipv4Endpoint{}), kClient, kServer));
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 10, Ipv4Endpoint{{0, 0, 0, 0}, kClient.port}, Ipv4Endpoint{}),
                           kClient, kServer));
    // Time-wait (uid 0, no inode), a closing and a half-open socket.
    EXPECT_FALSE(describes(inetDiagMsg(0, 0, 6), kClient, kServer));
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 4), kClient, kServer)) << "fin-wait-1";
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 8), kClient, kServer)) << "close-wait";
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 2), kClient, kServer)) << "syn-sent";
    // An established socket that is not this connection's client end.
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 1, kClient, Ipv4Endpoint{{127, 0, 0, 1}, 1238}), kClient, kServer));
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 1, Ipv4Endpoint{{127, 0, 0, 2}, kClient.port}, kServer), kClient,
                           kServer));
    EXPECT_FALSE(describes(inetDiagMsg(1000, 77, 1, kServer, kClient), kClient, kServer)) << "the service's own end";
    EXPECT_FALSE(describes(inetDiagMsg(1000, 0), kClient, kServer)) << "an orphan: no process holds it";

    // The service's own listener, asked for with no peer.
    EXPECT_TRUE(describes(inetDiagMsg(1000, 5, 10, kServer, Ipv4Endpoint{}), kServer, Ipv4Endpoint{}));
    EXPECT_FALSE(describes(inetDiagMsg(1000, 5, 1, kServer, kClient), kServer, Ipv4Endpoint{}));
}

TEST(SocketOwnerTest, procNetTcpLine_readsEndpointsStateUidAndInode)
{
    // As the kernel prints them on a little-endian machine.
    const auto entry = parseProcNetTcpLine("   3: 0100007F:B26E 0100007F:04D5 01 00000000:00000000 00:00000000 "
                                           "00000000  1000        0 424242 1 0000000000000000 20 4 30 10 -1");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->local, kClient);
    EXPECT_EQ(entry->remote, kServer);
    EXPECT_EQ(entry->state, 1u);
    EXPECT_EQ(entry->uid, 1000u);
    EXPECT_EQ(entry->inode, 424242u);
    EXPECT_TRUE(describesSocket(entry->state, entry->local, entry->remote, entry->inode, kClient, kServer));
    const auto timeWait = parseProcNetTcpLine("   4: 0100007F:B26E 0100007F:04D5 06 00000000:00000000 03:00001771 "
                                              "00000000     0        0 0 3 0000000000000000");
    ASSERT_TRUE(timeWait);
    EXPECT_FALSE(
        describesSocket(timeWait->state, timeWait->local, timeWait->remote, timeWait->inode, kClient, kServer));

    EXPECT_FALSE(parseProcNetTcpLine("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   "
                                     "uid  timeout inode"));
    EXPECT_FALSE(parseProcNetTcpLine("   3: 0100007F:B26E 0100007F 01 00000000:00000000 00:00000000 00000000  1000 0 1"));
    EXPECT_FALSE(parseProcNetTcpLine(""));
}

TEST(SocketOwnerTest, tcpTable_findsTheClientsEndNotTheServicesOwn)
{
    const Ipv4Endpoint any{};
    const std::vector<TcpRowOwnerPid> rows = {
        row(kTcpStateListen, kServer, any, 500),
        row(5, kServer, kClient, 500),        // the service's end of the connection
        row(5, kClient, kServer, 777),        // the page's end
        row(5, Ipv4Endpoint{{127, 0, 0, 1}, 45679}, kServer, 888),
        row(11, Ipv4Endpoint{{127, 0, 0, 1}, 45681}, kServer, 999), // time-wait
        row(kTcpStateListen, Ipv4Endpoint{{127, 0, 0, 1}, 45682}, any, 999),
        row(6, Ipv4Endpoint{{127, 0, 0, 1}, 45683}, kServer, 999), // fin-wait-1
    };
    const TcpRowOwnerPid* client = findTcpRow(rows, kClient, kServer);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->owningPid, 777u);
    const TcpRowOwnerPid* listener = findTcpRow(rows, kServer, any);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->owningPid, 500u);
    EXPECT_EQ(findTcpRow(rows, Ipv4Endpoint{{127, 0, 0, 1}, 45680}, kServer), nullptr);
    EXPECT_EQ(findTcpRow(rows, kClient, Ipv4Endpoint{{127, 0, 0, 1}, 1238}), nullptr);
    // Only an established row names a client's owner.
    for (const std::uint16_t port : {45681, 45682, 45683}) {
        EXPECT_EQ(findTcpRow(rows, Ipv4Endpoint{{127, 0, 0, 1}, port}, kServer), nullptr) << port;
    }
}

TEST(SocketOwnerTest, decision_onlyTheOwnUserWhereOwnersAreNamed)
{
    SocketOwner own;
    own.found = true;
    own.user = 2;
    own.pid = 500;
    EXPECT_TRUE(ownersNamed(own, 2, 500));
    SocketOwner unnamed; // a listener in a table where every PID is 0
    EXPECT_FALSE(ownersNamed(unnamed, 2, 500));
    SocketOwner otherProcess = own;
    otherProcess.pid = 501;
    EXPECT_FALSE(ownersNamed(otherProcess, 2, 500));

    SocketOwner other = own;
    other.user = 3;
    EXPECT_TRUE(server::ownerAdmitted(true, own, 2));
    EXPECT_FALSE(server::ownerAdmitted(true, other, 2));
    EXPECT_FALSE(server::ownerAdmitted(true, SocketOwner{}, 2)) << "a client that is gone";
    EXPECT_TRUE(server::ownerAdmitted(false, other, 2)) << "nobody can be told apart: served";
}
