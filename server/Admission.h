#pragma once

// Who the service lets in, judged by the owner of a client's socket.

#include "platform/sockets/SocketOwner.h"

#include <cstdint>

namespace server {

// The decision for one handshake. Where owners are named, only a found
// owner of the service's own user gets in; a client whose socket is gone is
// refused as well. Where they are not, no one can be told apart and
// everyone gets in.
bool ownerAdmitted(bool namedOwners, const platform::SocketOwner& owner, std::uint64_t ownUser);

} // namespace server
