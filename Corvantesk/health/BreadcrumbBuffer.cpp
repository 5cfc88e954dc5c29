#include "Corvantesk/health/BreadcrumbBuffer.h"

#include <algorithm>

#include "Corvantesk/health/RecordedText.h"

namespace corvantesk {

BreadcrumbBuffer::BreadcrumbBuffer(std::int64_t maxSize) : maxSize_(maxSize) {}

void BreadcrumbBuffer::add(Breadcrumb breadcrumb) {
    breadcrumb.message = limitRecordedText(std::move(breadcrumb.message));
    if (breadcrumb.data) {
        limitRecordedValues(*breadcrumb.data);
    }
    std::lock_guard lock(mutex_);
    const auto countBefore = static_cast<std::int64_t>(buffer_.size());
    buffer_.push_back(std::move(breadcrumb));
    if (countBefore >= maxSize_) {
        buffer_.erase(buffer_.begin());
    }
}

std::vector<Breadcrumb> BreadcrumbBuffer::all() const {
    std::lock_guard lock(mutex_);
    return buffer_;
}

std::vector<Breadcrumb> BreadcrumbBuffer::recent(std::int64_t n) const {
    std::lock_guard lock(mutex_);
    if (n <= 0) {
        return {};
    }
    const auto take = std::min<std::size_t>(static_cast<std::size_t>(n), buffer_.size());
    return {buffer_.end() - static_cast<std::ptrdiff_t>(take), buffer_.end()};
}

void BreadcrumbBuffer::clear() {
    std::lock_guard lock(mutex_);
    buffer_.clear();
}

std::size_t BreadcrumbBuffer::count() const {
    std::lock_guard lock(mutex_);
    return buffer_.size();
}

} // namespace corvantesk
