#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace quillobrandt {

// An immutable string whose copies share one buffer. A chat's few senders repeat on every one of its messages:
// a message holds one pointer instead of a string of its own. Copies may live on different threads (the count is
// atomic); the text itself never changes once made.
class SharedText {
public:
    SharedText() = default;
    SharedText(std::string_view text) : block_(text.empty() ? nullptr : makeBlock(text)) {}
    SharedText(const std::string& text) : SharedText(std::string_view(text)) {}
    SharedText(const char* text) : SharedText(std::string_view(text)) {}
    SharedText(const SharedText& other) noexcept : block_(other.block_) { retain(); }
    SharedText(SharedText&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SharedText& operator=(const SharedText& other) noexcept {
        SharedText copy(other);
        swap(copy);
        return *this;
    }
    SharedText& operator=(SharedText&& other) noexcept {
        SharedText moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~SharedText() { release(); }

    void assign(std::string_view text) { *this = SharedText(text); }

    const std::string& str() const { return block_ != nullptr ? block_->text : emptyText(); }
    operator const std::string&() const { return str(); }
    operator std::string_view() const { return str(); }
    bool empty() const { return block_ == nullptr; }
    std::size_t size() const { return str().size(); }
    const char* c_str() const { return str().c_str(); }
    const char* data() const { return str().data(); }
    // True when both share one buffer: a reader that reuses a chat's senders can tell it did.
    bool sharesBufferWith(const SharedText& other) const { return block_ != nullptr && block_ == other.block_; }

    friend bool operator==(const SharedText& a, const SharedText& b) {
        return a.block_ == b.block_ || a.str() == b.str();
    }
    friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }
    friend bool operator==(const SharedText& a, const std::string& b) { return a.str() == b; }
    friend bool operator==(const SharedText& a, const char* b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const SharedText& text) { return out << text.str(); }

private:
    struct Block {
        explicit Block(std::string_view value) : text(value) {}
        std::atomic<std::size_t> references{1};
        const std::string text;
    };

    static Block* makeBlock(std::string_view text) { return std::make_unique<Block>(text).release(); }
    static const std::string& emptyText() {
        static const std::string empty;
        return empty;
    }
    void retain() const noexcept {
        if (block_ != nullptr) {
            block_->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void release() noexcept {
        if (block_ != nullptr && block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::unique_ptr<Block> last(block_);
        }
        block_ = nullptr;
    }
    void swap(SharedText& other) noexcept { std::swap(block_, other.block_); }

    Block* block_ = nullptr;
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::SharedText> {
    std::size_t operator()(const quillobrandt::SharedText& text) const { return std::hash<std::string>{}(text.str()); }
};
