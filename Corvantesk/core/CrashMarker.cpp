#include "Corvantesk/core/CrashMarker.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/WriteAll.h"

namespace corvantesk {
namespace {

// Appends into a fixed buffer; stops (and remembers it) when the next piece would not fit.
class FixedAppender {
public:
    FixedAppender(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    bool raw(std::string_view text) noexcept {
        if (text.size() > capacity_ - length_) {
            return false;
        }
        for (char c : text) {
            buffer_[length_++] = c;
        }
        return true;
    }

    // Appends `text` escaped for a JSON string, leaving at least `reserve` bytes free; cuts at a character
    // boundary when the text does not fit.
    void escaped(std::string_view text, std::size_t reserve) noexcept {
        static const char hex[] = "0123456789abcdef";
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            char piece[6];
            std::size_t size = 0;
            if (c == '"' || c == '\\') {
                piece[0] = '\\';
                piece[1] = static_cast<char>(c);
                size = 2;
            } else if (c < 0x20 || c == 0x7f) {
                const char* shortForm = c == '\n'   ? "\\n"
                                        : c == '\r' ? "\\r"
                                        : c == '\t' ? "\\t"
                                        : c == '\b' ? "\\b"
                                        : c == '\f' ? "\\f"
                                                    : nullptr;
                if (shortForm != nullptr) {
                    piece[0] = shortForm[0];
                    piece[1] = shortForm[1];
                    size = 2;
                } else {
                    piece[0] = '\\';
                    piece[1] = 'u';
                    piece[2] = '0';
                    piece[3] = '0';
                    piece[4] = hex[c >> 4];
                    piece[5] = hex[c & 0xf];
                    size = 6;
                }
            } else if (c >= 0xc0) {
                // A multi-byte character goes in whole or not at all.
                std::size_t end = i + 1;
                while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) {
                    ++end;
                }
                if (end - i > capacity_ - length_ || capacity_ - length_ - (end - i) < reserve) {
                    return;
                }
                raw(text.substr(i, end - i));
                i = end - 1;
                continue;
            } else {
                piece[0] = static_cast<char>(c);
                size = 1;
            }
            if (size > capacity_ - length_ || capacity_ - length_ - size < reserve) {
                return;
            }
            raw(std::string_view(piece, size));
        }
    }

    bool number(double value) noexcept {
        char digits[64];
        // Fixed notation keeps present-day times out of exponent form; the shortest digits read back exactly.
        auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
        if (result.ec != std::errc()) {
            return raw("0.0");
        }
        std::string_view text(digits, static_cast<std::size_t>(result.ptr - digits));
        if (!raw(text)) {
            return false;
        }
        return text.find('.') != std::string_view::npos || raw(".0");
    }

    std::size_t length() const { return length_; }
    std::size_t room() const { return capacity_ - length_; }

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

} // namespace

CrashMarker CrashMarker::make(std::string signalOrException, std::string message,
                              std::optional<std::string> sessionId) {
    return CrashMarker{CrashMarkerWriter::currentUnixTime(), std::move(signalOrException), std::move(message),
                       std::move(sessionId)};
}

std::optional<CrashMarker> decodeCrashMarker(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    const auto timestamp = json.find("timestamp");
    const auto name = json.find("signalOrException");
    const auto message = json.find("message");
    if (timestamp == json.end() || !timestamp->is_number() || name == json.end() || !name->is_string() ||
        message == json.end() || !message->is_string()) {
        return std::nullopt;
    }
    CrashMarker marker{timestamp->get<double>(), name->get<std::string>(), message->get<std::string>(), std::nullopt};
    if (const auto session = json.find("sessionId"); session != json.end()) {
        if (!session->is_string()) {
            return std::nullopt;
        }
        marker.sessionId = session->get<std::string>();
    }
    return marker;
}

CrashMarkerWriter::CrashMarkerWriter(std::filesystem::path markerPath)
    : path_(std::move(markerPath)), pathText_(path_.string()), buffer_(std::make_unique<char[]>(kBufferSize)) {}

bool CrashMarkerWriter::write(double unixTimestamp, std::string_view signalOrException, std::string_view message,
                              std::string_view sessionId) noexcept {
    static constexpr std::string_view kClose = "\"}";
    static constexpr std::string_view kSessionKey = "\",\"sessionId\":\"";
    FixedAppender out(buffer_.get(), kBufferSize);
    out.raw("{\"timestamp\":");
    out.number(unixTimestamp);
    out.raw(",\"signalOrException\":\"");
    // Each text may use the room left minus what the later fields need at least; the message gets what the
    // name leaves, minus a share kept for the session id.
    out.escaped(signalOrException, 1024 + 512);
    out.raw("\",\"message\":\"");
    out.escaped(message, 512);
    out.raw(kSessionKey);
    out.escaped(sessionId, kClose.size());
    out.raw(kClose);
    length_ = out.length();

    // Never through a link, and never waiting for a reader of a FIFO planted at the path.
    const int fd = ::open(pathText_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const bool written = platform::writeAll(fd, buffer_.get(), length_);
    ::fsync(fd);
    ::close(fd);
    return written;
}

bool CrashMarkerWriter::write(const CrashMarker& marker) noexcept {
    return write(marker.timestamp, marker.signalOrException, marker.message,
                 marker.sessionId ? std::string_view(*marker.sessionId) : std::string_view());
}

double CrashMarkerWriter::currentUnixTime() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace corvantesk
