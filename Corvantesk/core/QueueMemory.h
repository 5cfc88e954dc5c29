#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace corvantesk {

// Fixed-size blocks made once and touched on the thread that calls reserve(), so that taking one later neither
// allocates nor faults a page in. Blocks beyond the reserve, larger requests and requests before reserve() come
// from the heap; give() tells the two apart by address. Thread-safe; the pool must outlive every block it gave.
// Under AddressSanitizer a free block is poisoned past its link, so a use after give() is still caught.
class BlockPool {
public:
    BlockPool() = default;
    ~BlockPool() {
        if (slab_ != nullptr) {
            unpoison(slab_, blockSize_ * count_);
            ::operator delete (slab_, std::align_val_t{kAlign});
        }
    }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // Makes `count` blocks of at least `size` bytes, once; later calls do nothing.
    void reserve(std::size_t size, std::size_t count) {
        const std::size_t blockSize = (size + kAlign - 1) / kAlign * kAlign;
        if (count == 0 || reserved()) {
            return;
        }
        auto* slab = static_cast<std::byte*>(::operator new (blockSize* count, std::align_val_t{kAlign}));
        // Linking every block writes to every page, so the pages are in before any caller needs them.
        Free* head = nullptr;
        for (std::size_t i = count; i-- > 0;) {
            head = ::new (slab + i * blockSize) Free{head};
            poisonPastLink(head, blockSize);
        }
        std::lock_guard lock(mutex_);
        if (slab_ != nullptr) {
            ::operator delete (slab, std::align_val_t{kAlign});
            return;
        }
        slab_ = slab;
        blockSize_ = blockSize;
        count_ = count;
        free_ = head;
    }

    void* take(std::size_t size) {
        {
            std::lock_guard lock(mutex_);
            if (free_ != nullptr && size <= blockSize_) {
                Free* block = free_;
                free_ = block->next;
                unpoison(block, blockSize_);
                return block;
            }
        }
        return ::operator new(size);
    }

    void give(void* block) noexcept {
        auto* bytes = static_cast<std::byte*>(block);
        std::lock_guard lock(mutex_);
        if (bytes >= slab_ && bytes < slab_ + blockSize_ * count_) {
            free_ = ::new (block) Free{free_};
            poisonPastLink(block, blockSize_);
            return;
        }
        ::operator delete(block);
    }

private:
    struct Free {
        Free* next;
    };
    static constexpr std::size_t kAlign = 64; // a cache line: two events never share one

    static void poisonPastLink([[maybe_unused]] void* block, [[maybe_unused]] std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
        ASAN_POISON_MEMORY_REGION(static_cast<std::byte*>(block) + sizeof(Free), size - sizeof(Free));
#endif
    }
    static void unpoison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
        ASAN_UNPOISON_MEMORY_REGION(block, size);
#endif
    }

    bool reserved() {
        std::lock_guard lock(mutex_);
        return slab_ != nullptr;
    }

    std::mutex mutex_;
    std::byte* slab_ = nullptr;
    std::size_t blockSize_ = 0;
    std::size_t count_ = 0;
    Free* free_ = nullptr;
};

// An empty vector with room for `count` values whose pages are all in: appending to it up to there neither
// allocates nor faults a page in.
template <class T> std::vector<T> touchedEmptyVector(std::size_t count) {
    std::vector<T> values(count);
    values.clear();
    return values;
}

// An allocator of one object at a time from a BlockPool, for std::allocate_shared.
template <class T> struct PoolAllocator {
    using value_type = T;
    explicit PoolAllocator(BlockPool& pool) noexcept : pool(&pool) {}
    template <class U> PoolAllocator(const PoolAllocator<U>& other) noexcept : pool(other.pool) {}
    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= alignof(std::max_align_t));
        return static_cast<T*>(pool->take(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { pool->give(block); }
    template <class U> bool operator==(const PoolAllocator<U>& other) const noexcept { return pool == other.pool; }
    BlockPool* pool;
};

// A contiguous run of values that grows at the back and shrinks mostly at the front, in storage that is kept:
// dropping the oldest and appending one moves a window along a reserved vector, which is compacted only when its
// end reaches the capacity. Iterators are pointers; appending may move the values.
template <class T> class SlidingWindow {
public:
    T* begin() { return items_.data() + head_; }
    T* end() { return items_.data() + items_.size(); }
    const T* begin() const { return items_.data() + head_; }
    const T* end() const { return items_.data() + items_.size(); }
    std::size_t size() const { return items_.size() - head_; }
    bool empty() const { return size() == 0; }
    T& operator[](std::size_t i) { return items_[head_ + i]; }
    const T& operator[](std::size_t i) const { return items_[head_ + i]; }

    void push_back(T value) {
        if (items_.size() == items_.capacity() && head_ > 0) {
            compact();
        }
        items_.push_back(std::move(value));
    }

    // Removes [first, last): from the front by moving the window, elsewhere by moving the later values down.
    void erase(T* first, T* last) {
        if (first == last) {
            return;
        }
        if (first == begin()) {
            std::fill(first, last, T{}); // lets go of what the values hold now
            head_ += static_cast<std::size_t>(last - first);
            if (head_ == items_.size()) {
                clear();
            }
            return;
        }
        const auto removed = static_cast<std::size_t>(last - first);
        std::move(last, end(), first);
        items_.resize(items_.size() - removed);
    }

    void clear() {
        items_.clear();
        head_ = 0;
    }

    // Storage for `count` values with all its pages in (constructing every slot writes to every page), made
    // where that costs nobody, for adopt().
    static std::vector<T> touchedStorage(std::size_t count) { return std::vector<T>(count); }

    // Moves the values into `storage` (from touchedStorage()), whose capacity the window keeps from then on, and
    // hands back the old storage to be freed elsewhere.
    std::vector<T> adopt(std::vector<T> storage) {
        if (storage.size() < size()) {
            storage.resize(size());
        }
        std::move(begin(), end(), storage.begin());
        storage.resize(size());
        items_.swap(storage);
        head_ = 0;
        return storage;
    }

private:
    void compact() {
        std::move(begin(), end(), items_.begin());
        items_.resize(size());
        head_ = 0;
    }

    std::vector<T> items_;
    std::size_t head_ = 0; // the values before it are empty
};

} // namespace corvantesk
