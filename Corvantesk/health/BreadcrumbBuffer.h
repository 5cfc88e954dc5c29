#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Corvantesk/health/Breadcrumb.h"

namespace corvantesk {

// The most recent breadcrumbs, oldest first, at most maxSize of them. Every member is thread-safe; each
// holds the buffer's own lock for its whole run and takes no other. Readers get copies.
class BreadcrumbBuffer {
public:
    explicit BreadcrumbBuffer(std::int64_t maxSize);

    // Appends; drops the oldest when the buffer was already full.
    void add(Breadcrumb breadcrumb);
    std::vector<Breadcrumb> all() const;
    // The last n in stored order; empty for n <= 0.
    std::vector<Breadcrumb> recent(std::int64_t n) const;
    void clear();
    std::size_t count() const;
    std::int64_t maxSize() const { return maxSize_; }

private:
    mutable std::mutex mutex_;
    std::vector<Breadcrumb> buffer_;
    const std::int64_t maxSize_;
};

} // namespace corvantesk
