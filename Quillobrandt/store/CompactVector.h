#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace quillobrandt {

// A list that costs one pointer while it is empty. Nine in ten messages have no attachment, and an empty
// std::vector costs 24 bytes in every one of them. Copies are deep; iteration is over contiguous elements.
template <typename T> class CompactVector {
public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    CompactVector() = default;
    CompactVector(std::vector<T> values) { assign(std::move(values)); }
    CompactVector(std::initializer_list<T> values) : CompactVector(std::vector<T>(values)) {}
    CompactVector(const CompactVector& other) : CompactVector(other.toVector()) {}
    CompactVector(CompactVector&&) noexcept = default;
    CompactVector& operator=(const CompactVector& other) {
        CompactVector copy(other);
        values_ = std::move(copy.values_);
        return *this;
    }
    CompactVector& operator=(CompactVector&&) noexcept = default;
    CompactVector& operator=(std::vector<T> values) {
        assign(std::move(values));
        return *this;
    }
    CompactVector& operator=(std::initializer_list<T> values) {
        assign(std::vector<T>(values));
        return *this;
    }
    ~CompactVector() = default;

    bool empty() const { return values_ == nullptr || values_->empty(); }
    std::size_t size() const { return values_ != nullptr ? values_->size() : 0; }
    T* begin() { return values_ != nullptr ? values_->data() : nullptr; }
    T* end() { return begin() + size(); }
    const T* begin() const { return values_ != nullptr ? values_->data() : nullptr; }
    const T* end() const { return begin() + size(); }
    T& operator[](std::size_t index) { return (*values_)[index]; }
    const T& operator[](std::size_t index) const { return (*values_)[index]; }
    T& front() { return values_->front(); }
    const T& front() const { return values_->front(); }
    T& back() { return values_->back(); }
    const T& back() const { return values_->back(); }

    void push_back(T value) { grown().push_back(std::move(value)); }
    template <typename... Args> T& emplace_back(Args&&... args) {
        return grown().emplace_back(std::forward<Args>(args)...);
    }
    void resize(std::size_t count) {
        if (count == 0) {
            clear();
        } else {
            grown().resize(count);
        }
    }
    void clear() { values_.reset(); }
    std::vector<T> toVector() const { return values_ != nullptr ? *values_ : std::vector<T>{}; }

    friend bool operator==(const CompactVector& a, const CompactVector& b) { return a.equals(b.begin(), b.size()); }
    friend bool operator==(const CompactVector& a, const std::vector<T>& b) { return a.equals(b.data(), b.size()); }

private:
    void assign(std::vector<T>&& values) {
        values_ = values.empty() ? nullptr : std::make_unique<std::vector<T>>(std::move(values));
    }
    std::vector<T>& grown() {
        if (values_ == nullptr) {
            values_ = std::make_unique<std::vector<T>>();
        }
        return *values_;
    }
    bool equals(const T* other, std::size_t count) const {
        if (count != size()) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!(begin()[i] == other[i])) {
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<std::vector<T>> values_;
};

} // namespace quillobrandt
