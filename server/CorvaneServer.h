#pragma once

#include "notification/Connection.h"
#include "notification/Notification.h"
#include "plugin/PluginsManager.h"
#include "plugin/Transport.h"

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <memory>
#include <vector>

namespace server {

// The one WebSocket endpoint of the process, on 127.0.0.1:1237. It turns the
// library's open, message and close events into notifications posted to the
// plugins manager; everything after the post runs synchronously inside the
// handler, on the thread that called run(). It is the transport through
// which the plug-in hosts read requests and send answers.
//
// A connection whose queued answers pass kMaxQueuedAnswerBytes
// (server/QueueLimit.h) is not read until they drain below it, so a page
// that does not read its answers is slowed rather than served into the
// service's memory; its requests are still answered, in order.
class CorvaneServer : private plugin::Transport {
public:
    CorvaneServer();
    CorvaneServer(const CorvaneServer&) = delete;
    CorvaneServer& operator=(const CorvaneServer&) = delete;

    // Listens and runs the I/O loop until SIGINT or SIGTERM has closed every
    // connection. Start-up failures (address, port in use) are raised as the
    // library reports them, after its error-log line.
    void run();

private:
    using Endpoint = websocketpp::server<websocketpp::config::asio>;

    void init();
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

    plugin::PluginsManager m_pluginsManager;
    Endpoint m_server;
    std::unique_ptr<asio::signal_set> m_stopSignals;
    bool m_stopping = false; // set by the stop signal; later opens are closed at once
    // Connections not read for now, and the timer that looks at them again:
    // the library tells no one when a send queue drains.
    std::vector<notification::ConnectionPtr> m_pausedConnections;
    std::unique_ptr<asio::steady_timer> m_drainTimer;
    Endpoint::acceptor_ptr m_acceptor; // the endpoint's own, taken as it binds
    std::unique_ptr<asio::steady_timer> m_acceptTimer;
    bool m_acceptPaused = false; // out of descriptors: accepting waits for the timer
};

} // namespace server
