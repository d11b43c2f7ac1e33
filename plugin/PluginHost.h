#pragma once

#include "plugin/CorvanePlugin.h"

#include <string>

namespace plugin {

// The host interface handed to plug-ins that export CorvaneSetHost: one for
// the process, since one library file is one module however many
// connections loaded it.
const CorvaneHost* pluginHost();

// Makes origin() answer `origin` for as long as the object lives: the span
// of one Invoke. Calls do not nest (one thread, one call at a time), but an
// earlier value is restored all the same.
class CurrentOrigin {
public:
    explicit CurrentOrigin(const std::string& origin);
    ~CurrentOrigin();
    CurrentOrigin(const CurrentOrigin&) = delete;
    CurrentOrigin& operator=(const CurrentOrigin&) = delete;

private:
    const std::string* m_previous;
};

} // namespace plugin
