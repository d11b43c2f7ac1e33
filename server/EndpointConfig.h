#pragma once

// The endpoint's configuration: the library's plain (no TLS) server with
// message buffers that account for what they hold. Included only where the
// endpoint is, server/CorvaneServer.cpp.

#include "server/IncomingBudget.h"
#include "server/QueueLimit.h"

#include <websocketpp/config/asio_no_tls.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace server {

class EndpointMessage;

// One per connection, made by the library: it creates every message of its
// connection, the ones read and the ones queued for sending. Once adopted it
// reports the connection's partly received data messages to the budget and
// knows what the connection's send queue costs, pongs and close frames
// included, which the library's own count of queued payload leaves out.
template <class LibraryMessage>
class MessageManager : public std::enable_shared_from_this<MessageManager<LibraryMessage>> {
public:
    using ptr = std::shared_ptr<MessageManager>;
    using weak_ptr = std::weak_ptr<MessageManager>;
    using message_ptr = std::shared_ptr<EndpointMessage>;

    message_ptr get_message();
    message_ptr get_message(websocketpp::frame::opcode::value op, std::size_t size);
    bool recycle(LibraryMessage*) { return false; }

    void adopt(IncomingBudget& budget, IncomingBudget::Owner owner)
    {
        m_budget = &budget;
        m_owner = std::move(owner);
    }
    IncomingBudget* budget() const { return m_budget; }
    const IncomingBudget::Owner& owner() const { return m_owner; }

    // Bytes of frames prepared for sending and not yet written, each with
    // kQueuedFrameOverhead.
    std::size_t queuedBytes() const { return m_queuedBytes; }
    void addQueued(std::size_t bytes) { m_queuedBytes += bytes; }
    void removeQueued(std::size_t bytes) { m_queuedBytes -= bytes; }

private:
    IncomingBudget* m_budget = nullptr;
    IncomingBudget::Owner m_owner;
    std::size_t m_queuedBytes = 0;
};

// The library's message buffer, told apart by how it is made: the reader
// makes a data message with an opcode and a size and appends to its raw
// payload; everything sent has its payload set, or is a frame prepared
// from a message (made without an opcode) whose header gets set.
class EndpointMessage final : public websocketpp::message_buffer::message<MessageManager>, private UnfinishedMessage {
    using Base = websocketpp::message_buffer::message<MessageManager>;

public:
    using ptr = std::shared_ptr<EndpointMessage>;
    using Manager = MessageManager<Base>;

    explicit EndpointMessage(const std::shared_ptr<Manager>& manager)
        : Base(manager)
        , m_manager(manager)
    {
    }

    // The reader's data message, or one made to be sent. Room for the
    // announced size is reserved only once the reader asks for the payload
    // (when the frame's first bytes are there): a frame header alone takes
    // nothing, and an answer being sent is never counted.
    EndpointMessage(const std::shared_ptr<Manager>& manager, websocketpp::frame::opcode::value op, std::size_t size)
        : Base(manager, op, 0)
        , m_manager(manager)
        , m_announced(size)
    {
        if (!websocketpp::frame::opcode::is_control(op) && manager->budget() != nullptr) {
            m_budget = manager->budget();
            m_budget->begin(this, manager->owner(), IncomingBudget::Clock::now());
        }
    }

    ~EndpointMessage()
    {
        received();
        if (const auto manager = m_manager.lock()) {
            manager->removeQueued(m_queuedCost);
        }
    }

    EndpointMessage(const EndpointMessage&) = delete;
    EndpointMessage& operator=(const EndpointMessage&) = delete;

    // The reader calls this before each piece of payload it appends, and
    // before it reserves room for a further frame (which the budget's
    // review counts).
    std::string& get_raw_payload()
    {
        std::string& payload = Base::get_raw_payload();
        if (m_budget != nullptr) {
            if (m_announced != 0) {
                payload.reserve(m_announced);
                m_announced = 0;
            }
            m_budget->progress(this, payload.size(), IncomingBudget::Clock::now());
        }
        return payload;
    }

    void set_payload(const std::string& payload)
    {
        received();
        Base::set_payload(payload);
    }
    void set_payload(const void* payload, std::size_t length)
    {
        received();
        Base::set_payload(payload, length);
    }
    void append_payload(const std::string& payload)
    {
        received();
        Base::append_payload(payload);
    }
    void append_payload(const void* payload, std::size_t length)
    {
        received();
        Base::append_payload(payload, length);
    }

    // Set once a frame is prepared for sending: from here it is queued.
    void set_header(const std::string& header)
    {
        Base::set_header(header);
        if (const auto manager = m_manager.lock()) {
            manager->removeQueued(m_queuedCost);
            m_queuedCost = get_payload().size() + header.size() + kQueuedFrameOverhead;
            manager->addQueued(m_queuedCost);
        }
    }

    // Whole (or not a received message at all): no longer counted as
    // partly received.
    void received()
    {
        if (m_budget != nullptr) {
            m_budget->end(this);
            m_budget = nullptr;
        }
    }

    std::shared_ptr<Manager> manager() const { return m_manager.lock(); }

private:
    std::size_t reserved() const override { return get_payload().capacity(); }
    // The reader may still append a last piece; the message is never
    // delivered, as its connection is closing.
    void dropPayload() override { std::string().swap(Base::get_raw_payload()); }

    std::weak_ptr<Manager> m_manager;
    std::size_t m_announced = 0;        // the first frame's size, until reserved
    IncomingBudget* m_budget = nullptr; // while partly received
    std::size_t m_queuedCost = 0;
};

template <class LibraryMessage>
typename MessageManager<LibraryMessage>::message_ptr MessageManager<LibraryMessage>::get_message()
{
    return std::make_shared<EndpointMessage>(this->shared_from_this());
}

template <class LibraryMessage>
typename MessageManager<LibraryMessage>::message_ptr
MessageManager<LibraryMessage>::get_message(websocketpp::frame::opcode::value op, std::size_t size)
{
    return std::make_shared<EndpointMessage>(this->shared_from_this(), op, size);
}

struct EndpointConfig : websocketpp::config::asio {
    using type = EndpointConfig;
    using message_type = EndpointMessage;
    using con_msg_manager_type = EndpointMessage::Manager;
    using endpoint_msg_manager_type = websocketpp::message_buffer::alloc::endpoint_msg_manager<con_msg_manager_type>;

    static const std::size_t max_message_size = kMaxMessageBytes;
};

} // namespace server
