#pragma once

#include "notification/AbstractObserver.h"

#include <memory>
#include <mutex>
#include <vector>

namespace notification {

// An ordered list of observers. post() delivers synchronously on the calling
// thread to a snapshot of the list taken under the lock and delivers with the
// lock released: observers subscribed during a post are called only by later
// posts, and a handler may subscribe freely. A handler may post to other
// dispatchers, but never, directly or through other handlers, to an observer
// whose handler is running: every observer holds its own non-recursive mutex
// across its handler, so that post would deadlock. The plug-in host keeps to
// this by handing each request on from one dispatcher to the next. The list
// is never changed in place (subscribe() replaces it), so a snapshot is a
// shared pointer to it and a post allocates nothing. An exception thrown by
// a handler is not caught here: it ends the post (later observers are
// skipped) and leaves the list unchanged.
class NotificationDispatcher {
public:
    NotificationDispatcher() = default;
    NotificationDispatcher(const NotificationDispatcher&) = delete;
    NotificationDispatcher& operator=(const NotificationDispatcher&) = delete;

    // Stores observer.copy(); the caller keeps its own object. No duplicate check.
    void subscribe(const AbstractObserver& observer);

    // Offers notification to every observer in subscription order. An empty
    // pointer is ignored without taking the lock.
    void post(std::shared_ptr<Notification> notification);

private:
    using ObserverList = std::vector<std::shared_ptr<AbstractObserver>>;

    std::shared_ptr<const ObserverList> m_observers;
    std::mutex m_mutex;
};

} // namespace notification
