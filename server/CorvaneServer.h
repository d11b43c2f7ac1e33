#pragma once

#include "notification/Connection.h"
#include "notification/Notification.h"
#include "plugin/PluginsManager.h"
#include "plugin/Transport.h"

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <memory>

namespace server {

// The one WebSocket endpoint of the process, on 127.0.0.1:1237. It turns the
// library's open, message and close events into notifications posted to the
// plugins manager; everything after the post runs synchronously inside the
// handler, on the thread that called run(). It is the transport through
// which the plug-in hosts read requests and send answers.
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

    std::string_view payloadOf(const notification::MessagePtr& message) const override;
    void sendText(const notification::ConnectionPtr& connection, std::string_view text) override;

    plugin::PluginsManager m_pluginsManager;
    Endpoint m_server;
    std::unique_ptr<asio::signal_set> m_stopSignals;
};

} // namespace server
