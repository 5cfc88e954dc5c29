#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PDFSettings.h"
#include "Quillobrandt/store/Message.h"

namespace quillobrandt {

// What one export renders, and into which temporary file.
struct PdfExportRequest {
    std::vector<Message> messages;
    std::vector<std::string> participants;
    PDFSettings settings;
    ParticipantNamer namer;
    QString outputPath;
};

struct PdfExportOutcome {
    PDFGenerationResult result;
    qint64 durationMs = 0;
    qint64 sizeKb = 0;
};

// One running render. Its owner is PdfExportJobs, not the dialog that asked for it.
class PdfExportJob {
public:
    explicit PdfExportJob(QString outputPath) : outputPath_(std::move(outputPath)) {}

    // The render stops before its next page and its file is removed; nothing reaches the receiver
    // any more. Never waits. Any thread.
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }

    // Whether the worker is done with it (its outcome may still be on its way to the receiver).
    bool isFinished() const;
    // For tests: blocks until the worker is done with it.
    bool waitUntilFinished(int timeoutMs);
    // Whether the render ended early because it was cancelled.
    bool stoppedEarly() const { return stoppedEarly_; }
    const QString& outputPath() const { return outputPath_; }

private:
    friend class PdfExportJobs;
    void markFinished(bool stoppedEarly);

    const QString outputPath_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> stoppedEarly_{false};
    mutable std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
};

// Runs PDF renders for export dialogs. Lives as long as the application, so that closing a dialog or
// the conversation under it neither waits for a render nor leaves its temporary file behind.
class PdfExportJobs final : public QObject {
    Q_OBJECT
public:
    using Progress = std::function<void(const QString& message, double value)>;
    using Finished = std::function<void(const PdfExportOutcome& outcome)>;

    // The application's instance (a child of the application object). GUI thread.
    static PdfExportJobs& shared();

    explicit PdfExportJobs(QObject* parent = nullptr);
    // Cancels what still runs and waits for the pages being drawn, then removes their files.
    ~PdfExportJobs() override;

    // Starts a render. `progress` and `finished` run on the GUI thread, and only while `receiver` is
    // alive and the job not cancelled. When they no longer apply, a finished job's file is removed here.
    // A written file handed to `finished` belongs to the receiver from then on. GUI thread.
    std::shared_ptr<PdfExportJob> start(PdfExportRequest request, QObject* receiver, Progress progress,
                                        Finished finished);

    // Jobs whose outcome has not been handed over or discarded yet.
    int activeJobs() const { return static_cast<int>(jobs_.size()); }

private:
    void deliver(const std::shared_ptr<PdfExportJob>& job, const QPointer<QObject>& receiver, const Finished& finished,
                 const PdfExportOutcome& outcome);

    std::vector<std::shared_ptr<PdfExportJob>> jobs_;
    QThreadPool pool_; // last: waited for first
};

} // namespace quillobrandt
