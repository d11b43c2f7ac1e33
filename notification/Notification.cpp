#include "notification/Notification.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace notification {

std::string Notification::typeName() const
{
    const char* raw = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(raw);
}

std::string Notification::describe() const
{
    return typeName();
}

} // namespace notification
