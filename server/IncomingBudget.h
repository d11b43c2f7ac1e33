#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace server {

// A partly received message as the budget sees it.
class UnfinishedMessage {
public:
    // Its sender is given up: what it holds is freed now rather than when
    // the connection is gone.
    virtual void dropPayload() = 0;

protected:
    ~UnfinishedMessage() = default;
};

// The memory that partly received messages hold, over all connections.
// A page may open many connections and start a large message on each
// without ever finishing one; each stays within the per-message maximum,
// but together they would hold the service's memory for as long as the page
// likes. Whenever their total passes the limit, the connection whose message
// holds the most is given up (the others keep being served), and so is a
// message that has made no progress for too long. A message holds what its
// buffer has reserved: the room for a frame is taken when the frame starts.
//
// The endpoint reports each message as it starts, grows and ends (received
// whole, or dropped with its connection). Single-threaded: the endpoint's
// loop calls everything.
class IncomingBudget {
public:
    using Clock = std::chrono::steady_clock;
    // Whose message it is: the endpoint's connection handle.
    using Owner = std::weak_ptr<void>;

    struct Victim {
        Owner owner;
        std::size_t held = 0;  // what its message held when it was given up
        std::size_t total = 0; // what all unfinished messages held then
    };

    // overrun is called, once per message, with the connection to give up,
    // after its message has dropped its payload; the message counts no
    // longer.
    IncomingBudget(std::size_t limit, std::function<void(const Victim&)> overrun);
    IncomingBudget(const IncomingBudget&) = delete;
    IncomingBudget& operator=(const IncomingBudget&) = delete;

    void begin(UnfinishedMessage* message, Owner owner, Clock::time_point now);
    // The message's buffer now takes held bytes (what is reserved for the
    // frames announced so far counts: the memory is taken when a frame
    // starts) and received of them have arrived; arriving counts as progress.
    void progress(UnfinishedMessage* message, std::size_t held, std::size_t received, Clock::time_point now);
    void end(UnfinishedMessage* message);

    // Gives up every message that has received nothing for timeout; returns them.
    std::vector<Victim> giveUpStalled(Clock::time_point now, Clock::duration timeout);

    // What the messages that still count hold.
    std::size_t held() const { return m_held; }
    std::size_t limit() const { return m_limit; }

private:
    struct Entry {
        Owner owner;
        std::size_t bytes = 0;
        std::size_t received = 0;
        Clock::time_point lastProgress;
        bool givenUp = false;
    };

    Victim giveUp(UnfinishedMessage* message, Entry& entry);

    std::size_t m_limit;
    std::function<void(const Victim&)> m_overrun;
    std::unordered_map<UnfinishedMessage*, Entry> m_messages;
    std::size_t m_held = 0;
};

} // namespace server
