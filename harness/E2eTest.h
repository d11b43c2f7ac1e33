#pragma once

#include "harness/Answers.h"
#include "harness/ServiceProcess.h"
#include "harness/WsClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace e2e {

// The answer texts, shared with the benchmark and the soak.
using harness::answer;
using harness::invalidSyntax;
using harness::kLoadSuccess;
using harness::loadError;
using harness::loadRequest;

// What every end-to-end test works with.
using harness::Opcode;
using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

// Polls until predicate() holds or timeout passes; returns its last value.
// The service handles a close after the client has seen it, so effects of a
// close are observed by polling.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Ends a client's connection without waiting on a test's expectations.
inline void disconnect(harness::WsClient& client)
{
    if (client.isOpen()) {
        try {
            client.close();
        } catch (const harness::WsError&) {
        }
    }
}

// A service started through a launcher (the Windows build under Wine) has
// no signal-driven orderly stop; there the tests just end it.
inline bool stopsOnSigterm()
{
    return harness::environmentOr("CORVANE_TEST_LAUNCHER").empty();
}

// Stops the service as a user would and checks that it went cleanly: exit
// code 0 and no sanitizer report (in an instrumented build the leak check
// runs at this exit).
inline void expectCleanStop(harness::ServiceProcess& service)
{
    if (!stopsOnSigterm()) {
        service.kill();
        return;
    }
    service.terminate();
    const auto code = service.waitExit(std::chrono::milliseconds(15000));
    const std::string errors = service.standardError();
    EXPECT_EQ(code, std::optional<int>(0)) << errors;
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error:"), std::string::npos) << errors;
}

// A service with the given plug-ins beside it and one connected client,
// stopped cleanly after each test.
class ServiceTest : public ::testing::Test {
protected:
    void startService(const harness::ServiceOptions& options)
    {
        service = std::make_unique<harness::ServiceProcess>(options);
        client.connect();
    }

    void TearDown() override
    {
        if (service) {
            disconnect(client);
            expectCleanStop(*service);
        }
    }

    std::unique_ptr<harness::ServiceProcess> service;
    harness::WsClient client;
};

} // namespace e2e
