#include "Quillobrandt/store/Logger.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/AbsoluteTime.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/Paths.h"
#include "platform/core/SystemInfo.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

constexpr const char* kMailSubject = "Quillobrandt Logs";
constexpr const char* kAttachmentName = "Quillobrandt-Logs.txt";

bool isValidUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
        } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (extra > text.size() - i - 1) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> readUtf8(const fs::path& file) {
    auto content = platform::readFile(file);
    if (!content || !isValidUtf8(*content)) {
        return std::nullopt;
    }
    return content;
}

} // namespace

namespace {

// Where a message longer than the line limit is cut: never inside a UTF-8 character, or the log would no longer
// read as text.
std::size_t cutPoint(const std::string& message) {
    std::size_t cut = std::min(message.size(), Logger::maxLineLength);
    while (cut > 0 && cut < message.size() && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

std::string formatLine(const std::string& message, Logger::Level level) {
    // Appended piece by piece: GCC 12 at -O3 misreads `"[" + std::string&&` as an overlapping copy (-Wrestrict).
    std::string line = "[";
    line += platform::formatIso8601(platform::AbsoluteTime::now());
    line += "] [";
    line += Logger::levelText(level);
    line += "] ";
    // A tool's answer of megabytes must not become one line of the same size in a log of a few kilobytes.
    const std::size_t kept = message.size() > Logger::maxLineLength ? cutPoint(message) : message.size();
    line.append(message, 0, kept);
    if (kept < message.size()) {
        line += "… (" + std::to_string(message.size() - kept) + " more bytes)";
    }
    line += '\n';
    return line;
}

} // namespace

Logger& Logger::shared() {
    // Never destroyed: worker threads may still log while the process exits.
    static Logger* instance = [] {
        auto* logger = new Logger(platform::appSupportDir() / "Quillobrandt");
        logger->logStartupInfo();
        return logger;
    }();
    return *instance;
}

Logger::Logger(fs::path logFolder)
    : folder_(std::move(logFolder)), mailer_(makeDesktopSupportMailer()), supportAddress_(platform::bundleSupportEmail()) {}

fs::path Logger::logFileURL() const {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    return folder_ / logFileName;
}

fs::path Logger::oldLogFileURL() const { return folder_ / oldLogFileName; }

const char* Logger::levelText(Level level) {
    switch (static_cast<int>(level)) {
    case 0:
        return "INFO";
    case 1:
        return "WARNING";
    default:
        return "ERROR";
    }
}

void Logger::logStartupInfo() {
    auto bundleText = [](const char* key) {
        auto value = platform::bundleInfoValue(key);
        return value && !value->empty() ? *value : std::string("Unknown");
    };
    std::lock_guard lock(mutex_);
    log("=== Quillobrandt Started ===", Level::info);
    log("App Version: " + bundleText("CFBundleShortVersionString") + " (" + bundleText("CFBundleVersion") + ")",
        Level::info);
    log("OS Version: " + platform::osPrettyName(), Level::info);
    log("===========================", Level::info);
}

void Logger::log(const std::string& message, Level level) {
    const std::string line = formatLine(message, level);
    // One lock around rotation and append, so a line is never split or lost when threads log at once.
    std::lock_guard lock(mutex_);
    if (rotateLocked()) {
        writeLineLocked(line);
    }
}

void Logger::rotateLogIfNeeded() {
    std::lock_guard lock(mutex_);
    rotateLocked();
}

bool Logger::rotateLocked() {
    const fs::path current = folder_ / logFileName;
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size < static_cast<off_t>(maxLogSize)) {
        return true; // nothing to rotate; anything but a file there is refused when the line is written
    }
    std::error_code ec;
    fs::remove(oldLogFileURL(), ec);
    fs::rename(current, oldLogFileURL(), ec);
    if (ec) {
        return false; // a full log that cannot be moved aside must not grow without end: drop lines instead
    }
    // Written directly, never through log(): rotation must not start another rotation.
    writeLineLocked(formatLine(std::string("Log rotated - previous log saved as ") + oldLogFileName, Level::info));
    return true;
}

void Logger::writeLineLocked(const std::string& line) {
    const fs::path file = logFileURL();
    // Non-blocking and without following links, then only a regular file: a FIFO planted at the log's path would
    // otherwise hold the program at its first line until someone reads it.
    platform::FileDescriptor fd(
        ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return; // the line is dropped; logging never fails its caller
    }
    for (std::size_t written = 0; written < line.size();) {
        const ssize_t n = ::write(fd.get(), line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

std::string Logger::getAllLogs() const {
    std::lock_guard lock(mutex_);
    std::string text;
    if (auto current = readUtf8(folder_ / logFileName)) {
        text += "=== Current Log ===\n" + *current + "\n";
    }
    if (auto previous = readUtf8(oldLogFileURL())) {
        text += "\n=== Previous Log ===\n" + *previous + "\n";
    }
    return text.empty() ? std::string("No logs available") : text;
}

void Logger::emailLogsToSupport() {
    const std::string fullName = platform::userFullName();
    // The logs name the user's files and people: the shared temporary folder would show them to everyone.
    const fs::path privateFolder = platform::privateTempDir();
    const fs::path attachment = privateFolder / kAttachmentName;
    const std::string logs = getAllLogs();
    // Decide on what was written now, not on whether some older file happens to lie there.
    const bool attachmentWritten = !privateFolder.empty() && platform::writeFileAtomically(attachment, logs, 0600);

    std::unique_lock lock(mutex_);
    const std::shared_ptr<SupportMailer> mailer = mailer_;
    const std::string address = supportAddress_;
    lock.unlock();
    if (mailer == nullptr) {
        return;
    }

    if (!attachmentWritten) {
        const std::string body =
            "User " + fullName + " is having some issues. Please review the logs.\n\n" + logs;
        const std::string url = supportMailtoUrl(address, body);
        if (!mailer->openUrl(url)) {
            mailer->showManualInstructions(address, logFileURL());
        }
        return;
    }
    const std::string text = "User " + fullName + " is having some issues. Please review the attached logs.";
    if (mailer->composeWithAttachment(address, kMailSubject, text, attachment)) {
        return;
    }
    // No mail composer on this desktop: offer the link, and failing that, tell the user what to send where.
    const std::string url = supportMailtoUrl(address, text + "\n\nLog file: " + attachment.string());
    if (!mailer->openUrl(url)) {
        mailer->showManualInstructions(address, attachment);
    }
}

void Logger::setSupportMailer(std::unique_ptr<SupportMailer> mailer) {
    std::lock_guard lock(mutex_);
    mailer_ = std::move(mailer);
}

void Logger::setSupportAddress(std::string address) {
    std::lock_guard lock(mutex_);
    supportAddress_ = std::move(address);
}

std::string supportMailtoUrl(const std::string& address, const std::string& body) {
    return "mailto:" + address + "?subject=" + percentEncodeUnreserved(kMailSubject) +
           "&body=" + percentEncodeUnreserved(body);
}

std::string percentEncodeUnreserved(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

} // namespace quillobrandt
