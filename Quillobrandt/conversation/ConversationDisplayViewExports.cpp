// The export panels: CSV written by the exporter's worker, the PDF sheet opened through the factory the PDF library
// installs.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QPushButton>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/conversation/CsvExport.h"
#include "Quillobrandt/conversation/CsvExporter.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

namespace {

ConversationDisplayView::PdfSheetFactory& pdfSheetFactory() {
    static ConversationDisplayView::PdfSheetFactory factory;
    return factory;
}

// The end of a CSV export, whether or not its conversation is still open: a failure is shown, a success counted.
void reportCsvOutcome(const CsvExportResult& result, int messageCount, GoogleAnalyticsManager& analytics) {
    if (!result.saved) {
        platform::alertPresenter()->runModal(
            platform::criticalAlert(QStringLiteral("Failed to Export CSV"), result.error));
        return;
    }
    analytics.trackEvent("csv_export_completed", {{"message_count", messageCount}});
}

} // namespace

void ConversationDisplayView::setPdfSheetFactory(PdfSheetFactory factory) {
    pdfSheetFactory() = std::move(factory);
}

// ---- export panels ----

void ConversationDisplayView::presentCSVPanel() {
    if (exportingCsv_) {
        return;
    }
    // An empty file helps nobody: say so before asking where to put it.
    if (countCsvRows(model_.conversation().messages, model_.filteredIndices()) == 0) {
        platform::AlertRequest alert;
        alert.messageText = QStringLiteral("Nothing to Export");
        alert.informativeText = model_.enableDateFilter() ? model_.noMessagesInRangeText() + QLatin1Char('.')
                                                          : QStringLiteral("There are no messages to export.");
        alert.style = platform::AlertStyle::informational;
        platform::alertPresenter()->runModal(alert);
        return;
    }
    platform::SavePanelRequest request;
    request.suggestedName = defaultCsvFileName(participantNames());
    request.nameFilters = {QStringLiteral("CSV (*.csv)")};
    request.defaultSuffix = QStringLiteral("csv");
    const auto chosen = platform::panelPresenter()->chooseSaveLocation(request);
    if (!chosen) {
        return;
    }
    exportingCsv_ = true;
    csvFocus_.disableKeeping(*csvButton_, [this] { refreshHeader(); });
    QPointer<ConversationDisplayView> self(this);
    const int messageCount = model_.filteredCount();
    // The application's analytics when the view has none of its own; both outlive the export.
    GoogleAnalyticsManager* analytics = analytics_ ? analytics_ : &GoogleAnalyticsManager::shared();
    CsvExporter::forState(appState_)->start(
        std::filesystem::path(chosen->toStdString()), model_.sharedConversation(), model_.filteredIndices(),
        labelLookupFrom(appState_->participantLabels(), model_.conversation().participants),
        [self, messageCount, analytics](const CsvExportResult& result) {
            // The conversation may have been closed meanwhile; the file was still written to its end, or not at
            // all, and the user hears which.
            if (self) {
                self->finishCsvExport();
            }
            reportCsvOutcome(result, messageCount, *analytics);
        });
}

void ConversationDisplayView::finishCsvExport() {
    exportingCsv_ = false;
    refreshHeader();
    csvFocus_.giveBack();
}

void ConversationDisplayView::exportPDF() {
    const auto& factory = pdfSheetFactory();
    if (!factory) {
        platform::consoleLine("PDF export is not available in this build");
        return;
    }
    factory(model_.sharedConversation(), model_.filteredIndices(), appState_, this);
}

} // namespace quillobrandt
