#pragma once

#include "notification/Connection.h"
#include "notification/Notification.h"
#include "platform/SocketOwner.h"
#include "plugin/PluginsManager.h"
#include "plugin/Transport.h"
#include "server/EndpointConfig.h"
#include "server/IncomingBudget.h"
#include "server/LogFile.h"
#include "server/OriginPolicy.h"

#include <websocketpp/server.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace server {

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
class CorvaneServer : private plugin::Transport {
public:
    CorvaneServer();
    ~CorvaneServer();
    CorvaneServer(const CorvaneServer&) = delete;
    CorvaneServer& operator=(const CorvaneServer&) = delete;

    // Listens and runs the I/O loop until SIGINT or SIGTERM has closed every
    // connection. Start-up failures (address, every port of the range in
    // use) are raised as the library reports them, after its error-log line.
    // startError, when not empty, is a line for the error log about what
    // went wrong before the log existed.
    void run(const std::string& startError = {});

private:
    using Endpoint = websocketpp::server<EndpointConfig>;
    struct Paused {
        notification::ConnectionPtr connection;
        std::size_t queued = 0;                        // the least seen while paused
        std::chrono::steady_clock::time_point drained; // when it last went down
    };

    void init();
    void listenOnFirstFreePort();
    void decideOwnerCheck();
    bool onValidate(websocketpp::connection_hdl hdl);
    bool refuseDraftProtocol(const notification::ConnectionPtr& connection);
    bool onPing(websocketpp::connection_hdl hdl, std::string payload);
    void giveUpMessage(const IncomingBudget::Victim& victim);
    void reviewUnfinishedMessages();
    void onSocketOpen(websocketpp::connection_hdl hdl);
    void onSocketClose(websocketpp::connection_hdl hdl);
    void onSocketMessage(websocketpp::connection_hdl hdl, Endpoint::message_ptr msg);
    void post(std::shared_ptr<notification::Notification> n);
    void waitForStopSignal();
    void acceptNext();
    void acceptLater();
    void pauseReading(const notification::ConnectionPtr& connection);
    void checkPausedConnections();
    void resumeAllReading();

    std::string_view payloadOf(const notification::MessagePtr& message) const override;
    void sendText(const notification::ConnectionPtr& connection, std::string_view text) override;
    std::string originOf(const notification::ConnectionPtr& connection) const override;

    // First, so that it outlives every connection's messages.
    IncomingBudget m_incomingBudget;
    plugin::PluginsManager m_pluginsManager;
    std::unique_ptr<HeldFlushBuffer> m_accessLogBuffer; // outlives the endpoint that writes to it
    std::unique_ptr<std::ostream> m_accessLog;
    Endpoint m_server;
    std::optional<OriginPolicy> m_originPolicy;
    platform::Ipv4Endpoint m_listening;
    std::uint64_t m_ownUser = 0;
    bool m_ownersNamed = false;
    std::unique_ptr<asio::signal_set> m_stopSignals;
    bool m_stopping = false; // set by the stop signal; later opens are closed at once
    // Connections not read for now, and the timer that looks at them again:
    // the library tells no one when a send queue drains.
    std::vector<Paused> m_pausedConnections;
    std::unique_ptr<asio::steady_timer> m_drainTimer;
    std::unique_ptr<asio::steady_timer> m_reviewTimer; // of the unfinished messages
    Endpoint::acceptor_ptr m_acceptor; // the endpoint's own, taken as it binds
    std::unique_ptr<asio::steady_timer> m_acceptTimer;
    bool m_acceptPaused = false; // out of descriptors: accepting waits for the timer
};

} // namespace server
