#include "Quillobrandt/store/ArchivedBodyWorker.h"

#include <utility>

#include "Quillobrandt/store/ArchivedBodyDecoder.h"

namespace quillobrandt {
namespace {

// A batch is handed over at this many bodies or bytes: one lock per few hundred bodies, and a few batches in flight
// keep the copies to a few MiB whatever the bodies weigh.
constexpr std::size_t kBodiesPerBatch = 512;
constexpr std::size_t kBytesPerBatch = std::size_t{512} << 10;
constexpr std::size_t kBatchesWaiting = 4;

} // namespace

ArchivedBodyWorker::ArchivedBodyWorker() : thread_([this] { run(); }) {}

ArchivedBodyWorker::~ArchivedBodyWorker() {
    waitForAll();
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void ArchivedBodyWorker::add(std::span<const std::uint8_t> body, std::int64_t rowId, std::optional<std::string>* text,
                             std::size_t* withoutText) {
    // The bytes first, then the record: a copy that fails for want of memory must leave no record pointing past
    // the bytes, or the worker would read beyond them and the final wait would never see its count.
    const std::size_t offset = filling_.bytes.size();
    filling_.bytes.insert(filling_.bytes.end(), body.begin(), body.end());
    try {
        filling_.bodies.push_back({offset, body.size(), rowId, text, withoutText});
    } catch (...) {
        filling_.bytes.resize(offset);
        throw;
    }
    ++added_;
    if (filling_.bodies.size() >= kBodiesPerBatch || filling_.bytes.size() >= kBytesPerBatch) {
        handOver();
    }
}

void ArchivedBodyWorker::handOver() {
    {
        std::unique_lock lock(mutex_);
        progress_.wait(lock, [this] { return queue_.size() < kBatchesWaiting; });
        queue_.push_back(std::move(filling_));
        filling_ = {};
        if (!spare_.empty()) {
            filling_ = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    work_.notify_one();
}

void ArchivedBodyWorker::waitForAll() noexcept {
    if (!filling_.bodies.empty()) {
        handOver();
    }
    std::unique_lock lock(mutex_);
    progress_.wait(lock, [this] { return decoded_.load(std::memory_order_relaxed) == added_; });
}

void ArchivedBodyWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return !queue_.empty() || ending_; });
        if (queue_.empty()) {
            return;
        }
        Batch& batch = queue_.front(); // stays put while the loading thread adds at the back
        lock.unlock();
        for (const Body& body : batch.bodies) {
            *body.text = decodeAttributedBody(std::span(batch.bytes).subspan(body.offset, body.size), body.rowId);
            if (!*body.text || (*body.text)->empty()) {
                ++*body.withoutText;
            }
        }
        const auto count = batch.bodies.size();
        lock.lock();
        batch.bytes.clear();
        batch.bodies.clear();
        if (batch.bytes.capacity() > 2 * kBytesPerBatch) {
            batch.bytes = {}; // one huge body's room is not kept for the rest of the load
        }
        spare_.push_back(std::move(batch));
        queue_.pop_front();
        decoded_.fetch_add(count, std::memory_order_release);
        progress_.notify_all();
    }
}

} // namespace quillobrandt
