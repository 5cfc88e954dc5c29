#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Writes all `size` bytes to `fd`, going on after a partial write or an interrupted one (EINTR). Returns false at
// the first failure with errno telling why; a write that takes no byte counts as one (EIO), so a stubborn file
// cannot keep the caller looping. Async-signal-safe: it calls write() alone, so the crash marker uses it inside a
// signal handler.
bool writeAll(int fd, const void* data, std::size_t size) noexcept;

inline bool writeAll(int fd, std::string_view bytes) noexcept {
    return writeAll(fd, bytes.data(), bytes.size());
}

} // namespace platform
