#include "notification/NotificationDispatcher.h"

namespace notification {

void NotificationDispatcher::subscribe(const AbstractObserver& observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<AbstractObserver> stored(observer.copy());
    m_observers.push_back(std::move(stored));
}

void NotificationDispatcher::post(std::shared_ptr<Notification> notification)
{
    if (!notification) {
        return;
    }
    std::vector<std::shared_ptr<AbstractObserver>> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        snapshot = m_observers;
    }
    for (const auto& observer : snapshot) {
        observer->deliver(notification);
    }
}

} // namespace notification
