#pragma once

#include "notification/AbstractObserver.h"

#include <mutex>

namespace notification {

// Binds one member function of a target T to the notification class N.
// The target is not owned; it owns the dispatcher this observer sits on.
// The observer's mutex is held across the handler call, so detach() waits
// for a delivery in progress and no handler call starts after it returns.
template <class T, class N>
class Observer : public AbstractObserver {
public:
    using Handler = void (T::*)(std::shared_ptr<N>);

    Observer(T* target, Handler handler)
        : m_target(target)
        , m_handler(handler)
    {
    }

    void deliver(std::shared_ptr<Notification> n) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_target == nullptr) {
            return;
        }
        if (auto typed = std::dynamic_pointer_cast<N>(n)) {
            (m_target->*m_handler)(std::move(typed));
        }
    }

    bool sameAs(const AbstractObserver& other) const override
    {
        const auto* same = dynamic_cast<const Observer*>(&other);
        return same != nullptr && same->m_target == m_target && same->m_handler == m_handler;
    }

    bool handles(std::shared_ptr<Notification> n) const override
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
    T* m_target;
    Handler m_handler;
    std::mutex m_mutex;
};

} // namespace notification
