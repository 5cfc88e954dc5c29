#include "Quillobrandt/store/Logger.h"

#include <cstdlib>
#include <future>
#include <system_error>

#include <unistd.h>

#include "platform/core/AtomicFile.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/Paths.h"
#include "platform/core/SystemInfo.h"

namespace fs = std::filesystem;

namespace quillobrandt {
namespace {

constexpr const char* kMailSubject = "Quillobrandt Logs";
constexpr const char* kAttachmentName = "Quillobrandt-Logs.txt";
// Lines waiting for the writer beyond this many are dropped (and counted): a flood from a stuck loop must not
// grow the program's memory while the disk is slow.
constexpr std::size_t kMaxQueuedLines = 10'000;
// How long a normal exit waits for the lines still queued.
constexpr auto kExitFlushWait = std::chrono::seconds(2);

std::string formatLine(const std::string& message, Logger::Level level) {
    return formatLogLine(message, Logger::levelText(level), Logger::maxLineLength);
}

} // namespace

Logger& Logger::shared() {
    // Never destroyed: worker threads may still log while the process exits.
    static Logger* instance = [] {
        auto* logger = new Logger(platform::appSupportDir() / "Quillobrandt");
        logger->logStartupInfo();
        static const pid_t creator = ::getpid();
        // The last lines of a run say how it ended; a forked child that exits must not write its copy of them.
        std::atexit([] {
            if (::getpid() == creator) {
                instance->onWriter([] {}, kExitFlushWait);
            }
        });
        return logger;
    }();
    return *instance;
}

Logger::Logger(fs::path logFolder)
    : folder_(std::move(logFolder)), mailer_(makeDesktopSupportMailer()),
      supportAddress_(platform::bundleSupportEmail()), files_(folder_, maxLogSize, logFileName, oldLogFileName),
      writer_("log writer") {}

Logger::~Logger() = default; // the writer is joined first, once it has written what is queued

fs::path Logger::logFileURL() const {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    return folder_ / logFileName;
}

fs::path Logger::oldLogFileURL() const {
    return folder_ / oldLogFileName;
}

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
    // One piece, so that no other line comes between its lines.
    enqueue(formatLine("=== Quillobrandt Started ===", Level::info) +
                formatLine("App Version: " + bundleText("CFBundleShortVersionString") + " (" +
                               bundleText("CFBundleVersion") + ")",
                           Level::info) +
                formatLine("OS Version: " + platform::osPrettyName(), Level::info) +
                formatLine("===========================", Level::info),
            LogFiles::Carry::banner);
}

void Logger::log(const std::string& message, Level level) {
    enqueue(formatLine(message, level), LogFiles::Carry::none);
}

void Logger::logCurrentFile(const std::string& message) {
    enqueue(formatLine(message, Level::info), LogFiles::Carry::currentFile);
}

void Logger::enqueue(std::string text, LogFiles::Carry carry) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= kMaxQueuedLines) {
            ++dropped_;
            return;
        }
        queue_.push_back({std::move(text), carry});
        if (writerWoken_) {
            return; // the writer will take this line with the others
        }
        writerWoken_ = true;
    }
    writer_.post([this](std::stop_token) { writeQueued(); });
}

void Logger::writeQueued() const {
    std::vector<QueuedLine> lines;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        lines.swap(queue_);
        dropped = std::exchange(dropped_, 0);
        writerWoken_ = false;
    }
    for (const auto& line : lines) {
        files_.append(line.text, line.carry);
    }
    if (dropped > 0) {
        files_.append(formatLine("⚠️ " + std::to_string(dropped) +
                                     " lines were logged faster than the disk took them "
                                     "and were left out",
                                 Level::warning),
                      LogFiles::Carry::none);
    }
}

void Logger::flush() {
    onWriter([] {});
}

void Logger::onWriter(const std::function<void()>& task, std::optional<std::chrono::milliseconds> wait) const {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    const bool posted = writer_.post([this, task, done](std::stop_token) {
        writeQueued();
        task();
        done->set_value();
    });
    if (!posted) {
        return; // only while the logger is destroyed, which writes what is queued anyway
    }
    if (wait) {
        finished.wait_for(*wait);
    } else {
        finished.wait();
    }
}

void Logger::rotateLogIfNeeded() {
    onWriter([this] { files_.rotateIfNeeded(); });
}

std::string Logger::getAllLogs() const {
    // Read on the writer, after what is queued: every line logged before the call, and no rotation under the read.
    std::string text;
    onWriter([this, &text] { text = files_.readAll(); });
    return text;
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
        const std::string body = "User " + fullName + " is having some issues. Please review the logs.\n\n" + logs;
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
