// ws-request: sends each argument as one request over one WebSocket
// connection to 127.0.0.1:1237 and prints each answer on a line of its own.
// Waits up to ten seconds for the service to accept connections, so that a
// script can start the service and call this at once. Exit code 1 when the
// connection or an answer fails. Used to talk to an installed service from
// outside its root (scripts/test-deb.sh).

#include "support/WsClient.h"

#include <chrono>
#include <iostream>
#include <thread>

int main(int argc, char** argv)
{
    using namespace std::chrono;
    testsupport::WsClient client;
    const auto deadline = steady_clock::now() + seconds(10);
    try {
        for (;;) {
            try {
                client.connect();
                break;
            } catch (const testsupport::WsError&) {
                if (steady_clock::now() >= deadline) {
                    throw;
                }
                std::this_thread::sleep_for(milliseconds(100));
            }
        }
        for (int i = 1; i < argc; ++i) {
            std::cout << client.request(argv[i]) << std::endl;
        }
        client.close();
    } catch (const testsupport::WsError& error) {
        std::cerr << "ws-request: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
