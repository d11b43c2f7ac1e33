#pragma once

#include "notification/Connection.h"
#include "notification/ConnectionNotifications.h"
#include "notification/NotificationDispatcher.h"
#include "notification/PluginNotifications.h"
#include "platform/modules/Modules.h"
#include "plugin/CorvanePlugin.h"
#include "plugin/Transport.h"

#include <memory>
#include <string>

namespace plugin {

// The plug-in host of one connection: decodes its requests, loads the module
// a load request names, calls the module's Invoke and writes every answer
// back to the connection through the endpoint's transport, which outlives
// it. Each step is one handler on one of three private dispatchers. Runs on
// the endpoint's I/O thread only; owned by the PluginsManager, which calls
// unload() before it destroys the object.
//
// At most one module is held. A load that yields a module releases the one
// held before; a failed load keeps it (calls still reach it); unload releases
// it. Destruction releases nothing on its own.
class NativePlugin {
public:
    NativePlugin(notification::ConnectionPtr connection, Transport& transport);
    NativePlugin(const NativePlugin&) = delete;
    NativePlugin& operator=(const NativePlugin&) = delete;

    void registerObservers();
    void forwardMessage(std::shared_ptr<notification::MsgNotification> n);
    void unload();

    void onMessage(std::shared_ptr<notification::MsgNotification> n);
    void onLoadPlugin(std::shared_ptr<notification::LoadPluginNotification> n);
    void onUnLoadPlugin(std::shared_ptr<notification::UnLoadPluginNotification> n);
    void onInvokePluginFunction(std::shared_ptr<notification::InvokePluginFunctionNotification> n);
    void onResponse(std::shared_ptr<notification::ResponseNotification> n);

private:
    void respond(std::shared_ptr<notification::ResponseNotification> response);

    notification::ConnectionPtr m_connection;
    Transport& m_transport;
    notification::NotificationDispatcher m_messageDispatcher;
    notification::NotificationDispatcher m_pluginDispatcher;
    notification::NotificationDispatcher m_responseDispatcher;
    platform::ModuleHandle m_moduleHandle = nullptr;
    // The Invoke of the held module, or of a module whose handle is held
    // because a later load failed.
    CorvaneInvokeFn m_invokeEntry = nullptr;
    // The handshake's Origin, read once: the host interface hands it to the
    // plug-in during each call.
    std::string m_origin;
};

} // namespace plugin
