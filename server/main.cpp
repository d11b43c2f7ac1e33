#include "platform/Platform.h"
#include "server/CorvaneServer.h"

#include <exception>

int main(int, char*[])
{
    const platform::InstanceGuard guard("{9CB30B15-B17D-47FE-A017-7C08715198C7}");
    if (guard.alreadyRunning()) {
        return 1;
    }
    try {
        server::CorvaneServer server;
        server.run();
    } catch (const std::exception&) {
        // The library has already written its error-log line.
        return 2;
    }
    return 0;
}
