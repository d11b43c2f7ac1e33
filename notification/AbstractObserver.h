#pragma once

#include "notification/Notification.h"

#include <memory>

namespace notification {

// One subscription on a NotificationDispatcher. Dispatchers own heap copies
// made with copy() and delete them through this interface.
class AbstractObserver {
public:
    virtual ~AbstractObserver() = default;

    // Hands n to the target if n's dynamic type is the observed class or
    // derives from it; does nothing after detach().
    virtual void deliver(const std::shared_ptr<Notification>& n) = 0;
    virtual bool sameAs(const AbstractObserver& other) const = 0;
    virtual bool handles(const std::shared_ptr<Notification>& n) const = 0;
    // A new observer with the same target and handler; the caller owns it.
    virtual AbstractObserver* copy() const = 0;
    virtual void detach() = 0;
};

} // namespace notification
