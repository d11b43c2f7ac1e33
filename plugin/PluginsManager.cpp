#include "plugin/PluginsManager.h"

#include "notification/Observer.h"

namespace plugin {

using namespace notification;

void PluginsManager::registerObservers()
{
    connectionDispatcher.subscribe(
        Observer<PluginsManager, ConnectReadyNotification>(this, &PluginsManager::onConnectReady));
    connectionDispatcher.subscribe(
        Observer<PluginsManager, ConnectCloseNotification>(this, &PluginsManager::onConnectClose));
    connectionDispatcher.subscribe(Observer<PluginsManager, MsgNotification>(this, &PluginsManager::onMessage));
}

void PluginsManager::onConnectReady(std::shared_ptr<ConnectReadyNotification> n)
{
    auto host = std::make_unique<NativePlugin>(n->connection(), m_transport);
    host->registerObservers();
    m_plugins.emplace(n->connection(), std::move(host));
}

void PluginsManager::onConnectClose(std::shared_ptr<ConnectCloseNotification> n)
{
    const auto entry = m_plugins.find(n->connection());
    if (entry == m_plugins.end()) {
        return;
    }
    entry->second->unload();
    m_plugins.erase(n->connection());
}

void PluginsManager::onMessage(std::shared_ptr<MsgNotification> n)
{
    const auto entry = m_plugins.find(n->connection());
    if (entry != m_plugins.end()) {
        entry->second->forwardMessage(std::move(n));
    }
}

std::vector<ConnectionPtr> PluginsManager::openConnections() const
{
    std::vector<ConnectionPtr> connections;
    connections.reserve(m_plugins.size());
    for (const auto& entry : m_plugins) {
        connections.push_back(entry.first);
    }
    return connections;
}

} // namespace plugin
