// corvane_ws_request: sends each request over one WebSocket connection to
// 127.0.0.1:1237 and prints each answer on a line of its own, for scripts
// that talk to a service something else started (an installed package, the
// Windows installer under Wine).
//
//   corvane_ws_request [--wait SECONDS] [--origin ORIGIN] REQUEST...
//
// Connecting is retried until the service listens or SECONDS (default 10)
// have passed, so a script may start the service and call this at once.
// ORIGIN is sent as the handshake's Origin header, as a page's browser does.
// Exit code 0 with the answers on standard output; 1 with the reason on
// standard error; 2 when the service answered the handshake with anything
// but 101 (an origin policy's 403), with that status on standard error.

#include "harness/WsClient.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv)
{
    using namespace std::chrono;
    int first = 1;
    seconds wait(10);
    std::string origin;
    for (; first + 1 < argc; first += 2) {
        if (std::strcmp(argv[first], "--wait") == 0) {
            wait = seconds(std::stoi(argv[first + 1]));
        } else if (std::strcmp(argv[first], "--origin") == 0) {
            origin = argv[first + 1];
        } else {
            break;
        }
    }
    if (first >= argc) {
        std::cerr << "usage: corvane_ws_request [--wait SECONDS] [--origin ORIGIN] REQUEST...\n";
        return 1;
    }
    const auto deadline = steady_clock::now() + wait;
    try {
        harness::WsClient client;
        if (!origin.empty()) {
            client.setRequestHeader("Origin", origin);
        }
        for (;;) {
            try {
                client.connect();
                break;
            } catch (const harness::WsError&) {
                // An answer other than 101 is the service's decision: waiting changes nothing.
                if (client.handshakeStatus() != 0) {
                    std::cerr << "corvane_ws_request: handshake answered with HTTP status " << client.handshakeStatus()
                              << '\n';
                    return 2;
                }
                if (steady_clock::now() >= deadline) {
                    throw;
                }
                std::this_thread::sleep_for(milliseconds(200));
            }
        }
        for (int i = first; i < argc; ++i) {
            std::cout << client.request(argv[i]) << std::endl;
        }
        client.close();
    } catch (const harness::WsError& error) {
        std::cerr << "corvane_ws_request: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
