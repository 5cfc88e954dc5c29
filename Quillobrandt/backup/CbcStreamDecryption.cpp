#include "Quillobrandt/backup/CbcStreamDecryption.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <sched.h>
#include <thread>
#include <vector>

#include <gcrypt.h>
#include <openssl/crypto.h>

#include "Quillobrandt/backup/BackupError.h"
#include "platform/core/SignalStack.h"

namespace quillobrandt {
namespace {

constexpr std::size_t kBlock = 16;
// Larger chunks make the page cache allocate larger pieces, which a virtual machine that hands free memory back to
// its host may have to fetch back first: 256 KiB was as fast as any size and never slow.
constexpr std::size_t kChunkSize = 256 * 1024;
constexpr std::size_t kChunkCount = 16;

// One chunk of ciphertext decrypted in place, with room for the first block of the next chunk behind it: whether
// that block exists tells whether this chunk is the last, the padded one, before any of it is written. So every
// write but the last is a whole chunk at a multiple of the chunk size, which the page cache takes in large pieces.
// Bytes [0, end) are ready to write.
struct Chunk {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kChunkSize + kBlock);
    std::size_t end = 0;

    Chunk() = default;
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk() { OPENSSL_cleanse(bytes.data(), bytes.size()); } // plain text of the user's file
};

// The two queues between the decrypting worker and the writing caller. A side that finds its queue empty sleeps
// until half the chunks are waiting for it: each wake-up costs a trip through the scheduler, too dear per chunk.
class ChunkExchange {
public:
    ChunkExchange() {
        for (auto& chunk : chunks_) {
            free_.push_back(&chunk);
        }
    }

    // The worker's side. Null once the writer has stopped.
    Chunk* takeFree() {
        std::unique_lock lock(mutex_);
        if (free_.empty() && !stopped_) {
            workerWaiting_ = true;
            workerWakes_.wait(lock, [&] { return stopped_ || free_.size() >= kWakeAt; });
            workerWaiting_ = false;
        }
        if (stopped_) {
            return nullptr;
        }
        Chunk* chunk = free_.front();
        free_.pop_front();
        return chunk;
    }
    void pushFull(Chunk* chunk) {
        std::lock_guard lock(mutex_);
        full_.push_back(chunk);
        if (writerWaiting_ && full_.size() >= kWakeAt) {
            writerWakes_.notify_one();
        }
    }
    void finish(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        finished_ = true;
        error_ = std::move(error);
        writerWakes_.notify_one();
    }

    // The writer's side. Null once everything was handed over; then error() tells whether it all went well.
    Chunk* takeFull() {
        std::unique_lock lock(mutex_);
        if (full_.empty() && !finished_) {
            writerWaiting_ = true;
            writerWakes_.wait(lock, [&] { return finished_ || full_.size() >= kWakeAt; });
            writerWaiting_ = false;
        }
        if (full_.empty()) {
            return nullptr;
        }
        Chunk* chunk = full_.front();
        full_.pop_front();
        return chunk;
    }
    void giveBack(Chunk* chunk) {
        std::lock_guard lock(mutex_);
        free_.push_back(chunk);
        if (workerWaiting_ && free_.size() >= kWakeAt) {
            workerWakes_.notify_one();
        }
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        workerWakes_.notify_one();
    }
    std::exception_ptr error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    static constexpr std::size_t kWakeAt = kChunkCount / 2;

    std::array<Chunk, kChunkCount> chunks_;
    std::mutex mutex_;
    std::condition_variable workerWakes_;
    std::condition_variable writerWakes_;
    std::deque<Chunk*> free_;
    std::deque<Chunk*> full_;
    bool workerWaiting_ = false;
    bool writerWaiting_ = false;
    bool finished_ = false;
    bool stopped_ = false;
    std::exception_ptr error_;
};

// The same hand-over on one thread, for a process that may run on one processor only: each chunk is written as soon
// as it is decrypted, while it is still in the processor's cache, and nobody waits for a worker that cannot run.
class ImmediateWriter {
public:
    explicit ImmediateWriter(const ChunkWriter& write) : write_(write) {}
    Chunk* takeFree() { return &chunk_; }
    void pushFull(Chunk* chunk) {
        if (chunk->end > 0) {
            write_(chunk->bytes.data(), chunk->end);
        }
    }
    void giveBack(Chunk*) {}

private:
    const ChunkWriter& write_;
    Chunk chunk_;
};

// Reads and decrypts every chunk; the last one loses its padding, checked, before it is handed over.
template <typename Exchange>
std::uint64_t decryptChunks(AesCbcDecryptor& cipher, const ChunkReader& read, Exchange& exchange) {
    std::uint64_t sourceBytes = 0;
    std::array<std::uint8_t, kBlock> ahead{}; // the next chunk's first block of ciphertext, read with this one
    std::size_t aheadSize = 0;
    for (;;) {
        Chunk* chunk = exchange.takeFree();
        if (chunk == nullptr) {
            return sourceBytes;
        }
        std::memcpy(chunk->bytes.data(), ahead.data(), aheadSize);
        const std::size_t got = read(chunk->bytes.data() + aheadSize, kChunkSize + kBlock - aheadSize);
        const std::size_t size = aheadSize + got;
        sourceBytes += got;
        const bool last = size <= kChunkSize;
        const std::size_t decrypted = last ? size : kChunkSize;
        if (size == 0 || size % kBlock != 0 || !cipher.decrypt(chunk->bytes.data(), decrypted)) {
            exchange.giveBack(chunk);
            throw BackupError(BackupError::Code::decryptionFailed);
        }
        if (!last) {
            aheadSize = size - kChunkSize;
            std::memcpy(ahead.data(), chunk->bytes.data() + kChunkSize, aheadSize);
            chunk->end = kChunkSize;
            exchange.pushFull(chunk);
            continue;
        }
        const std::uint8_t* block = chunk->bytes.data() + size - kBlock;
        const std::uint8_t padding = block[kBlock - 1];
        bool valid = padding >= 1 && padding <= kBlock;
        for (std::size_t i = kBlock - (valid ? padding : 0); valid && i < kBlock; ++i) {
            valid = block[i] == padding;
        }
        if (!valid) {
            exchange.giveBack(chunk);
            throw BackupError(BackupError::Code::decryptionFailed);
        }
        chunk->end = size - padding;
        exchange.pushFull(chunk);
        return sourceBytes;
    }
}

// Stops and joins the worker on every way out of the writing loop.
class WorkerGuard {
public:
    WorkerGuard(ChunkExchange& exchange, std::thread worker) : exchange_(exchange), worker_(std::move(worker)) {}
    WorkerGuard(const WorkerGuard&) = delete;
    WorkerGuard& operator=(const WorkerGuard&) = delete;
    ~WorkerGuard() {
        exchange_.stop();
        worker_.join();
    }

private:
    ChunkExchange& exchange_;
    std::thread worker_;
};

// libgcrypt wants its version checked once before any other call; a program that set it up already is left alone.
bool gcryptReady() {
    static const bool ready = [] {
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) == 0) {
            if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
                return false;
            }
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0); // no key of ours lives in its secure memory
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        }
        return true;
    }();
    return ready;
}

} // namespace

AesCbcDecryptor::AesCbcDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv) {
    const int algorithm = key.size() == 16   ? GCRY_CIPHER_AES128
                          : key.size() == 24 ? GCRY_CIPHER_AES192
                          : key.size() == 32 ? GCRY_CIPHER_AES256
                                             : 0;
    if (algorithm == 0 || iv.size() != kBlock || !gcryptReady() ||
        gcry_cipher_open(&handle_, algorithm, GCRY_CIPHER_MODE_CBC, 0) != 0) {
        handle_ = nullptr;
        return;
    }
    if (gcry_cipher_setkey(handle_, key.data(), key.size()) != 0 ||
        gcry_cipher_setiv(handle_, iv.data(), iv.size()) != 0) {
        gcry_cipher_close(handle_);
        handle_ = nullptr;
    }
}

AesCbcDecryptor::~AesCbcDecryptor() {
    if (handle_ != nullptr) {
        gcry_cipher_close(handle_); // wipes the key schedule
    }
}

bool AesCbcDecryptor::decrypt(std::uint8_t* data, std::size_t size) {
    return handle_ != nullptr && size % kBlock == 0 && gcry_cipher_decrypt(handle_, data, size, nullptr, 0) == 0;
}

int streamDecryptionCores() {
    cpu_set_t allowed;
    return ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) < 2 ? 1 : 2;
}

std::uint64_t decryptCbcStream(AesCbcDecryptor& cipher, const ChunkReader& read, const ChunkWriter& write) {
    if (streamDecryptionCores() == 1) {
        ImmediateWriter writer(write);
        return decryptChunks(cipher, read, writer);
    }
    ChunkExchange exchange;
    std::uint64_t sourceBytes = 0;
    {
        WorkerGuard worker(exchange, std::thread([&] {
                               platform::ThreadSignalStack signalStack;
                               std::exception_ptr error;
                               try {
                                   sourceBytes = decryptChunks(cipher, read, exchange);
                               } catch (...) {
                                   error = std::current_exception();
                               }
                               exchange.finish(std::move(error));
                           }));
        while (Chunk* chunk = exchange.takeFull()) {
            if (chunk->end > 0) {
                write(chunk->bytes.data(), chunk->end);
            }
            exchange.giveBack(chunk);
        }
    }
    if (auto error = exchange.error()) {
        std::rethrow_exception(error);
    }
    return sourceBytes;
}

} // namespace quillobrandt
