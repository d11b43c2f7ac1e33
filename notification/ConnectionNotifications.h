#pragma once

#include "notification/Connection.h"
#include "notification/Notification.h"

namespace notification {

// A connection event posted by the endpoint. Holding the pointer keeps the
// library's connection object alive for as long as the notification lives.
class ConnectNotification : public Notification {
public:
    explicit ConnectNotification(ConnectionPtr connection)
        : m_connection(std::move(connection))
    {
    }
    const ConnectionPtr& connection() const { return m_connection; }

private:
    ConnectionPtr m_connection;
};

class ConnectReadyNotification : public ConnectNotification {
public:
    using ConnectNotification::ConnectNotification;
    std::string describe() const override { return "new connection..."; }
};

class ConnectCloseNotification : public ConnectNotification {
public:
    using ConnectNotification::ConnectNotification;
    std::string describe() const override { return "connection closing ..."; }
};

// One complete data message (text or binary). It shares the library's message
// object; the payload is not copied.
class MsgNotification : public Notification {
public:
    explicit MsgNotification(MessagePtr message)
        : m_message(std::move(message))
    {
    }
    void setConnection(ConnectionPtr connection) { m_connection = std::move(connection); }
    const ConnectionPtr& connection() const { return m_connection; }
    const MessagePtr& message() const { return m_message; }

private:
    ConnectionPtr m_connection;
    MessagePtr m_message;
};

} // namespace notification
