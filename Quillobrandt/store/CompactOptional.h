#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <type_traits>
#include <utility>

namespace quillobrandt {

// An optional value that costs one pointer when absent. For fields that most messages leave empty (the GUID a
// reaction refers to): a std::optional<std::string> costs 40 bytes in every message. Copies are deep.
template <typename T> class CompactOptional {
public:
    CompactOptional() = default;
    CompactOptional(std::nullopt_t) {}
    template <typename U = T>
    requires std::is_constructible_v<T, U&&> &&(!std::is_same_v<std::remove_cvref_t<U>, CompactOptional>)&&(
        !std::is_same_v<std::remove_cvref_t<U>, std::nullopt_t>)&&(!std::is_same_v<std::remove_cvref_t<U>,
                                                                                   std::optional<T>>)
        CompactOptional(U&& value)
        : value_(std::make_unique<T>(std::forward<U>(value))) {}
    CompactOptional(const std::optional<T>& value) : value_(value ? std::make_unique<T>(*value) : nullptr) {}
    CompactOptional(const CompactOptional& other) : value_(other ? std::make_unique<T>(*other) : nullptr) {}
    CompactOptional(CompactOptional&&) noexcept = default;
    CompactOptional& operator=(const CompactOptional& other) {
        CompactOptional copy(other);
        value_ = std::move(copy.value_);
        return *this;
    }
    CompactOptional& operator=(CompactOptional&&) noexcept = default;
    CompactOptional& operator=(std::nullopt_t) {
        value_.reset();
        return *this;
    }
    ~CompactOptional() = default;

    template <typename... Args> T& emplace(Args&&... args) {
        value_ = std::make_unique<T>(std::forward<Args>(args)...);
        return *value_;
    }
    void reset() { value_.reset(); }

    bool has_value() const { return value_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    const T& operator*() const { return *value_; }
    T& operator*() { return *value_; }
    const T* operator->() const { return value_.get(); }
    T* operator->() { return value_.get(); }
    template <typename U> T value_or(U&& fallback) const {
        return value_ ? *value_ : static_cast<T>(std::forward<U>(fallback));
    }
    std::optional<T> toOptional() const { return value_ ? std::optional<T>(*value_) : std::nullopt; }

    friend bool operator==(const CompactOptional& a, const CompactOptional& b) {
        return a.has_value() == b.has_value() && (!a || *a == *b);
    }
    friend bool operator==(const CompactOptional& a, std::nullopt_t) { return !a; }
    friend bool operator==(const CompactOptional& a, const std::optional<T>& b) {
        return a.has_value() == b.has_value() && (!a || *a == *b);
    }
    template <typename U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, CompactOptional>) &&
        (!std::is_same_v<std::remove_cvref_t<U>, std::nullopt_t>)&&(
            !std::is_same_v<std::remove_cvref_t<U>, std::optional<T>>)&&requires(const T& t, const U& u) {
        { t == u } -> std::convertible_to<bool>;
    }
    friend bool operator==(const CompactOptional& a, const U& b) { return a && *a == b; }
    friend std::ostream& operator<<(std::ostream& out, const CompactOptional& value) {
        if (!value) {
            return out << "(nullopt)";
        }
        return out << *value;
    }

private:
    std::unique_ptr<T> value_;
};

} // namespace quillobrandt
