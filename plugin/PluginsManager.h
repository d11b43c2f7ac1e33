#pragma once

#include "notification/Connection.h"
#include "notification/ConnectionNotifications.h"
#include "notification/NotificationDispatcher.h"
#include "plugin/NativePlugin.h"
#include "plugin/Transport.h"

#include <map>
#include <memory>
#include <vector>

namespace plugin {

// Routes the endpoint's connection events: one NativePlugin per open
// connection, created on open, handed every message of that connection, and
// unloaded and destroyed on close. Runs on the endpoint's I/O thread only.
// The transport is the endpoint's; it must outlive the manager.
class PluginsManager {
public:
    explicit PluginsManager(Transport& transport)
        : m_transport(transport)
    {
    }
    PluginsManager(const PluginsManager&) = delete;
    PluginsManager& operator=(const PluginsManager&) = delete;

    void registerObservers();

    void onConnectReady(std::shared_ptr<notification::ConnectReadyNotification> n);
    void onConnectClose(std::shared_ptr<notification::ConnectCloseNotification> n);
    void onMessage(std::shared_ptr<notification::MsgNotification> n);

    // The connections that have a plug-in host now, for an orderly shutdown.
    std::vector<notification::ConnectionPtr> openConnections() const;

    notification::NotificationDispatcher connectionDispatcher;

private:
    Transport& m_transport;
    std::map<notification::ConnectionPtr, std::unique_ptr<NativePlugin>> m_plugins;
};

} // namespace plugin
