#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Corvantesk/core/QueueState.h"

namespace corvantesk {

// What a queue needs of its event type and its send function; EventQueue<Event> supplies it. Called on the
// writer and the sender, never with the queue lock held.
class QueueEventCodec {
public:
    using Clock = std::chrono::steady_clock;

    // A batch in the send function's own form.
    class Batch {
    public:
        virtual ~Batch() = default;
        virtual std::size_t size() const = 0;
    };

    virtual ~QueueEventCodec() = default;

    // The file form of a caller's event (QueueEntry::event); throws when it cannot be encoded.
    virtual std::string encode(const void* event) const = 0;
    // Whether a file form reads back as an event.
    virtual bool readsBack(const std::string& text) const = 0;
    // Whether an element of a queue file reads as an event.
    virtual bool readsAsEvent(const nlohmann::json& element) const = 0;
    // The entries' events: the caller's copy while kept, else read from the file form (an entry whose form no
    // longer reads is left out).
    virtual std::unique_ptr<Batch> makeBatch(const std::vector<QueueEntry>& entries) const = 0;
    // Sends a batch (see EventQueue::SendBatch); may throw.
    virtual bool send(const Batch& batch, std::stop_token cancel, Clock::time_point deadline) const = 0;
};

} // namespace corvantesk
