#include "notification/NotificationDispatcher.h"

namespace notification {

void NotificationDispatcher::subscribe(const AbstractObserver& observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto next = m_observers ? std::make_shared<ObserverList>(*m_observers) : std::make_shared<ObserverList>();
    next->push_back(std::shared_ptr<AbstractObserver>(observer.copy()));
    m_observers = std::move(next);
}

void NotificationDispatcher::post(std::shared_ptr<Notification> notification)
{
    if (!notification) {
        return;
    }
    std::shared_ptr<const ObserverList> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        snapshot = m_observers;
    }
    if (!snapshot) {
        return;
    }
    for (const auto& observer : *snapshot) {
        observer->deliver(notification);
    }
}

} // namespace notification
