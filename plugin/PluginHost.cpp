#include "plugin/PluginHost.h"

namespace plugin {

namespace {

// Thread-local: origin() must answer null on any thread but the one in Invoke.
thread_local const std::string* t_origin = nullptr;

const char* currentOrigin()
{
    return t_origin != nullptr ? t_origin->c_str() : nullptr;
}

const CorvaneHost kHost = { 1, &currentOrigin };

} // namespace

const CorvaneHost* pluginHost()
{
    return &kHost;
}

CurrentOrigin::CurrentOrigin(const std::string& origin)
    : m_previous(t_origin)
{
    t_origin = &origin;
}

CurrentOrigin::~CurrentOrigin()
{
    t_origin = m_previous;
}

} // namespace plugin
