#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Quillobrandt/store/LogFiles.h"
#include "platform/core/SerialWorker.h"

namespace quillobrandt {

// How the support e-mail is handed to the desktop. The default sends it through xdg-email / xdg-open;
// the application replaces it so the last resort can show a message box, and tests record the calls.
class SupportMailer {
public:
    virtual ~SupportMailer() = default;
    // Opens a new e-mail with the file attached. False when no mail composer is available.
    virtual bool composeWithAttachment(const std::string& recipient, const std::string& subject,
                                       const std::string& body, const std::filesystem::path& attachment) = 0;
    // Opens a URL (a "mailto:" link) with the desktop's handler. False when nothing could open it.
    virtual bool openUrl(const std::string& url) = 0;
    // Last resort: tell the user where to send the file themselves.
    virtual void showManualInstructions(const std::string& supportAddress, const std::filesystem::path& logFile) = 0;
};

// The default: xdg-email for the attachment, xdg-open for a mailto link, a console line otherwise.
std::unique_ptr<SupportMailer> makeDesktopSupportMailer();

// The application's one log file: "quillobrandt.log" and one previous "quillobrandt.old.log" under
// <Application Support>/Quillobrandt. Every call is thread-safe and never reports a failure: a line that
// cannot be written is dropped. Console output is separate and never goes through the Logger.
//
// Threads: log() and logCurrentFile() only format the line (its time is the call's) and queue it; the logger's own
// writer thread appends and rotates, in the order of the calls, so no caller (the GUI thread least of all) ever
// waits on the disk for a line. flush(), rotateLogIfNeeded() and getAllLogs() wait for the writer: they see every
// line logged before them. Never call them from a SupportMailer.
class Logger {
public:
    enum class Level : int { info = 0, warning = 1, error = 2 };

    static constexpr std::int64_t maxLogSize = 4096;
    // The most of one message a line keeps; the rest is left out, with a note of how much.
    static constexpr std::size_t maxLineLength = 1024;
    static constexpr const char* logFileName = "quillobrandt.log";
    static constexpr const char* oldLogFileName = "quillobrandt.old.log";

    // The process-wide logger, created (and its start banner written) on first use. Never destroyed; what is
    // still queued when the process exits normally is written first.
    static Logger& shared();

    // A logger with its own folder, for tests; writes no banner by itself. Its destruction writes what is queued.
    explicit Logger(std::filesystem::path logFolder);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The current log's path; creates the log folder first (a failure is ignored).
    std::filesystem::path logFileURL() const;
    // The previous log's path; creates nothing.
    std::filesystem::path oldLogFileURL() const;

    // The four banner lines; each later log file begins with them too.
    void logStartupInfo();
    void log(const std::string& message, Level level = Level::info);
    // For callers holding a raw level number: 0 info, 1 warning, anything else error.
    void log(const std::string& message, int level) { log(message, static_cast<Level>(level)); }
    // Logs a line at level info that names the database being read; each later log file begins with it (after the
    // banner) until the next such line replaces it.
    void logCurrentFile(const std::string& message);
    // Blocks until every line logged before the call is in the files.
    void flush();
    void rotateLogIfNeeded();
    std::string getAllLogs() const;
    void emailLogsToSupport();

    void setSupportMailer(std::unique_ptr<SupportMailer> mailer);
    void setSupportAddress(std::string address);

    static const char* levelText(Level level);

private:
    struct QueuedLine {
        std::string text;
        LogFiles::Carry carry;
    };

    void enqueue(std::string text, LogFiles::Carry carry);
    // Runs on the writer thread: appends what is queued.
    void writeQueued() const;
    // Runs `task` on the writer thread once every line queued so far is written, and waits for it to end (at most
    // `wait`, when given).
    void onWriter(const std::function<void()>& task, std::optional<std::chrono::milliseconds> wait = {}) const;

    const std::filesystem::path folder_;
    // Guards the members below it up to the files. The queue is written out by const readers too (getAllLogs()
    // reads after it), hence mutable.
    mutable std::mutex mutex_;
    std::shared_ptr<SupportMailer> mailer_; // shared: a mail in progress keeps its mailer if it is replaced
    std::string supportAddress_;
    mutable std::vector<QueuedLine> queue_;
    mutable bool writerWoken_ = false; // a writeQueued() is posted and has not taken the queue yet
    mutable std::size_t dropped_ = 0;  // lines refused since the queue was last taken, because it was full

    mutable LogFiles files_;                  // writer thread only
    mutable platform::OnDemandWorker writer_; // last: joined first, while what its tasks use still exists
};

// The support e-mail as a "mailto:" link with the logs' subject and `body`, every reserved character encoded.
std::string supportMailtoUrl(const std::string& address, const std::string& body);

// Percent-encodes every byte outside RFC 3986's unreserved set (A-Z a-z 0-9 - . _ ~).
std::string percentEncodeUnreserved(const std::string& text);

} // namespace quillobrandt
