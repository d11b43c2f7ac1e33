#include "server/Admission.h"

namespace server {

bool ownerAdmitted(bool namedOwners, const platform::SocketOwner& owner, std::uint64_t ownUser)
{
    return !namedOwners || (owner.found && owner.user == ownUser);
}

} // namespace server
