#include "PortOwner.h"

#include "platform/sockets/Sockets.h"

#include <algorithm>
#include <cctype>

namespace doctor {

PortOwner findPortOwner(std::uint16_t port)
{
    PortOwner result;
    // The service listens on 127.0.0.1; a stand-in may listen on every address.
    platform::SocketOwner owner = platform::findSocketOwner(platform::Ipv4Endpoint{{127, 0, 0, 1}, port}, {});
    if (!owner.found) {
        owner = platform::findSocketOwner(platform::Ipv4Endpoint{{0, 0, 0, 0}, port}, {});
    }
    if (!owner.found) {
        return result;
    }
    // Searching for the process is slow where it means reading /proc; the
    // doctor may take the time, the service may not.
    platform::describeOwnerProcess(owner, platform::OwnerSearch::thorough);
    result.known = true;
    result.ownUser = owner.user == platform::currentUser();
    std::string name = owner.executable;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    result.corvane = name.empty() || name == "corvane" || name == "corvane.exe";
    result.text = platform::describeUser(owner.user);
    if (owner.pid >= 0) {
        result.text += ", process " + std::to_string(owner.pid);
    }
    if (!owner.executable.empty()) {
        // Another user names their program as they like: nothing of it may
        // pass for a line of the report.
        std::string shown = owner.executable;
        std::replace_if(
            shown.begin(), shown.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
        result.text += " (" + shown + ")";
    }
    return result;
}

} // namespace doctor
