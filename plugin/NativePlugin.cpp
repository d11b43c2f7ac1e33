#include "plugin/NativePlugin.h"

#include "notification/Observer.h"
#include "notification/AnswerTexts.h"
#include "plugin/ModuleName.h"
#include "plugin/PluginHost.h"
#include "plugin/Protocol.h"

#include <string>

namespace plugin {

namespace answers = notification::answers;


using namespace notification;

NativePlugin::NativePlugin(ConnectionPtr connection, Transport& transport)
    : m_connection(std::move(connection))
    , m_transport(transport)
    , m_origin(transport.originOf(m_connection))
{
}

void NativePlugin::registerObservers()
{
    m_messageDispatcher.subscribe(Observer<NativePlugin, MsgNotification>(this, &NativePlugin::onMessage));
    m_pluginDispatcher.subscribe(
        Observer<NativePlugin, LoadPluginNotification>(this, &NativePlugin::onLoadPlugin));
    m_pluginDispatcher.subscribe(
        Observer<NativePlugin, UnLoadPluginNotification>(this, &NativePlugin::onUnLoadPlugin));
    m_pluginDispatcher.subscribe(Observer<NativePlugin, InvokePluginFunctionNotification>(
        this, &NativePlugin::onInvokePluginFunction));
    m_responseDispatcher.subscribe(
        Observer<NativePlugin, ResponseNotification>(this, &NativePlugin::onResponse));
}

void NativePlugin::forwardMessage(std::shared_ptr<MsgNotification> n)
{
    m_messageDispatcher.post(std::move(n));
}

void NativePlugin::unload()
{
    m_pluginDispatcher.post(std::make_shared<UnLoadPluginNotification>());
}

void NativePlugin::onMessage(std::shared_ptr<MsgNotification> n)
{
    std::shared_ptr<PluginNotification> request = decodeRequest(m_transport.payloadOf(n->message()));
    if (auto rejected = std::dynamic_pointer_cast<ResponseNotification>(request)) {
        m_responseDispatcher.post(std::move(rejected));
    } else {
        m_pluginDispatcher.post(std::move(request));
    }
}

void NativePlugin::onLoadPlugin(std::shared_ptr<LoadPluginNotification> n)
{
    const std::string& name = n->moduleName();
    std::uint32_t error = platform::kErrorInvalidName;
    platform::ModuleHandle module = nullptr;
    platform::PluginLoad load = platform::PluginLoad::failed;
    if (isAcceptableModuleName(name)) {
        load = platform::loadPluginModule(name, CORVANE_PLUGIN_ENTRY_NAME, module, error);
    }

    std::shared_ptr<LoadModuleResponse> response;
    if (load == platform::PluginLoad::noEntry) {
        // Answered as a module that loaded without the entry; it was never
        // loaded, so none of its code ran. The module held before goes all the same.
        m_invokeEntry = nullptr;
        platform::freeModule(m_moduleHandle);
        m_moduleHandle = nullptr;
        response = std::make_shared<LoadModuleResponse>(false, answers::kInvalidPlugin);
    } else if (module == nullptr) {
        // A failed load keeps the module held before, and calls still reach it.
        response = std::make_shared<LoadModuleResponse>(
            false, answers::kLoadErrorPrefix + std::to_string(error));
    } else {
        platform::ModuleHandle previous = m_moduleHandle;
        m_moduleHandle = module;
        m_invokeEntry = reinterpret_cast<CorvaneInvokeFn>(platform::findSymbol(module, CORVANE_PLUGIN_ENTRY_NAME));
        platform::freeModule(previous);
        if (m_invokeEntry != nullptr) {
            if (const auto setHost = reinterpret_cast<CorvaneSetHostFn>(
                    platform::findSymbol(module, CORVANE_PLUGIN_HOST_ENTRY_NAME))) {
                setHost(pluginHost());
            }
        }
        response = m_invokeEntry != nullptr ? std::make_shared<LoadModuleResponse>(true, answers::kLoadSuccess)
                                            : std::make_shared<LoadModuleResponse>(false, answers::kInvalidPlugin);
    }
    response->setMsgId(answers::kLoadMsgId);
    respond(std::move(response));
}

void NativePlugin::onInvokePluginFunction(std::shared_ptr<InvokePluginFunctionNotification> n)
{
    if (m_invokeEntry == nullptr) {
        auto response = std::make_shared<InvokeFunctionResponse>(false, answers::kNotLoaded);
        response->setMsgId(n->msgId());
        respond(std::move(response));
        return;
    }

    const std::string& method = n->functionName();
    char* result = nullptr;
    int rc = -1;
    try {
        const CurrentOrigin origin(m_origin);
        rc = m_invokeEntry(method.c_str(), n->param().c_str(), &result);
    } catch (...) {
        // A plug-in that lets an exception escape has failed this call; the
        // page still gets its one answer.
        rc = -1;
    }

    std::string text;
    {
        // Owns the plug-in's buffer until its text is copied, whatever happens.
        const std::unique_ptr<char[]> owned(result);
        if (result != nullptr) {
            text = result;
        } else {
            text = "[ " + method + " ] " + (rc == 0 ? answers::kFunctionSuccess : answers::kFunctionFailed);
        }
    }
    auto response = std::make_shared<InvokeFunctionResponse>(rc == 0, std::move(text));
    response->setMsgId(n->msgId());
    respond(std::move(response));
}

void NativePlugin::onUnLoadPlugin(std::shared_ptr<UnLoadPluginNotification>)
{
    m_invokeEntry = nullptr;
    platform::freeModule(m_moduleHandle);
    m_moduleHandle = nullptr;
    respond(std::make_shared<ResponseNotification>(true));
}

void NativePlugin::onResponse(std::shared_ptr<ResponseNotification> n)
{
    m_transport.sendText(m_connection, writeResponse(*n));
}

void NativePlugin::respond(std::shared_ptr<ResponseNotification> response)
{
    m_responseDispatcher.post(std::move(response));
}

} // namespace plugin
