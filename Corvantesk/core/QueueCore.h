#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Corvantesk/core/QueueEventCodec.h"
#include "Corvantesk/core/QueueMemory.h"
#include "Corvantesk/core/QueueSender.h"
#include "Corvantesk/core/QueueState.h"
#include "Corvantesk/core/QueueWriter.h"

namespace corvantesk {

class Storage;

// The queue without its event type: what callers call (EventQueue<Event> forwards to it), the threads' lifecycle
// and the memory callers' events go into. See EventQueue.h for the behaviour and the thread map.
class QueueCore {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // `eventBlockBytes`: what one caller's event takes in its pool block. Takes the files; reading them waits for
    // the writer thread, or a call that needs the events.
    QueueCore(std::string name, std::int64_t batchSize, double flushInterval, std::int64_t maxQueueSize, bool debug,
              std::size_t eventBlockBytes, const QueueEventCodec& codec, Storage& storage, Now now);
    // Stops the threads and writes the files a last time.
    ~QueueCore();
    QueueCore(const QueueCore&) = delete;
    QueueCore& operator=(const QueueCore&) = delete;

    const std::string& name() const { return name_; }
    // Where callers' events are made, so that a warm queue takes them without allocating.
    BlockPool& pool() { return pool_; }

    void append(std::shared_ptr<const void> event);
    void append(std::vector<std::shared_ptr<const void>> events);
    void flush(Clock::time_point deadline) { sender_.flush(QueueSender::Origin::caller, deadline); }
    Clock::time_point nextSendTime() const { return sender_.nextSendTime(); }
    void setHousekeeping(QueueWriter::Housekeeping work);
    void startAutoFlush();
    void stopAutoFlush();
    bool isRunning() const;
    std::size_t count() const;
    // The events not yet delivered, oldest first.
    std::vector<QueueEntry> entries() const;
    void clear();
    void retire();
    bool persist();
    std::uint64_t bytesWritten() const { return writer_.bytesWritten(); }
    bool callersMemoryReady() const;

private:
    // Makes and touches, on the sender, the memory the callers' events go into while it runs.
    void prepareMemory();
    // With the queue lock held, after events were appended.
    void afterAppendLocked();

    // What allocate_shared adds to an event in its block (counts and the allocator), with room to spare.
    static constexpr std::size_t kSharedOverhead = 64;
    // Events dropped between two runs of the writer, held without allocating.
    static constexpr std::size_t kDropSlack = 1024;
    // Blocks for those, and for events the writer or a copy being made still holds after they left the queue.
    static constexpr std::size_t kBlockSlack = 64;
    static constexpr std::size_t kMaxPooledBytes = 8 * 1024 * 1024;
    static constexpr std::size_t kMaxWindowSlack = 64 * 1024;

    const std::string name_;
    const std::size_t batchSize_;
    const double interval_;
    const bool debug_;
    const std::size_t eventBlockBytes_;

    BlockPool pool_; // before every holder of events, so it outlives them
    QueueState state_;
    mutable QueueWriter writer_; // count() and events() may have it read the files
    QueueSender sender_;

    std::mutex lifecycleMutex_; // guards the two threads
    std::jthread writerThread_;
    std::jthread senderThread_;
};

} // namespace corvantesk
