#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>

namespace server {

// A partly received message as the budget sees it.
class UnfinishedMessage {
public:
    // The bytes its buffer takes now, the room reserved for frames
    // announced but not yet arrived included.
    virtual std::size_t reserved() const = 0;
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
// message that has received nothing for too long. A message holds what its
// buffer has reserved: the room for a frame is taken when the frame starts.
//
// The endpoint reports each message as it starts, grows and ends (received
// whole, or dropped with its connection), and has the budget review them
// all now and then: the reader reserves room for a further frame of a
// message without a word. Single-threaded: the endpoint's loop calls
// everything.
class IncomingBudget {
public:
    using Clock = std::chrono::steady_clock;
    // Whose message it is: the endpoint's connection handle.
    using Owner = std::weak_ptr<void>;

    struct Victim {
        Owner owner;
        std::size_t held = 0;  // what its message held when it was given up
        std::size_t total = 0; // what all unfinished messages held then
        bool stalled = false;  // given up for receiving nothing, not for size
    };

    // giveUp is called, once per message, with the connection to give up,
    // after its message has dropped its payload; the message counts no
    // longer.
    IncomingBudget(std::size_t limit, Clock::duration stallTimeout, std::function<void(const Victim&)> giveUp);
    IncomingBudget(const IncomingBudget&) = delete;
    IncomingBudget& operator=(const IncomingBudget&) = delete;

    void begin(UnfinishedMessage* message, Owner owner, Clock::time_point now);
    // received bytes of the message have arrived (more than before counts
    // as progress); what it reserves is counted.
    void progress(UnfinishedMessage* message, std::size_t received, Clock::time_point now);
    void end(UnfinishedMessage* message);

    // Counts again what every message reserves, and gives up what is over
    // the limit and what has stalled.
    void review(Clock::time_point now);

    // What the messages that still count hold.
    std::size_t held() const { return m_held; }

private:
    struct Entry {
        Owner owner;
        std::size_t bytes = 0;
        std::size_t received = 0;
        Clock::time_point lastProgress;
        bool givenUp = false;
    };

    void recount(UnfinishedMessage* message, Entry& entry);
    void enforceLimit();
    void giveUp(UnfinishedMessage* message, Entry& entry, bool stalled);

    std::size_t m_limit;
    Clock::duration m_stallTimeout;
    std::function<void(const Victim&)> m_giveUp;
    std::unordered_map<UnfinishedMessage*, Entry> m_messages;
    std::size_t m_held = 0;
};

} // namespace server
