// The extraction from the extract screen: a worker runs the pipeline, its reports come back to the wizard on the GUI
// thread, and its result becomes AppState's history (or its failure the wizard's alert).
#include <QCoreApplication>
#include <QDate>
#include <QLocale>
#include <QPointer>
#include <QSizeF>
#include <QThreadPool>

#include <chrono>
#include <future>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/LoadedHistory.h"
#include "Quillobrandt/wizard/ExtractionPipeline.h"
#include "Quillobrandt/wizard/UnsavedExtractions.h"
#include "Quillobrandt/wizard/WizardLog.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"
#include "platform/core/Console.h"
#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/NotificationHub.h"
#include "platform/qt/PlatformServices.h"
#include "platform/qt/SecurityScope.h"

namespace quillobrandt {

using wizard::logError;
using wizard::logInfo;

void iPhoneBackupWizardView::extractMessagesAction() {
    currentStepNumber_ = 4;
    startExtraction();
}

namespace {

QThreadPool& extractionWorkers() {
    // Owned by the application object, so quitting waits for a stopped run to clean up after itself, while
    // closing a wizard never waits for its run.
    static QPointer<QThreadPool> pool;
    if (pool == nullptr) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(4);
    }
    return *pool;
}

} // namespace

void iPhoneBackupWizardView::startExtraction() {
    if (!detectedBackupPath_) {
        logError("No backup path detected");
        presentError(QStringLiteral("No backup found. Please create a backup with idevicebackup2 first."));
        return;
    }
    if (isExtracting_ || (backupNeedsPassword_ && backupPassword_.isEmpty())) {
        return;
    }
    isExtracting_ = true;
    extractionProgress_ = 0.0;
    extractionMessage_ = QStringLiteral("Starting extraction from backup...");
    auto stop = std::make_shared<std::atomic<bool>>(false);
    runningExtraction_ = RunningExtraction{stop, appState_.beginLoad(), true};
    refresh();
    logInfo("🔄 Starting extraction from: " + detectedBackupPath_->string());

    const std::filesystem::path backup = *detectedBackupPath_;
    // Taken now: later edits of the field do not reach this extraction.
    auto password = std::make_shared<std::string>(backupNeedsPassword_ ? backupPassword_.toStdString() : std::string());
    QPointer<iPhoneBackupWizardView> self(this);
    platform::SerialWorker::Poster loader = appState_.historyLoader().poster();
    extractionWorkers().start([self, backup, password, stop, loader] {
        platform::ThreadSignalStack signalStack;
        // Reports reach the wizard only while it is open and the run was not cancelled; the application object
        // is the context because the wizard may go away while the run goes on.
        const auto deliver = [self, stop](const std::function<void(iPhoneBackupWizardView&)>& work) {
            if (self && !stop->load()) {
                work(*self);
            }
        };
        const auto post = [deliver](std::function<void(iPhoneBackupWizardView&)> work) {
            platform::runOnMainQueue([deliver, work = std::move(work)] { deliver(work); });
        };
        ExtractionReport report;
        report.progress = [post](const std::string& message, double progress) {
            post([text = QString::fromStdString(message), progress](auto& view) { view.setProgress(text, progress); });
        };
        report.delayedProgress = [post, deliver](const std::string& message, double progress, int delayMs) {
            // Shown only while no later line came: a run that got further (or finished) keeps its own line.
            post([deliver, text = QString::fromStdString(message), progress, delayMs](auto& view) {
                const std::uint64_t seen = view.progressReports_;
                platform::runOnMainQueueAfter(std::chrono::milliseconds(delayMs), &view,
                                              [deliver, text, progress, seen] {
                                                  deliver([&text, progress, seen](auto& late) {
                                                      if (late.progressReports_ == seen) {
                                                          late.setProgress(text, progress);
                                                      }
                                                  });
                                              });
            });
        };
        report.setIsIPhoneBackup = [post](bool value) {
            post([value](auto& view) {
                if (view.runningExtraction_) {
                    view.runningExtraction_->isIPhoneBackup = value;
                }
            });
        };
        report.extractionFailed = [post](const std::string& description) {
            post([text = QString::fromStdString(description)](auto& view) { view.showExtractionError(text); });
        };
        report.loadFailed = [post](const std::string& description) {
            post([text = QString::fromStdString(description)](auto& view) { view.showLoadError(text); });
        };
        report.loaded = [self, stop, loader](std::vector<Conversation> conversations,
                                             const std::filesystem::path& database) {
            auto shared = std::make_shared<std::vector<Conversation>>(std::move(conversations));
            platform::runOnMainQueue([self, stop, shared, database, loader] {
                if (self && !stop->load()) {
                    self->applyExtractedConversations(std::move(*shared), database);
                    return;
                }
                // Cancelled after the worker's last look at the flag: nobody will use the folder or the list.
                discardHistory(std::move(*shared), loader);
                const auto folder = database.parent_path();
                extractionWorkers().start([folder] {
                    platform::ThreadSignalStack signalStack;
                    removeExtractionFolder(folder);
                });
            });
        };
        report.loadFinished = [post] { post([](auto& view) { view.stopBackupResourceAccess(); }); };
        report.runLoad = [loader](const std::function<void(std::stop_token)>& load) {
            // The history is read where every history is read; this worker waits for it.
            auto done = std::make_shared<std::promise<void>>();
            auto finished = done->get_future();
            const bool queued = loader([&load, done](std::stop_token stop) {
                // Set however the load ends, so the worker never waits for nothing.
                struct Finish {
                    std::promise<void>& promise;
                    ~Finish() { promise.set_value(); }
                } finish{*done};
                load(std::move(stop));
            });
            if (queued) {
                finished.wait();
            }
        };
        performExtraction(backup, *password, report, stop.get());
        std::fill(password->begin(), password->end(), '\0');
    });
}

void iPhoneBackupWizardView::cancelExtraction() {
    if (!runningExtraction_) {
        return;
    }
    logInfo("🛑 Extraction cancelled");
    runningExtraction_->stop->store(true);
    endRunningExtraction();
}

void iPhoneBackupWizardView::endRunningExtraction() {
    if (runningExtraction_) {
        runningExtraction_.reset();
        appState_.endLoad();
    }
}

void iPhoneBackupWizardView::setProgress(const QString& message, double progress) {
    ++progressReports_;
    extractionMessage_ = message;
    extractionProgress_ = progress;
    refresh();
}

void iPhoneBackupWizardView::applyExtractedConversations(std::vector<Conversation> conversations,
                                                         const std::filesystem::path& database) {
    const auto folder = database.parent_path();
    const bool newest = runningExtraction_ && appState_.isNewestLoad(runningExtraction_->ticket);
    const bool picturesMissing = !runningExtraction_ || runningExtraction_->isIPhoneBackup;
    if (!newest) {
        // A load asked for after this extraction has the last word; nothing of this one is shown or kept.
        logInfo("⏭️ Ignoring an overtaken load of " + database.string());
        appState_.discardConversations(std::move(conversations));
        extractionWorkers().start([folder] {
            platform::ThreadSignalStack signalStack;
            removeExtractionFolder(folder);
        });
        endRunningExtraction();
        isExtracting_ = false;
        refresh();
        return;
    }
    platform::consoleLine("⏱️ Setting appState.conversations = " + std::to_string(conversations.size()) +
                          " conversations...");
    const bool found = !conversations.empty();
    // The extraction's folder is the attachment base, also for an edited copy saved from it later.
    appState_.commitLoad({database, folder, picturesMissing}, std::move(conversations));
    endRunningExtraction();
    // The loader's last report stops short of the end (the contact names keep the bar's last stretch), and the
    // card stays up under the save dialog: it says the run is over with a full bar.
    setProgress(QStringLiteral("Complete"), 1.0);
    noteUnsavedExtraction(folder); // until the save dialog says otherwise
    if (found) {                   // an empty history keeps the start screen, which says so
        platform::consoleLine("⏱️ Posting ResizeWindow notification...");
        hub_.post(platform::notification::resizeWindow, platform::resizeWindowUserInfo(QSizeF(810, 690)));
        platform::consoleLine("⏱️ ResizeWindow notification posted");
    }
    pendingExtractionPath_ = database;
    saveExtractionName_ =
        QStringLiteral("iPhone Backup ") + QLocale().toString(QDate::currentDate(), QLocale::ShortFormat);
    refresh();
    platform::runOnMainQueueAfter(std::chrono::milliseconds(500), this, [this] { openSaveDialog(); });
}

void iPhoneBackupWizardView::showExtractionError(const QString& description) {
    endRunningExtraction();
    isExtracting_ = false;
    presentError(QStringLiteral("Extraction failed: ") + description);
}

void iPhoneBackupWizardView::showLoadError(const QString& description) {
    endRunningExtraction();
    isExtracting_ = false; // back to the extract screen, as after an extraction error
    presentError(QStringLiteral("Failed to load messages: ") + description);
}

void iPhoneBackupWizardView::stopBackupResourceAccess() {
    if (isAccessingBackupResource_ && detectedBackupPath_) {
        platform::consoleLine("🛑 Stopping security-scoped resource access after extraction");
        platform::securityScope()->stopAccessing(*detectedBackupPath_);
        isAccessingBackupResource_ = false;
    }
}

bool iPhoneBackupWizardView::waitForExtraction(int timeoutMs) {
    return waitForExtractionWorkers(timeoutMs);
}

bool iPhoneBackupWizardView::waitForExtractionWorkers(int timeoutMs) {
    return extractionWorkers().waitForDone(timeoutMs);
}

void iPhoneBackupWizardView::showCompleteScreen() {
    setScreen(BackupWizardScreen::complete);
}

} // namespace quillobrandt
