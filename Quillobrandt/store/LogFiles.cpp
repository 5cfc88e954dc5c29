#include "Quillobrandt/store/LogFiles.h"

#include <optional>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/AbsoluteTime.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Utf8Text.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

std::optional<std::string> readUtf8(const fs::path& file) {
    auto content = platform::readFile(file);
    if (!content || !platform::utf8::isValid(*content)) {
        return std::nullopt;
    }
    return content;
}

} // namespace

std::string formatLogLine(const std::string& message, const char* levelText, std::size_t maxLength) {
    // Appended piece by piece: GCC 12 at -O3 misreads `"[" + std::string&&` as an overlapping copy (-Wrestrict).
    std::string line = "[";
    line += platform::formatIso8601(platform::AbsoluteTime::now());
    line += "] [";
    line += levelText;
    line += "] ";
    // Bytes that are no UTF-8 (a folder name in another encoding, a hostile database's error text) would leave the
    // whole file unreadable as text, and the logs mailed to support empty: each ill-formed run becomes U+FFFD.
    const std::string valid = platform::utf8::toValid(message);
    // A tool's answer of megabytes must not become one line of the same size in a log of a few kilobytes; the cut
    // falls between characters.
    const std::string_view kept = platform::utf8::prefixBytes(valid, maxLength);
    line += kept;
    if (kept.size() < valid.size()) {
        line += "… (" + std::to_string(valid.size() - kept.size()) + " more bytes)";
    }
    line += '\n';
    return line;
}

LogFiles::LogFiles(fs::path folder, std::int64_t maxSize, std::string currentName, std::string previousName)
    : folder_(std::move(folder)), maxSize_(maxSize), currentName_(std::move(currentName)),
      previousName_(std::move(previousName)) {}

void LogFiles::append(const std::string& line, Carry carry) {
    if (!rotate()) {
        return;
    }
    write(line);
    if (carry == Carry::banner) {
        banner_ = line;
    } else if (carry == Carry::currentFile) {
        currentFile_ = line;
    }
}

void LogFiles::rotateIfNeeded() {
    rotate();
}

bool LogFiles::rotate() {
    const fs::path current = currentPath();
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(maxSize_)) {
        return true; // nothing to rotate; anything but a file there is refused when the line is written
    }
    std::error_code ec;
    fs::remove(previousPath(), ec);
    fs::rename(current, previousPath(), ec);
    if (ec) {
        return false; // a full log that cannot be moved aside must not grow without end: drop lines instead
    }
    // Written directly, never through append(): rotation must not start another rotation.
    write(formatLogLine("Log rotated - previous log saved as " + previousName_, "INFO", 1024) + banner_ + currentFile_);
    return true;
}

bool LogFiles::holdCurrentFile() {
    const fs::path file = currentPath();
    struct stat atPath {};
    struct stat held {};
    if (file_ && ::lstat(file.c_str(), &atPath) == 0 && ::fstat(file_.get(), &held) == 0 &&
        atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino) {
        return true;
    }
    file_.close(); // rotated, removed or replaced since: the lines go where the log now is
    std::error_code ec;
    fs::create_directories(folder_, ec); // a failure shows when the file cannot be opened
    // Non-blocking and without following links, then only a regular file: a FIFO planted at the log's path would
    // otherwise hold the writer at its first line until someone reads it.
    platform::FileDescriptor fd(
        ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    file_ = std::move(fd);
    return true;
}

void LogFiles::write(const std::string& line) {
    if (!holdCurrentFile()) {
        return; // the line is dropped; logging never fails its caller
    }
    for (std::size_t written = 0; written < line.size();) {
        const ssize_t n = ::write(file_.get(), line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

std::string LogFiles::readAll() const {
    std::string text;
    if (auto current = readUtf8(currentPath())) {
        text += "=== Current Log ===\n" + *current + "\n";
    }
    if (auto previous = readUtf8(previousPath())) {
        text += "\n=== Previous Log ===\n" + *previous + "\n";
    }
    return text.empty() ? std::string("No logs available") : text;
}

} // namespace quillobrandt
