// Sends one request to a service that something else started (the Windows
// installer, under Wine) and prints its answer, for scripts/test-msi.sh.
//
//   corvane_ws_request <json> [seconds to wait for the service, default 20]
//
// Connection attempts are repeated until the service listens or the time is
// up. Exit code 0 with the answer on standard output; 1 with the reason on
// standard error.

#include "support/WsClient.h"

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: corvane_ws_request <json> [seconds]\n";
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(argc == 3 ? std::stoi(argv[2]) : 20);
    std::string lastError;
    do {
        try {
            testsupport::WsClient client;
            client.connect();
            const std::string answer = client.request(argv[1]);
            client.close();
            std::cout << answer << '\n';
            return 0;
        } catch (const testsupport::WsError& error) {
            lastError = error.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < deadline);
    std::cerr << "corvane_ws_request: " << lastError << '\n';
    return 1;
}
