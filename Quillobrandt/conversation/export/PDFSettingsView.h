#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <vector>

#include "Quillobrandt/app/FocusReturn.h"
#include "Quillobrandt/conversation/export/PDFSettings.h"
#include "Quillobrandt/store/Conversation.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QWidget;

namespace quillobrandt {

class AppState;
class GoogleAnalyticsManager;
class PdfExportJob;
struct PdfExportOutcome;

// "PDF Export Settings": scheme, font, page size and layout switches; "Generate PDF" renders on a
// worker into a private temporary file, shows progress in the sheet, then asks where to save it.
// The render belongs to PdfExportJobs: closing the sheet (Cancel, or the conversation going away)
// stops it at its next page and removes its file without waiting for it. Every failure is shown
// as "Failed to Save PDF" with its reason. The sheet is as tall as its content, within the screen;
// beyond that its options scroll.
class PDFSettingsView final : public QDialog {
    Q_OBJECT
public:
    // Prints the messages of `conversation` at `positions` (the conversation view's filtered list), read in
    // place: the render gets its own copy only when it starts. `analytics` receives
    // "pdf_export_started"/"pdf_export_completed"; the shared client when null.
    PDFSettingsView(std::shared_ptr<const Conversation> conversation, std::vector<std::uint32_t> positions,
                    AppState* appState, QWidget* parent = nullptr, GoogleAnalyticsManager* analytics = nullptr);
    // Prints `messages`, in their order, for the participants of `conversation`.
    PDFSettingsView(const Conversation& conversation, std::vector<Message> messages, AppState* appState,
                    QWidget* parent = nullptr, GoogleAnalyticsManager* analytics = nullptr);
    ~PDFSettingsView() override;

    // Window-modal sheet over `parent`, shown with open(); deletes itself once closed and idle.
    static PDFSettingsView* openAsSheet(std::shared_ptr<const Conversation> conversation,
                                        std::vector<std::uint32_t> positions, AppState* appState, QWidget* parent,
                                        GoogleAnalyticsManager* analytics = nullptr);
    static PDFSettingsView* openAsSheet(const Conversation& conversation, std::vector<Message> messages,
                                        AppState* appState, QWidget* parent,
                                        GoogleAnalyticsManager* analytics = nullptr);

    // The options as the controls show them now.
    PDFSettings settings() const;
    void setSettings(const PDFSettings& settings);
    QString exportName() const;
    // The messages to print (the conversation view's whole filtered list), as values.
    std::vector<Message> messages() const;
    const std::shared_ptr<const Conversation>& conversation() const { return conversation_; }

    void startGeneration();
    bool isGenerating() const { return isGenerating_; }
    QString progressMessage() const { return progressMessage_; }
    double progressValue() const { return progressValue_; }
    QString percentText() const;
    // The temporary file of the last generation.
    QString temporaryFile() const { return tempPath_; }
    // The render under way, if any.
    std::shared_ptr<PdfExportJob> currentJob() const { return job_; }

    bool isCustomColorPickerShown() const;
    bool isBindingCaptionShown() const;
    bool isUltraDenseCaptionShown() const;

    // For tests: blocks until the render has finished (its hand-over still needs the event loop).
    bool waitForGeneration(int timeoutMs = 60000);

    // The scrolling area that holds the options.
    QScrollArea* optionsArea() const { return options_; }

signals:
    // After the save panel: whether the PDF reached its chosen place.
    void exportFinished(bool saved);

protected:
    void done(int result) override;
    void showEvent(QShowEvent* event) override;

private:
    void updateVisibility();
    void fitToContent();
    void setProgress(const QString& message, double value);
    void finishGeneration(const PdfExportOutcome& outcome, const QString& name, qint64 messageCount);
    void presentSavePanel(const QString& tempPath, const QString& name, qint64 messageCount, qint64 durationMs,
                          qint64 sizeKb);
    void cancelGeneration();
    void showFailure(const QString& reason);
    void pickColor(bool sent);

    std::shared_ptr<const Conversation> conversation_;
    std::vector<std::uint32_t> positions_; // in conversation_->messages
    AppState* appState_;
    GoogleAnalyticsManager* analytics_;

    QColor customSent_;
    QColor customReceived_;
    double fontSize_ = 8.0;
    bool isGenerating_ = false;
    bool closeWhenIdle_ = false;
    QString progressMessage_ = QStringLiteral("Preparing...");
    double progressValue_ = 0.0;
    QString tempPath_;
    std::shared_ptr<PdfExportJob> job_;

    QScrollArea* options_ = nullptr;
    QWidget* optionsContent_ = nullptr;
    QWidget* buttonRow_ = nullptr;
    QComboBox* scheme_ = nullptr;
    QFormLayout* schemeForm_ = nullptr;
    QPushButton* sentButton_ = nullptr;
    QPushButton* receivedButton_ = nullptr;
    QComboBox* font_ = nullptr;
    QComboBox* pageSize_ = nullptr;
    QCheckBox* pageNumbers_ = nullptr;
    QCheckBox* binding_ = nullptr;
    QLabel* bindingCaption_ = nullptr;
    QCheckBox* ultraDense_ = nullptr;
    QLabel* ultraDenseCaption_ = nullptr;
    QPushButton* generate_ = nullptr;
    FocusReturn generateFocus_; // Generate PDF's keyboard, while it renders
    QFrame* progressCard_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QLabel* percentLabel_ = nullptr;
};

// Wires this library into the conversation view: "Export PDF" opens this sheet, and message bubbles
// read pictures through ImageSource (HEIC/HEIF included). Call once at start-up, on the GUI thread.
void installConversationExport(GoogleAnalyticsManager* analytics = nullptr);

} // namespace quillobrandt
