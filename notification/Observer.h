#pragma once

#include "notification/AbstractObserver.h"

#include <mutex>
#include <typeinfo>

namespace notification {

// Binds one member function of a target T to the notification class N.
// The target is not owned; it owns the dispatcher this observer sits on.
// The observer's mutex is held across the handler call, so detach() waits
// for a delivery in progress and no handler call starts after it returns.
// N must derive from Notification without a virtual base.
template <class T, class N>
class Observer : public AbstractObserver {
public:
    using Handler = void (T::*)(std::shared_ptr<N>);

    Observer(T* target, Handler handler)
        : m_target(target)
        , m_handler(handler)
    {
    }

    void deliver(const std::shared_ptr<Notification>& n) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_target == nullptr || !n || !accepts(*n)) {
            return;
        }
        (m_target->*m_handler)(std::static_pointer_cast<N>(n));
    }

    bool sameAs(const AbstractObserver& other) const override
    {
        const auto* same = dynamic_cast<const Observer*>(&other);
        return same != nullptr && same->m_target == m_target && same->m_handler == m_handler;
    }

    bool handles(const std::shared_ptr<Notification>& n) const override
    {
        return dynamic_cast<N*>(n.get()) != nullptr;
    }

    AbstractObserver* copy() const override
    {
        return new Observer(m_target, m_handler);
    }

    void detach() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target = nullptr;
    }

private:
    // Whether n's dynamic type is N or derives from it. The answer for the
    // last type seen is kept: a dispatcher carries the same few types over
    // and over, and the dynamic cast is the costly part of a delivery.
    bool accepts(const Notification& n)
    {
        const std::type_info* type = &typeid(n);
        if (type != m_seenType) {
            m_seenAccepted = dynamic_cast<const N*>(&n) != nullptr;
            m_seenType = type;
        }
        return m_seenAccepted;
    }

    T* m_target;
    Handler m_handler;
    std::mutex m_mutex;
    const std::type_info* m_seenType = nullptr;
    bool m_seenAccepted = false;
};

} // namespace notification
