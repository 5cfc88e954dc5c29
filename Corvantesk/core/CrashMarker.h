#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvantesk {

// What the signal path leaves behind so that the next launch can report the crash.
struct CrashMarker {
    double timestamp = 0.0; // seconds since 1970-01-01 00:00:00 UTC
    std::string signalOrException;
    std::string message;
    std::optional<std::string> sessionId;

    // A marker stamped with the current time.
    static CrashMarker make(std::string signalOrException, std::string message, std::optional<std::string> sessionId);

    bool operator==(const CrashMarker&) const = default;
};

// Reads a marker file's text: an object with a number "timestamp", strings "signalOrException" and "message",
// and optionally a string "sessionId". nullopt for anything else.
std::optional<CrashMarker> decodeCrashMarker(std::string_view text);

// Writes the marker file from inside a signal handler. Everything that needs memory or the file system's
// names is done in the constructor (on a normal thread, typically when the crash handler is installed): the
// path is fixed and the text buffer is reserved. write() then uses only open, write, fsync and close, takes no
// lock, allocates nothing and never throws.
//
// One writer serves one crash: two threads crashing at once must not call write() on the same writer
// concurrently (the crash handler lets only the first one in). Texts longer than their share of the buffer
// are cut at a character boundary.
class CrashMarkerWriter {
public:
    static constexpr std::size_t kBufferSize = 16 * 1024;

    explicit CrashMarkerWriter(std::filesystem::path markerPath);

    // Async-signal-safe. Builds {"timestamp":…,"signalOrException":"…","message":"…","sessionId":"…"} with JSON
    // escaping (quote, backslash, control characters) and writes it with mode 0644, replacing any earlier marker.
    // An empty sessionId is written as "". Returns false when the file could not be opened or written.
    bool write(double unixTimestamp, std::string_view signalOrException, std::string_view message,
               std::string_view sessionId) noexcept;
    bool write(const CrashMarker& marker) noexcept;

    // The wall-clock time in seconds since 1970 (clock_gettime, async-signal-safe).
    static double currentUnixTime() noexcept;

    const std::filesystem::path& path() const { return path_; }
    // The bytes of the last write() (for tests).
    std::string_view lastText() const { return {buffer_.get(), length_}; }

private:
    std::filesystem::path path_;
    std::string pathText_;
    std::unique_ptr<char[]> buffer_;
    std::size_t length_ = 0;
};

} // namespace corvantesk
