#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/CompactOptional.h"
#include "Quillobrandt/store/CompactVector.h"

namespace quillobrandt {

// Feeds values one after another into a single hash, so that equal values of the model types hash
// equally and values that differ in any field (or in field order) hash differently as a rule.
class ValueHasher {
public:
    template <typename T> ValueHasher& add(const T& value) {
        mix(std::hash<T>{}(value));
        return *this;
    }
    // Presence flag first, then the value when present.
    template <typename T> ValueHasher& add(const std::optional<T>& value) {
        mix(value.has_value() ? 1 : 0);
        if (value) {
            add(*value);
        }
        return *this;
    }
    // Element count first, then each element.
    template <typename T> ValueHasher& add(const std::vector<T>& values) {
        mix(values.size());
        for (const auto& value : values) {
            add(value);
        }
        return *this;
    }
    template <typename T> ValueHasher& add(const CompactOptional<T>& value) {
        mix(value.has_value() ? 1 : 0);
        if (value) {
            add(*value);
        }
        return *this;
    }
    template <typename T> ValueHasher& add(const CompactVector<T>& values) {
        mix(values.size());
        for (const auto& value : values) {
            add(value);
        }
        return *this;
    }
    std::size_t result() const { return state_; }

private:
    void mix(std::size_t value) {
        // 64-bit variant of boost's hash_combine with the golden-ratio constant.
        state_ ^= value + 0x9e3779b97f4a7c15ULL + (state_ << 6) + (state_ >> 2);
    }
    std::size_t state_ = 0;
};

} // namespace quillobrandt
