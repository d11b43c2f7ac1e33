#include "server/CorvaneServer.h"

#include "notification/Connection.h"
#include "notification/ConnectionNotifications.h"
#include "notification/Notification.h"
#include "platform/process/Process.h"
#include "platform/sockets/SocketOwner.h"
#include "platform/sockets/Sockets.h"
#include "plugin/PluginsManager.h"
#include "plugin/Transport.h"
#include "server/Admission.h"
#include "server/EndpointConfig.h"
#include "server/IncomingBudget.h"
#include "server/LogFile.h"
#include "server/OriginPolicy.h"
#include "server/PortRange.h"
#include "server/QueueLimit.h"

#include <websocketpp/server.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace server {

using notification::ConnectionPtr;
using notification::MessagePtr;

static_assert(std::is_same_v<ConnectionPtr, websocketpp::server<EndpointConfig>::connection_ptr>,
              "notification/Connection.h must name the endpoint's connection pointer");
static_assert(std::is_same_v<MessagePtr, websocketpp::server<EndpointConfig>::message_ptr>,
              "notification/Connection.h must name the endpoint's message pointer");

class CorvaneServer::Impl : private plugin::Transport {
public:
    Impl();
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void run(const std::string& startError);

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

CorvaneServer::CorvaneServer()
    : m_impl(std::make_unique<Impl>())
{
}

CorvaneServer::~CorvaneServer() = default;

void CorvaneServer::run(const std::string& startError)
{
    m_impl->run(startError);
}

CorvaneServer::Impl::Impl()
    : m_incomingBudget(kMaxUnfinishedMessageBytes, kMaxMessageStallTime,
                       [this](const IncomingBudget::Victim& victim) {
                           // Called from inside a connection's reader as
                           // well: closed once that has returned.
                           asio::post(m_server.get_io_service(), [this, victim] { giveUpMessage(victim); });
                       })
    , m_pluginsManager(*this)
{
}

CorvaneServer::Impl::~Impl()
{
    // Whatever the endpoint's teardown writes goes out at once: the loop
    // that flushed the held lines is gone.
    m_server.get_alog().set_ostream(logStreams().access);
}

std::string_view CorvaneServer::Impl::payloadOf(const MessagePtr& message) const
{
    const std::string& payload = message->get_payload();
    return std::string_view(payload.data(), payload.size());
}

void CorvaneServer::Impl::sendText(const ConnectionPtr& connection, std::string_view text)
{
    // A refused send (connection no longer open) drops the answer.
    (void)connection->send(text.data(), text.size(), websocketpp::frame::opcode::text);
}

std::string CorvaneServer::Impl::originOf(const ConnectionPtr& connection) const
{
    return connection->get_request_header("Origin");
}

namespace {

using Endpoint = websocketpp::server<EndpointConfig>;

// The connection's message manager, reached through a message it makes
// (a control frame's, which is never taken for a received message).
EndpointMessage::Manager& managerOf(const ConnectionPtr& connection)
{
    return *connection->get_message(websocketpp::frame::opcode::close, 0)->manager();
}

std::size_t queuedBytes(const ConnectionPtr& connection)
{
    return managerOf(connection).queuedBytes();
}

std::uint16_t clientPort(const ConnectionPtr& connection)
{
    asio::error_code error;
    const auto endpoint = connection->get_raw_socket().remote_endpoint(error);
    return error ? 0 : endpoint.port();
}

// An administrator's origin policy, when there is one, with its start-up
// messages written to the error log.
std::optional<OriginPolicy> loadOriginPolicyLogged(Endpoint& endpoint)
{
    using Level = OriginPolicyLoad::Level;
    OriginPolicyLoad load = loadOriginPolicy();
    for (const OriginPolicyLoad::Message& message : load.messages) {
        endpoint.get_elog().write(message.level == Level::info      ? websocketpp::log::elevel::info
                                  : message.level == Level::warning ? websocketpp::log::elevel::warn
                                                                    : websocketpp::log::elevel::rerror,
                                  message.text);
    }
    return std::move(load.policy);
}

platform::Ipv4Endpoint toIpv4(const asio::ip::tcp::endpoint& endpoint)
{
    platform::Ipv4Endpoint result;
    if (endpoint.address().is_v4()) {
        const auto bytes = endpoint.address().to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    }
    result.port = endpoint.port();
    return result;
}

// "uid 1000", with the process where the platform names it at no cost.
std::string ownerText(const platform::SocketOwner& owner)
{
    if (!owner.found) {
        return "process not known";
    }
    const std::string user = platform::describeUser(owner.user);
    if (owner.pid < 0) {
        return user;
    }
    return user + ", process " + std::to_string(owner.pid) +
           (owner.executable.empty() ? std::string() : " (" + printable(owner.executable) + ")");
}

// Whether a failed listen means that another socket holds the port.
// Windows reports a port held exclusively as access denied.
bool portTaken(const websocketpp::lib::error_code& error)
{
    return error == asio::error::address_in_use || error == asio::error::access_denied;
}

} // namespace

void CorvaneServer::Impl::init()
{
    using std::placeholders::_1;
    using std::placeholders::_2;

    m_pluginsManager.registerObservers();
    const LogStreams logs = logStreams();
    m_server.get_alog().set_ostream(logs.access);
    m_server.get_elog().set_ostream(logs.error);
    m_server.init_asio();
    // The access log's lines of a batch of handlers go out in one write.
    m_accessLogBuffer = std::make_unique<HeldFlushBuffer>(logs.access->rdbuf(), [this] {
        asio::post(m_server.get_io_service(), [this] { m_accessLogBuffer->flushNow(); });
    });
    m_accessLog = std::make_unique<std::ostream>(m_accessLogBuffer.get());
    m_server.get_alog().set_ostream(m_accessLog.get());
    m_server.set_error_channels(websocketpp::log::elevel::all);
    m_server.set_access_channels(websocketpp::log::alevel::all ^ websocketpp::log::alevel::frame_payload);
    m_originPolicy = loadOriginPolicyLogged(m_server);
    m_server.set_validate_handler(std::bind(&CorvaneServer::Impl::onValidate, this, _1));
    m_server.set_open_handler(std::bind(&CorvaneServer::Impl::onSocketOpen, this, _1));
    m_server.set_message_handler(std::bind(&CorvaneServer::Impl::onSocketMessage, this, _1, _2));
    m_server.set_close_handler(std::bind(&CorvaneServer::Impl::onSocketClose, this, _1));
    m_server.set_ping_handler(std::bind(&CorvaneServer::Impl::onPing, this, _1, _2));
    m_server.set_reuse_addr(platform::listenerMayReuseAddress());
    m_server.set_tcp_pre_bind_handler([this](Endpoint::acceptor_ptr acceptor) {
        m_acceptor = std::move(acceptor); // for acceptNext()
        return websocketpp::lib::error_code();
    });
    m_drainTimer = std::make_unique<asio::steady_timer>(m_server.get_io_service());
    m_acceptTimer = std::make_unique<asio::steady_timer>(m_server.get_io_service());
    m_reviewTimer = std::make_unique<asio::steady_timer>(m_server.get_io_service());
    platform::raiseDescriptorLimit();
    platform::returnLargeBuffersWhenFreed();
}

void CorvaneServer::Impl::run(const std::string& startError)
{
    try {
        init();
        if (!startError.empty()) {
            m_server.get_elog().write(websocketpp::log::elevel::rerror, startError);
        }
        listenOnFirstFreePort();
        decideOwnerCheck();
        acceptNext();
        reviewUnfinishedMessages();
        waitForStopSignal();
    } catch (const NoFreePort&) {
        throw;
    } catch (const std::exception& e) {
        m_server.get_elog().write(websocketpp::log::elevel::rerror,
                                  std::string("the service could not start: ") + e.what());
        throw StartFailed(e.what());
    }
    try {
        m_server.run();
    } catch (const std::exception& e) {
        m_server.get_elog().write(websocketpp::log::elevel::rerror,
                                  std::string("the service failed while serving: ") + e.what());
        throw;
    }
}

void CorvaneServer::Impl::listenOnFirstFreePort()
{
    using websocketpp::log::elevel;
    const auto loopback = asio::ip::address_v4::loopback();
    // A taken port is expected in a second session; only the last failure
    // gets the library's error line.
    m_server.clear_error_channels(elevel::info);
    for (std::uint16_t port = kFirstPort;; ++port) {
        if (port == kLastPort) {
            m_server.set_error_channels(elevel::info);
        }
        websocketpp::lib::error_code error;
        m_server.listen(asio::ip::tcp::endpoint(loopback, port), error);
        if (!error) {
            m_server.set_error_channels(elevel::info);
            m_listening = toIpv4(asio::ip::tcp::endpoint(loopback, port));
            if (port != kFirstPort) {
                m_server.get_alog().write(websocketpp::log::alevel::app,
                                          "port " + std::to_string(kFirstPort) + " is taken, listening on " +
                                              platform::toString(m_listening));
            }
            return;
        }
        if (port == kLastPort || !portTaken(error)) {
            if (port != kLastPort) {
                m_server.set_error_channels(elevel::info);
                m_server.get_elog().write(elevel::info, "asio listen error: " + std::string(error.category().name()) +
                                                            ":" + std::to_string(error.value()) + " (" +
                                                            error.message() + ")");
            }
            if (port == kLastPort && portTaken(error)) {
                throw NoFreePort("every port of " + std::to_string(kFirstPort) + ".." + std::to_string(kLastPort) +
                                 " is in use");
            }
            throw websocketpp::exception(error);
        }
    }
}

void CorvaneServer::Impl::decideOwnerCheck()
{
    m_ownUser = platform::currentUser();
    const platform::SocketOwner listener = platform::findSocketOwner(m_listening, platform::Ipv4Endpoint{});
    m_ownersNamed = platform::ownersNamed(listener, m_ownUser, platform::currentProcessId());
    if (!m_ownersNamed) {
        m_server.get_elog().write(websocketpp::log::elevel::rerror,
                                  "the system does not name the owners of connections: connections cannot be told "
                                  "apart by user, every local process is served");
    }
}

// The library also speaks the drafts before RFC 6455 (hixie-76 and
// versions 7 and 8). Their messages have no size limit and their origin
// header is not the one the origin policy reads, and no browser has sent
// them for years: they are answered 426, naming the one version served.
bool CorvaneServer::Impl::refuseDraftProtocol(const ConnectionPtr& connection)
{
    // Read as the library read it to pick its processor: a number in front.
    const std::string version = connection->get_request_header("Sec-WebSocket-Version");
    if (!version.empty() && std::strtol(version.c_str(), nullptr, 10) == 13) {
        return false;
    }
    m_server.get_alog().write(websocketpp::log::alevel::app,
                              "handshake of " + connection->get_remote_endpoint() + " refused: WebSocket version \"" +
                                  printable(version.empty() ? std::string("hixie-76") : version) +
                                  "\" is not served, only 13");
    connection->set_status(websocketpp::http::status_code::upgrade_required);
    connection->replace_header("Sec-WebSocket-Version", "13");
    return true;
}

bool CorvaneServer::Impl::onValidate(websocketpp::connection_hdl hdl)
{
    const ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    if (refuseDraftProtocol(connection)) {
        return false;
    }
    asio::error_code remoteError;
    asio::error_code localError;
    auto& socket = connection->get_raw_socket();
    const platform::Ipv4Endpoint client = toIpv4(socket.remote_endpoint(remoteError));
    const platform::Ipv4Endpoint server = toIpv4(socket.local_endpoint(localError));
    platform::SocketOwner owner;
    if (m_ownersNamed) {
        // No endpoints: the client is gone, and so is its owner. A peer of
        // some other endpoint than the listener is no client of ours.
        owner = remoteError || localError || server != m_listening ? platform::SocketOwner{}
                                                                    : platform::findSocketOwner(client, server);
        if (!ownerAdmitted(true, owner, m_ownUser)) {
            const std::string who = !owner.found ? "an owner that cannot be found"
                                                 : platform::describeUser(owner.user);
            m_server.get_alog().write(websocketpp::log::alevel::app,
                                      "connection of " + who + " refused, client port " + std::to_string(client.port));
            connection->set_status(websocketpp::http::status_code::forbidden);
            return false;
        }
    }
    // An empty Origin is taken as none: leaving the header out gets the same.
    const std::string origin = connection->get_request_header("Origin");
    if (m_originPolicy && !origin.empty() && !m_originPolicy->allows(origin)) {
        m_server.get_alog().write(websocketpp::log::alevel::app, "origin not allowed by policy, handshake of " +
                                                                     connection->get_remote_endpoint() +
                                                                     " refused: \"" + printable(origin) + "\"");
        connection->set_status(websocketpp::http::status_code::forbidden);
        return false;
    }
    platform::describeOwnerProcess(owner, platform::OwnerSearch::cheapOnly);
    m_server.get_alog().write(websocketpp::log::alevel::app,
                              "connection from client port " + std::to_string(client.port) + " accepted, Origin \"" +
                                  printable(origin) + "\", " + ownerText(owner));
    return true;
}

// Our own accept loop over the endpoint's acceptor, in place of
// start_accept(): the library re-arms its accept at once after any error and
// logs every failure, so a process out of descriptors spun a core and wrote
// lines as fast as it could. Here a shortage of descriptors pauses accepting
// for a moment, logged once when it begins and once when it ends; the
// waiting connections stay in the kernel's backlog and everything already
// connected is served meanwhile.
void CorvaneServer::Impl::acceptNext()
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
    managerOf(connection).adopt(m_incomingBudget, connection->get_handle());
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

void CorvaneServer::Impl::acceptLater()
{
    m_acceptTimer->expires_after(std::chrono::milliseconds(100));
    m_acceptTimer->async_wait([this](const std::error_code& waited) {
        if (!waited) {
            acceptNext();
        }
    });
}

void CorvaneServer::Impl::waitForStopSignal()
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
        m_reviewTimer->cancel();
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

void CorvaneServer::Impl::onSocketOpen(websocketpp::connection_hdl hdl)
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

void CorvaneServer::Impl::onSocketClose(websocketpp::connection_hdl hdl)
{
    ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    m_pausedConnections.erase(std::remove_if(m_pausedConnections.begin(), m_pausedConnections.end(),
                                             [&](const Paused& paused) { return paused.connection == connection; }),
                              m_pausedConnections.end());
    post(std::make_shared<notification::ConnectCloseNotification>(std::move(connection)));
}

void CorvaneServer::Impl::onSocketMessage(websocketpp::connection_hdl hdl, Endpoint::message_ptr msg)
{
    ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    msg->received();
    const auto manager = msg->manager();
    auto n = std::make_shared<notification::MsgNotification>(std::move(msg));
    n->setConnection(connection);
    // The request may reach a plug-in that ends the process: the lines
    // that led up to it are written before it is handed on.
    if (m_accessLogBuffer) {
        m_accessLogBuffer->flushNow();
    }
    post(std::move(n));
    if (manager && manager->queuedBytes() > kMaxQueuedAnswerBytes) {
        pauseReading(connection);
    }
}

bool CorvaneServer::Impl::onPing(websocketpp::connection_hdl hdl, std::string)
{
    // Its pong is queued like an answer: a peer that pings and never reads
    // is stopped the same way.
    const ConnectionPtr connection = m_server.get_con_from_hdl(hdl);
    if (queuedBytes(connection) > kMaxQueuedAnswerBytes) {
        pauseReading(connection);
    }
    return true;
}

void CorvaneServer::Impl::giveUpMessage(const IncomingBudget::Victim& victim)
{
    websocketpp::lib::error_code error;
    const ConnectionPtr connection = m_server.get_con_from_hdl(victim.owner, error);
    if (error || connection->get_state() != websocketpp::session::state::open) {
        return;
    }
    m_server.get_elog().write(websocketpp::log::elevel::warn,
                              "closing the connection of client port " + std::to_string(clientPort(connection)) +
                                  " (1009): its unfinished message holds " + std::to_string(victim.held) +
                                  " bytes, " +
                                  (victim.stalled ? "stalled for " + std::to_string(kMaxMessageStallTime.count()) +
                                                        " s while unfinished messages held "
                                                  : std::string("unfinished messages held ")) +
                                  std::to_string(victim.total) + " bytes, budget " +
                                  std::to_string(kMaxUnfinishedMessageBytes));
    // Nothing more is read from it, so it gets no further; its peer's
    // answer to the close is not waited for long.
    connection->set_close_handshake_timeout(1000);
    connection->close(websocketpp::close::status::message_too_big, "unfinished message too large or stalled", error);
    (void)connection->pause_reading();
}

// Once a second: what the reader reserved for further frames is counted,
// and stalled messages are given up.
void CorvaneServer::Impl::reviewUnfinishedMessages()
{
    m_reviewTimer->expires_after(std::chrono::seconds(1));
    m_reviewTimer->async_wait([this](const std::error_code& error) {
        if (error) {
            return;
        }
        m_incomingBudget.review(IncomingBudget::Clock::now());
        reviewUnfinishedMessages();
    });
}

void CorvaneServer::Impl::pauseReading(const ConnectionPtr& connection)
{
    if (std::any_of(m_pausedConnections.begin(), m_pausedConnections.end(),
                    [&](const Paused& paused) { return paused.connection == connection; })) {
        return;
    }
    // We are inside this connection's read handler on the loop's only
    // thread, so clearing its read flag here stops the read that would
    // follow; pause_reading() would only post that and let one more read in.
    connection->handle_pause_reading();
    m_pausedConnections.push_back({connection, queuedBytes(connection), std::chrono::steady_clock::now()});
    if (m_pausedConnections.size() == 1) {
        checkPausedConnections();
    }
}

void CorvaneServer::Impl::checkPausedConnections()
{
    m_drainTimer->expires_after(std::chrono::milliseconds(10));
    m_drainTimer->async_wait([this](const std::error_code& error) {
        if (error) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto done = std::partition(m_pausedConnections.begin(), m_pausedConnections.end(), [&](Paused& paused) {
            const std::size_t queued = queuedBytes(paused.connection);
            if (queued < paused.queued) {
                paused.queued = queued;
                paused.drained = now;
            }
            return queued >= kMaxQueuedAnswerBytes && now - paused.drained < kMaxUndrainedTime;
        });
        for (auto it = done; it != m_pausedConnections.end(); ++it) {
            if (queuedBytes(it->connection) < kMaxQueuedAnswerBytes) {
                (void)it->connection->resume_reading();
                continue;
            }
            // Its peer reads nothing, not even a close frame, and a write
            // that cannot finish would hold the connection (on Windows even
            // past the library's shutdown). Closing the socket under the
            // library ends it as a failed write would.
            m_server.get_elog().write(websocketpp::log::elevel::warn,
                                      "dropping the connection of client port " +
                                          std::to_string(clientPort(it->connection)) + ": " +
                                          std::to_string(it->queued) + " bytes queued for it, nothing read for " +
                                          std::to_string(kMaxUndrainedTime.count()) + " s");
            asio::error_code ignored;
            it->connection->get_raw_socket().close(ignored);
        }
        m_pausedConnections.erase(done, m_pausedConnections.end());
        if (!m_pausedConnections.empty()) {
            checkPausedConnections();
        }
    });
}

void CorvaneServer::Impl::resumeAllReading()
{
    for (const Paused& paused : m_pausedConnections) {
        (void)paused.connection->resume_reading();
    }
    m_pausedConnections.clear();
    m_drainTimer->cancel();
}

void CorvaneServer::Impl::post(std::shared_ptr<notification::Notification> n)
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
