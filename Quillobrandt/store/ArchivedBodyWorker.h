#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quillobrandt {

// Decodes archived bodies on a thread of its own while the loading thread goes on stepping SQLite: a tenth of a
// large load is decoding, and it needs nothing of the connection. Bodies are decoded in the order they are added,
// each text written where add() was told; the loading thread hands over batches and waits only when a few are
// already waiting (which bounds the copies kept), for decoded(), or in waitForAll().
class ArchivedBodyWorker {
public:
    ArchivedBodyWorker();
    ~ArchivedBodyWorker(); // waits for every body added
    ArchivedBodyWorker(const ArchivedBodyWorker&) = delete;
    ArchivedBodyWorker& operator=(const ArchivedBodyWorker&) = delete;

    // Copies `body` (SQLite's buffer lasts only until the next step) and later writes its text (or nothing, as
    // decodeAttributedBody gives it) to `*text`, adding one to `*withoutText` when the text is absent or empty. Both
    // must stay where they are, untouched by the caller, until decoded() covers the body or waitForAll() returns.
    void add(std::span<const std::uint8_t> body, std::int64_t rowId, std::optional<std::string>* text,
             std::size_t* withoutText);
    // How many bodies were added so far.
    std::uint64_t added() const { return added_; }
    // Whether the first `count` bodies added are decoded and their results visible to the caller. Never waits.
    bool decoded(std::uint64_t count) const { return decoded_.load(std::memory_order_acquire) >= count; }
    // Hands over what is gathered and waits until every body added is decoded.
    void waitForAll() noexcept;

private:
    struct Body {
        std::size_t offset;
        std::size_t size;
        std::int64_t rowId;
        std::optional<std::string>* text;
        std::size_t* withoutText;
    };
    struct Batch {
        std::vector<std::uint8_t> bytes;
        std::vector<Body> bodies;
    };

    void handOver();
    void run();

    Batch filling_; // the loading thread's, until handed over
    std::uint64_t added_ = 0;
    std::atomic<std::uint64_t> decoded_{0};
    std::mutex mutex_;
    std::condition_variable work_;     // the worker waits for a batch, or for the end
    std::condition_variable progress_; // the loading thread waits for room, or for the last body
    std::deque<Batch> queue_;          // handed over; the front one is being decoded
    std::vector<Batch> spare_;         // decoded batches, their buffers kept for the next ones
    bool ending_ = false;
    std::thread thread_; // last: starts once everything above is made
};

} // namespace quillobrandt
