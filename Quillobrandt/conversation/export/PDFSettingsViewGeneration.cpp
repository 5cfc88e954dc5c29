// The PDF sheet's export run: rendering on the export jobs' thread, its progress, the save panel and the outcome.
#include "Quillobrandt/conversation/export/PDFSettingsView.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cmath>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfExportFile.h"
#include "Quillobrandt/conversation/export/PdfExportJobs.h"
#include "platform/core/Console.h"
#include "platform/core/Paths.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

QString PDFSettingsView::percentText() const {
    return QString::number(static_cast<int>(progressValue_ * 100)) + QLatin1Char('%');
}

void PDFSettingsView::setProgress(const QString& message, double value) {
    progressMessage_ = message;
    progressValue_ = value;
    progressLabel_->setText(message);
    progressBar_->setValue(static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 1000)));
    percentLabel_->setText(percentText());
}

void PDFSettingsView::startGeneration() {
    if (isGenerating_) {
        return;
    }
    // An empty document helps nobody: say so, before any file is made or a place is asked for.
    const auto printed = [this](std::uint32_t position) {
        if (position >= conversation_->messages.size()) {
            return false;
        }
        const Message& message = conversation_->messages[position];
        return !message.associatedMessageGUID && PDFGenerator::isPrintable(message);
    };
    if (std::none_of(positions_.begin(), positions_.end(), printed)) {
        platform::consoleLine("PDF export: there are no messages to export");
        platform::AlertRequest alert;
        alert.messageText = QStringLiteral("Nothing to Export");
        alert.informativeText = QStringLiteral("There are no messages to export.");
        alert.style = platform::AlertStyle::informational;
        alert.buttons = {QStringLiteral("OK")};
        platform::alertPresenter()->runModal(alert);
        emit exportFinished(false);
        return;
    }
    const QString name = exportName();
    const QString tempPath = temporaryPdfPath();
    if (tempPath.isEmpty()) {
        showFailure(QStringLiteral("There is no private temporary folder to render the PDF in (%1).")
                        .arg(QString::fromStdString(platform::tempDir().string())));
        emit exportFinished(false);
        return;
    }
    tempPath_ = tempPath;
    const PDFSettings settings = this->settings();
    isGenerating_ = true;
    setProgress(QStringLiteral("Preparing..."), 0.0);
    generateFocus_.disableKeeping(*generate_, [this] { updateVisibility(); });

    PdfExportRequest request;
    // The render runs on another thread and may outlive this sheet: it gets messages of its own.
    request.messages = pdfExportMessages(conversation_->messages, positions_);
    request.participants = conversation_->participants;
    request.settings = settings;
    request.namer = participantNamerFor(*appState_, conversation_->participants);
    request.outputPath = tempPath;
    const auto count = static_cast<qint64>(request.messages.size());
    GoogleAnalyticsManager& analytics = analytics_ ? *analytics_ : GoogleAnalyticsManager::shared();
    analytics.trackPDFExportStarted(count, containsImage(request.messages), settings.ultraDenseMode);

    job_ = PdfExportJobs::shared().start(
        std::move(request), this, [this](const QString& message, double value) { setProgress(message, value); },
        [this, name, count](const PdfExportOutcome& outcome) { finishGeneration(outcome, name, count); });
}

void PDFSettingsView::cancelGeneration() {
    if (!job_) {
        return;
    }
    job_->cancel();
    job_.reset();
    isGenerating_ = false;
    updateVisibility();
}

void PDFSettingsView::finishGeneration(const PdfExportOutcome& outcome, const QString& name, qint64 messageCount) {
    job_.reset();
    isGenerating_ = false;
    updateVisibility();
    generateFocus_.giveBack(); // before the alert or the save panel, which hand the keyboard back to it when they close
    if (!outcome.result.written) {
        // Nothing to save: the job has already removed what it wrote.
        showFailure(outcome.result.error.isEmpty() ? QStringLiteral("The PDF could not be rendered.")
                                                   : outcome.result.error);
        emit exportFinished(false);
        return;
    }
    presentSavePanel(tempPath_, name, messageCount, outcome.durationMs, outcome.sizeKb);
}

void PDFSettingsView::showFailure(const QString& reason) {
    platform::consoleLine("Error saving PDF: " + reason.toStdString());
    platform::alertPresenter()->runModal(platform::criticalAlert(
        QStringLiteral("Failed to Save PDF"), QStringLiteral("An error occurred while saving the PDF:\n\n") + reason));
}

void PDFSettingsView::presentSavePanel(const QString& tempPath, const QString& name, qint64 messageCount,
                                       qint64 durationMs, qint64 sizeKb) {
    platform::SavePanelRequest request;
    request.suggestedName = name + QStringLiteral(".pdf");
    request.nameFilters = {QStringLiteral("PDF (*.pdf)")};
    request.defaultSuffix = QStringLiteral("pdf");
    const auto chosen = platform::panelPresenter()->chooseSaveLocation(request);
    bool saved = false;
    if (!chosen) {
        QFile::remove(tempPath);
    } else {
        QString error;
        if (moveFinishedPdf(tempPath, *chosen, &error)) {
            saved = true;
            GoogleAnalyticsManager& analytics = analytics_ ? *analytics_ : GoogleAnalyticsManager::shared();
            analytics.trackEvent("pdf_export_completed", {{"message_count", messageCount},
                                                          {"page_count", 0},
                                                          {"duration_ms", durationMs},
                                                          {"file_size_kb", sizeKb}});
        } else {
            // The document never reached its place; it is not left in the temporary folder either.
            QFile::remove(tempPath);
            showFailure(error);
        }
    }
    emit exportFinished(saved);
    if (saved) {
        accept();
    }
}

bool PDFSettingsView::waitForGeneration(int timeoutMs) {
    const auto job = job_;
    return !job || job->waitUntilFinished(timeoutMs);
}

} // namespace quillobrandt
