#include "Quillobrandt/conversation/export/PdfExportJobs.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <chrono>

#include "Quillobrandt/conversation/export/PdfExportFile.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {

bool PdfExportJob::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool PdfExportJob::waitUntilFinished(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return finishedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
}

void PdfExportJob::markFinished(bool stoppedEarly) {
    stoppedEarly_ = stoppedEarly;
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finishedChanged_.notify_all();
}

PdfExportJobs& PdfExportJobs::shared() {
    static QPointer<PdfExportJobs> instance;
    if (!instance) {
        instance = new PdfExportJobs(QCoreApplication::instance());
    }
    return *instance;
}

PdfExportJobs::PdfExportJobs(QObject* parent) : QObject(parent) {
    pool_.setMaxThreadCount(2);
}

PdfExportJobs::~PdfExportJobs() {
    for (const auto& job : jobs_) {
        job->cancel();
    }
    pool_.waitForDone();
    // Outcomes still on their way die with this object: their files go too.
    for (const auto& job : jobs_) {
        QFile::remove(job->outputPath());
    }
}

std::shared_ptr<PdfExportJob> PdfExportJobs::start(PdfExportRequest request, QObject* receiver, Progress progress,
                                                   Finished finished) {
    auto job = std::make_shared<PdfExportJob>(request.outputPath);
    jobs_.push_back(job);
    const QPointer<QObject> target(receiver);
    pool_.start([this, job, target, request = std::move(request), progress = std::move(progress),
                 finished = std::move(finished)] {
        platform::ThreadSignalStack signalStack;
        QElapsedTimer started;
        started.start();
        // Posted through this object: the receiver may be going away on the GUI thread meanwhile, and
        // is only looked at there.
        const auto report = [this, job, target, &progress](const QString& message, double value) {
            if (!progress || job->isCancelled()) {
                return;
            }
            platform::runOnMainQueue(this, [job, target, progress, message, value] {
                if (target && !job->isCancelled()) {
                    progress(message, value);
                }
            });
        };
        PdfExportOutcome outcome;
        outcome.result =
            PDFGenerator::generatePDF(request.messages, request.participants, request.settings, request.namer,
                                      request.outputPath, report, [job] { return job->isCancelled(); });
        outcome.durationMs = started.elapsed();
        if (!outcome.result.written) {
            // Stopped or failed: what reached the file is no document.
            QFile::remove(request.outputPath);
        } else {
            outcome.sizeKb = fileSizeKilobytes(request.outputPath);
        }
        job->markFinished(outcome.result.cancelled);
        // Handed over through this long-lived object, so that a result nobody waits for still gets its
        // file removed.
        platform::runOnMainQueue(this,
                                 [this, job, target, finished, outcome] { deliver(job, target, finished, outcome); });
    });
    return job;
}

void PdfExportJobs::deliver(const std::shared_ptr<PdfExportJob>& job, const QPointer<QObject>& receiver,
                            const Finished& finished, const PdfExportOutcome& outcome) {
    jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
    if (job->isCancelled() || !receiver || !finished) {
        QFile::remove(job->outputPath());
        return;
    }
    finished(outcome);
}

} // namespace quillobrandt
