#pragma once

// The listening socket's option and the owners of TCP sockets on this
// machine, asked of the system. One source file per platform; the parsing
// of the answers is in SocketOwner.h.

#include "platform/sockets/SocketOwner.h"

#include <cstdint>
#include <string>

namespace platform {

// Whether the listening socket may set SO_REUSEADDR. On Linux it only lets a
// restart bind while old sockets sit in TIME_WAIT; on Windows it would let a
// second listener take the port, so it stays off there.
bool listenerMayReuseAddress();

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
