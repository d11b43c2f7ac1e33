#include "server/IncomingBudget.h"

#include <utility>

namespace server {

IncomingBudget::IncomingBudget(std::size_t limit, Clock::duration stallTimeout,
                               std::function<void(const Victim&)> giveUp)
    : m_limit(limit)
    , m_stallTimeout(stallTimeout)
    , m_giveUp(std::move(giveUp))
{
}

void IncomingBudget::begin(UnfinishedMessage* message, Owner owner, Clock::time_point now)
{
    Entry& entry = m_messages[message];
    entry.owner = std::move(owner);
    entry.lastProgress = now;
}

void IncomingBudget::progress(UnfinishedMessage* message, std::size_t received, Clock::time_point now)
{
    const auto found = m_messages.find(message);
    if (found == m_messages.end() || found->second.givenUp) {
        return;
    }
    Entry& entry = found->second;
    if (received > entry.received) {
        entry.received = received;
        entry.lastProgress = now;
    }
    recount(message, entry);
    enforceLimit();
}

void IncomingBudget::end(UnfinishedMessage* message)
{
    const auto found = m_messages.find(message);
    if (found == m_messages.end()) {
        return;
    }
    if (!found->second.givenUp) {
        m_held -= found->second.bytes;
    }
    m_messages.erase(found);
}

void IncomingBudget::review(Clock::time_point now)
{
    for (auto& [message, entry] : m_messages) {
        if (!entry.givenUp) {
            recount(message, entry);
        }
    }
    enforceLimit();
    for (auto& [message, entry] : m_messages) {
        if (!entry.givenUp && now - entry.lastProgress >= m_stallTimeout) {
            giveUp(message, entry, true);
        }
    }
}

void IncomingBudget::recount(UnfinishedMessage* message, Entry& entry)
{
    // A buffer never gives back what it reserved while it is being filled.
    const std::size_t bytes = message->reserved();
    if (bytes > entry.bytes) {
        m_held += bytes - entry.bytes;
        entry.bytes = bytes;
    }
}

void IncomingBudget::enforceLimit()
{
    while (m_held > m_limit) {
        auto largest = m_messages.end();
        for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
            // Of equal ones, the one with less received loses the least.
            if (!it->second.givenUp &&
                (largest == m_messages.end() || it->second.bytes > largest->second.bytes ||
                 (it->second.bytes == largest->second.bytes && it->second.received < largest->second.received))) {
                largest = it;
            }
        }
        // m_held counts only entries not given up, so one exists.
        giveUp(largest->first, largest->second, false);
    }
}

void IncomingBudget::giveUp(UnfinishedMessage* message, Entry& entry, bool stalled)
{
    const Victim victim{entry.owner, entry.bytes, m_held, stalled};
    entry.givenUp = true;
    m_held -= entry.bytes;
    message->dropPayload();
    m_giveUp(victim);
}

} // namespace server
