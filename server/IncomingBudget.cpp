#include "server/IncomingBudget.h"

#include <utility>

namespace server {

IncomingBudget::IncomingBudget(std::size_t limit, std::function<void(const Victim&)> overrun)
    : m_limit(limit)
    , m_overrun(std::move(overrun))
{
}

void IncomingBudget::begin(UnfinishedMessage* message, Owner owner, Clock::time_point now)
{
    Entry& entry = m_messages[message];
    entry.owner = std::move(owner);
    entry.lastProgress = now;
}

void IncomingBudget::progress(UnfinishedMessage* message, std::size_t held, std::size_t received,
                              Clock::time_point now)
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
    if (held <= entry.bytes) {
        return;
    }
    m_held += held - entry.bytes;
    entry.bytes = held;
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
        m_overrun(giveUp(largest->first, largest->second));
    }
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

std::vector<IncomingBudget::Victim> IncomingBudget::giveUpStalled(Clock::time_point now, Clock::duration timeout)
{
    std::vector<Victim> stalled;
    for (auto& [message, entry] : m_messages) {
        if (!entry.givenUp && now - entry.lastProgress >= timeout) {
            stalled.push_back(giveUp(message, entry));
        }
    }
    return stalled;
}

IncomingBudget::Victim IncomingBudget::giveUp(UnfinishedMessage* message, Entry& entry)
{
    Victim victim{entry.owner, entry.bytes, m_held};
    entry.givenUp = true;
    m_held -= entry.bytes;
    message->dropPayload();
    return victim;
}

} // namespace server
