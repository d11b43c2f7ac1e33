#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace server {

// What run() raises when the service does not start: every port of the
// range is in use (NoFreePort), or anything else went wrong before it
// listened (StartFailed). Either comes after its line on the error log. Any
// other exception from run() ended the I/O loop while it served.
class NoFreePort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class StartFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The one WebSocket endpoint of the process, on the first free port of
// 127.0.0.1:1237..1300 (server/PortRange.h). It turns the
// library's open, message and close events into notifications posted to the
// plugins manager; everything after the post runs synchronously inside the
// handler, on the thread that called run(). It is the transport through
// which the plug-in hosts read requests and send answers.
//
// A connection whose queued answers pass kMaxQueuedAnswerBytes
// (server/QueueLimit.h) is not read until they drain below it, so a page
// that does not read its answers is slowed rather than served into the
// service's memory; its requests are still answered, in order. Pongs count
// as answers. If such a queue does not drain at all for kMaxUndrainedTime,
// the connection is dropped.
//
// Partly received messages of all connections together hold at most
// kMaxUnfinishedMessageBytes: beyond it the connection whose message holds
// the most is closed (1009), as is one whose message has not grown for
// kMaxMessageStallTime.
//
// Only RFC 6455 handshakes (version 13) are served; the drafts before it
// the library also speaks are answered 426.
//
// A handshake is answered 403, before any notification, when the client's
// socket belongs to another user (another session on Windows) or cannot be
// found any more, or when an origin policy does not allow its Origin.
// Where the system names no owners of sockets (decided once at start), the
// owner is not checked and the error log says so.
class CorvaneServer {
public:
    CorvaneServer();
    ~CorvaneServer();
    CorvaneServer(const CorvaneServer&) = delete;
    CorvaneServer& operator=(const CorvaneServer&) = delete;

    // Listens and runs the I/O loop until SIGINT or SIGTERM has closed every
    // connection. A failed start raises NoFreePort or StartFailed, a failure
    // of the loop what the loop raised; each is on the error log first.
    // startError, when not empty, is a line for the error log about what
    // went wrong before the log existed.
    void run(const std::string& startError = {});

private:
    // The endpoint and everything that names the library's types, so that
    // only server/CorvaneServer.cpp includes WebSocket++.
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace server
