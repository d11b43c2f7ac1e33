#pragma once

#include <string>

namespace notification {

// Base of every event on the bus. Notifications are created with
// std::make_shared, completed before they are posted and never changed after.
class Notification {
public:
    virtual ~Notification() = default;

    // Run-time type name of the most-derived class, for diagnostics only.
    virtual std::string typeName() const;
    virtual std::string describe() const;
};

} // namespace notification
