#include "server/CorvaneServer.h"

#include "notification/ConnectionNotifications.h"
#include "platform/Platform.h"
#include "server/LogFile.h"
#include "server/OriginPolicy.h"
#include "server/QueueLimit.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <type_traits>

namespace server {

using notification::ConnectionPtr;
using notification::MessagePtr;

static_assert(std::is_same_v<ConnectionPtr, websocketpp::server<websocketpp::config::asio>::connection_ptr>,
              "notification/Connection.h must name the endpoint's connection pointer");
static_assert(std::is_same_v<MessagePtr, websocketpp::server<websocketpp::config::asio>::message_ptr>,
              "notification/Connection.h must name the endpoint's message pointer");

CorvaneServer::CorvaneServer()
    : m_pluginsManager(*this)
{
}

std::string_view CorvaneServer::payloadOf(const MessagePtr& message) const
{
    const std::string& payload = message->get_payload();
    return std::string_view(payload.data(), payload.size());
}

void CorvaneServer::sendText(const ConnectionPtr& connection, std::string_view text)
{
    // A refused send (connection no longer open) drops the answer.
    (void)connection->send(text.data(), text.size(), websocketpp::frame::opcode::text);
}

namespace {

// An administrator's origin policy, when there is one: a handshake carrying
// an Origin it does not allow is answered 403 before any notification.
void installOriginPolicy(websocketpp::server<websocketpp::config::asio>& endpoint)
{
    using Level = OriginPolicyLoad::Level;
    OriginPolicyLoad load = loadOriginPolicy();
    for (const OriginPolicyLoad::Message& message : load.messages) {
        endpoint.get_elog().write(message.level == Level::info      ? websocketpp::log::elevel::info
                                  : message.level == Level::warning ? websocketpp::log::elevel::warn
                                                                    : websocketpp::log::elevel::rerror,
                                  message.text);
    }
    if (!load.policy) {
        return;
    }
    endpoint.set_validate_handler([&endpoint, policy = std::move(*load.policy)](websocketpp::connection_hdl hdl) {
        const ConnectionPtr connection = endpoint.get_con_from_hdl(hdl);
        // An empty Origin is taken as none: leaving the header out gets the same.
        const std::string origin = connection->get_request_header("Origin");
        if (origin.empty() || policy.allows(origin)) {
            return true;
        }
        endpoint.get_alog().write(websocketpp::log::alevel::app, "origin not allowed by policy, handshake of " +
                                                                     connection->get_remote_endpoint() +
                                                                     " refused: \"" + printable(origin) + "\"");
        connection->set_status(websocketpp::http::status_code::forbidden);
        return false;
    });
}

} // namespace

void CorvaneServer::init()
{
    using std::placeholders::_1;
    using std::placeholders::_2;

    m_pluginsManager.registerObservers();
    const LogStreams logs = logStreams();
    m_server.get_alog().set_ostream(logs.access);
    m_server.get_elog().set_ostream(logs.error);
    m_server.init_asio();
    m_server.set_error_channels(websocketpp::log::elevel::all);
    m_server.set_access_channels(websocketpp::log::alevel::all ^ websocketpp::log::alevel::frame_payload);
    installOriginPolicy(m_server);
    m_server.set_open_handler(std::bind(&CorvaneServer::onSocketOpen, this, _1));
    m_server.set_message_handler(std::bind(&CorvaneServer::onSocketMessage, this, _1, _2));
    m_server.set_close_handler(std::bind(&CorvaneServer::onSocketClose, this, _1));
    m_server.set_reuse_addr(platform::listenerMayReuseAddress());
    m_server.set_tcp_pre_bind_handler([this](Endpoint::acceptor_ptr acceptor) {
        m_acceptor = std::move(acceptor); // for acceptNext()
        return websocketpp::lib::error_code();
    });
    m_drainTimer = std::make_unique<asio::steady_timer>(m_server.get_io_service());
    m_acceptTimer = std::make_unique<asio::steady_timer>(m_server.get_io_service());
    platform::raiseDescriptorLimit();
}

void CorvaneServer::run()
{
    init();
    m_server.listen("127.0.0.1", "1237");
    acceptNext();
    waitForStopSignal();
    m_server.run();
}

// Our own accept loop over the endpoint's acceptor, in place of
// start_accept(): the library re-arms its accept at once after any error and
// logs every failure, so a process out of descriptors spun a core and wrote
// lines as fast as it could. Here a shortage of descriptors pauses accepting
// for a moment, logged once when it begins and once when it ends; the
// waiting connections stay in the kernel's backlog and everything already
// connected is served meanwhile.
void CorvaneServer::acceptNext()
{
    if (!m_acceptor || !m_acceptor->is_open()) {
        return;
    }
    const ConnectionPtr connection = m_server.get_connection();
    if (!connection) {
        // The library has logged why; try again shortly rather than stop accepting.
        acceptLater();
        return;
    }
    m_acceptor->async_accept(connection->get_raw_socket(), [this, connection](const std::error_code& error) {
        if (!error) {
            if (m_acceptPaused) {
                m_acceptPaused = false;
                m_server.get_elog().write(websocketpp::log::elevel::warn, "descriptors free again, accepting");
            }
            connection->start();
            acceptNext();
        } else if (!m_acceptor->is_open()) {
            // Listening stopped (the orderly stop): the cancelled accept is no error.
        } else if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
                   error == std::errc::too_many_files_open_in_system) {
            if (!m_acceptPaused) {
                m_acceptPaused = true;
                m_server.get_elog().write(websocketpp::log::elevel::warn,
                                          "out of descriptors (" + error.message() + "), not accepting for now");
            }
            acceptLater();
        } else {
            m_server.get_elog().write(websocketpp::log::elevel::rerror, "accept failed: " + error.message());
            acceptNext();
        }
    });
}

void CorvaneServer::acceptLater()
{
    m_acceptTimer->expires_after(std::chrono::milliseconds(100));
    m_acceptTimer->async_wait([this](const std::error_code& waited) {
        if (!waited) {
            acceptNext();
        }
    });
}

void CorvaneServer::waitForStopSignal()
{
    m_stopSignals = std::make_unique<asio::signal_set>(m_server.get_io_service(), SIGINT, SIGTERM);
    m_stopSignals->async_wait([this](const std::error_code& error, int) {
        if (error) {
            return;
        }
        m_server.get_alog().write(websocketpp::log::alevel::app, "stop requested, closing connections");
        m_stopping = true;
        websocketpp::lib::error_code ignored;
        m_server.stop_listening(ignored);
        m_acceptTimer->cancel();
        // A paused connection must read again to complete its close handshake.
        resumeAllReading();
        for (const ConnectionPtr& connection : m_pluginsManager.openConnections()) {
            connection->close(websocketpp::close::status::normal, "service stopping", ignored);
        }
        // With the acceptor and the connections gone the loop runs out of
        // work and run() returns.
        m_stopSignals.reset();
    });
}

void CorvaneServer::onSocketOpen(websocketpp::connection_hdl hdl)
{
    const ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    post(std::make_shared<notification::ConnectReadyNotification>(connection));
    if (m_stopping) {
        // Its handshake was under way when the stop came; left open, it
        // would keep the service running.
        websocketpp::lib::error_code ignored;
        connection->close(websocketpp::close::status::normal, "service stopping", ignored);
    }
}

void CorvaneServer::onSocketClose(websocketpp::connection_hdl hdl)
{
    ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    m_pausedConnections.erase(std::remove(m_pausedConnections.begin(), m_pausedConnections.end(), connection),
                              m_pausedConnections.end());
    post(std::make_shared<notification::ConnectCloseNotification>(std::move(connection)));
}

void CorvaneServer::onSocketMessage(websocketpp::connection_hdl hdl, Endpoint::message_ptr msg)
{
    ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    auto n = std::make_shared<notification::MsgNotification>(std::move(msg));
    n->setConnection(connection);
    post(std::move(n));
    if (connection->get_buffered_amount() > kMaxQueuedAnswerBytes) {
        pauseReading(connection);
    }
}

void CorvaneServer::pauseReading(const ConnectionPtr& connection)
{
    if (std::find(m_pausedConnections.begin(), m_pausedConnections.end(), connection) !=
        m_pausedConnections.end()) {
        return;
    }
    // We are inside this connection's read handler on the loop's only
    // thread, so clearing its read flag here stops the read that would
    // follow; pause_reading() would only post that and let one more read in.
    connection->handle_pause_reading();
    m_pausedConnections.push_back(connection);
    if (m_pausedConnections.size() == 1) {
        checkPausedConnections();
    }
}

void CorvaneServer::checkPausedConnections()
{
    m_drainTimer->expires_after(std::chrono::milliseconds(10));
    m_drainTimer->async_wait([this](const std::error_code& error) {
        if (error) {
            return;
        }
        const auto drained = std::partition(
            m_pausedConnections.begin(), m_pausedConnections.end(),
            [](const ConnectionPtr& connection) { return connection->get_buffered_amount() >= kMaxQueuedAnswerBytes; });
        for (auto it = drained; it != m_pausedConnections.end(); ++it) {
            (void)(*it)->resume_reading();
        }
        m_pausedConnections.erase(drained, m_pausedConnections.end());
        if (!m_pausedConnections.empty()) {
            checkPausedConnections();
        }
    });
}

void CorvaneServer::resumeAllReading()
{
    for (const ConnectionPtr& connection : m_pausedConnections) {
        (void)connection->resume_reading();
    }
    m_pausedConnections.clear();
    m_drainTimer->cancel();
}

void CorvaneServer::post(std::shared_ptr<notification::Notification> n)
{
    // Whatever an observer throws stays with this event; the service goes on.
    try {
        m_pluginsManager.connectionDispatcher.post(std::move(n));
    } catch (const std::exception& e) {
        m_server.get_elog().write(websocketpp::log::elevel::rerror,
                                  std::string("request handling failed: ") + e.what());
    } catch (...) {
        m_server.get_elog().write(websocketpp::log::elevel::rerror, "request handling failed: unknown error");
    }
}

} // namespace server
