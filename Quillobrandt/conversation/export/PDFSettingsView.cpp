#include "Quillobrandt/conversation/export/PDFSettingsView.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "Quillobrandt/conversation/MessageBubble.h"
#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/ImageSource.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfExportFile.h"
#include "platform/core/Console.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

namespace {

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(ConversationStyle::font(10));
    label->setWordWrap(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, ConversationStyle::secondary(pal.color(QPalette::WindowText)));
    label->setPalette(pal);
    return label;
}

void showSwatch(QPushButton* button, const QColor& color) {
    button->setStyleSheet(QStringLiteral("background-color: %1;").arg(color.name(QColor::HexArgb)));
}

ParticipantNamer namerFor(const AppState& state) {
    ContactNameLookup contacts;
    if (state.hasContactsAccess()) {
        contacts = [](const std::string& handle) { return PermissionManager::contactName(handle); };
    }
    return makeParticipantNamer(state.participantLabels(), contacts);
}

} // namespace

PDFSettingsView::PDFSettingsView(Conversation conversation, std::vector<Message> messages, AppState* appState,
                                 QWidget* parent, GoogleAnalyticsManager* analytics)
    : QDialog(parent), conversation_(std::move(conversation)), messages_(std::move(messages)), appState_(appState),
      analytics_(analytics) {
    const PDFSettings defaults;
    customSent_ = defaults.customSentColor;
    customReceived_ = defaults.customReceivedColor;
    workers_.setMaxThreadCount(1);
    setWindowTitle(QStringLiteral("Quillobrandt"));
    setFixedSize(600, 450);

    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    auto* title = new QLabel(QStringLiteral("PDF Export Settings"), this);
    title->setFont(ConversationStyle::font(13, true));
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);

    auto* schemeBox = new QGroupBox(QStringLiteral("Color Scheme"), this);
    auto* schemeForm = new QFormLayout(schemeBox);
    scheme_ = new QComboBox(schemeBox);
    scheme_->addItem(QStringLiteral("Quillobrandt (Gold/Pink)"), static_cast<int>(PDFColorScheme::quillobrandt));
    scheme_->addItem(QStringLiteral("Professional (Blue/Gray)"), static_cast<int>(PDFColorScheme::professional));
    scheme_->addItem(QStringLiteral("Custom Colors"), static_cast<int>(PDFColorScheme::custom));
    schemeForm->addRow(QStringLiteral("Scheme:"), scheme_);
    customColors_ = new QWidget(schemeBox);
    auto* colorForm = new QFormLayout(customColors_);
    colorForm->setContentsMargins(0, 0, 0, 0);
    sentButton_ = new QPushButton(customColors_);
    receivedButton_ = new QPushButton(customColors_);
    colorForm->addRow(QStringLiteral("Sent Messages:"), sentButton_);
    colorForm->addRow(QStringLiteral("Received Messages:"), receivedButton_);
    schemeForm->addRow(customColors_);
    connect(sentButton_, &QPushButton::clicked, this, [this] { pickColor(true); });
    connect(receivedButton_, &QPushButton::clicked, this, [this] { pickColor(false); });
    column->addWidget(schemeBox);

    auto* typeBox = new QGroupBox(QStringLiteral("Typography"), this);
    auto* typeForm = new QFormLayout(typeBox);
    font_ = new QComboBox(typeBox);
    font_->addItem(QStringLiteral("System"), static_cast<int>(PDFFontStyle::system));
    font_->addItem(QStringLiteral("Helvetica"), static_cast<int>(PDFFontStyle::helvetica));
    font_->addItem(QStringLiteral("Times"), static_cast<int>(PDFFontStyle::times));
    font_->addItem(QStringLiteral("Courier"), static_cast<int>(PDFFontStyle::courier));
    typeForm->addRow(QStringLiteral("Font:"), font_);
    column->addWidget(typeBox);

    auto* pageBox = new QGroupBox(QStringLiteral("Page Layout"), this);
    auto* pageForm = new QFormLayout(pageBox);
    pageSize_ = new QComboBox(pageBox);
    pageSize_->addItem(QStringLiteral("Letter (8.5\" \u00D7 11\")"), static_cast<int>(PDFPageSize::letter));
    pageSize_->addItem(QStringLiteral("A4 (210mm \u00D7 297mm)"), static_cast<int>(PDFPageSize::a4));
    pageSize_->addItem(QStringLiteral("Legal (8.5\" \u00D7 14\")"), static_cast<int>(PDFPageSize::legal));
    pageForm->addRow(QStringLiteral("Page Size:"), pageSize_);
    pageNumbers_ = new QCheckBox(QStringLiteral("Include page numbers"), pageBox);
    binding_ = new QCheckBox(QStringLiteral("Add binding margin (for printing)"), pageBox);
    bindingCaption_ = caption(QStringLiteral("Adds 0.5\" extra margin on left side for book binding."), pageBox);
    ultraDense_ = new QCheckBox(QStringLiteral("Ultra-dense mode (maximum messages per page)"), pageBox);
    ultraDenseCaption_ = caption(QStringLiteral("Maximum density: 7pt font, minimal spacing, 15pt margins. Reduces "
                                                "page count by 30-40%. Great for very long conversations."),
                                 pageBox);
    pageForm->addRow(pageNumbers_);
    pageForm->addRow(binding_);
    pageForm->addRow(bindingCaption_);
    pageForm->addRow(ultraDense_);
    pageForm->addRow(ultraDenseCaption_);
    pageForm->addRow(caption(QStringLiteral("Messages will automatically flow to new pages based on content size."), pageBox));
    column->addWidget(pageBox);

    auto* buttons = new QHBoxLayout();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("pdf_cancel"));
    cancel->setAutoDefault(false);
    generate_ = new QPushButton(QStringLiteral("Generate PDF"), this);
    generate_->setObjectName(QStringLiteral("pdf_generate"));
    generate_->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(generate_);
    column->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(generate_, &QPushButton::clicked, this, &PDFSettingsView::startGeneration);

    progressCard_ = new QWidget(this);
    auto* card = new QVBoxLayout(progressCard_);
    card->setSpacing(16);
    progressLabel_ = new QLabel(progressCard_);
    progressLabel_->setFont(ConversationStyle::font(13, true));
    progressBar_ = new QProgressBar(progressCard_);
    progressBar_->setRange(0, 1000);
    progressBar_->setFixedWidth(400);
    progressBar_->setTextVisible(false);
    percentLabel_ = caption(QString(), progressCard_);
    card->addWidget(progressLabel_);
    card->addWidget(progressBar_);
    card->addWidget(percentLabel_);
    column->addWidget(progressCard_);

    connect(scheme_, &QComboBox::currentIndexChanged, this, &PDFSettingsView::updateVisibility);
    connect(binding_, &QCheckBox::toggled, this, &PDFSettingsView::updateVisibility);
    connect(ultraDense_, &QCheckBox::toggled, this, &PDFSettingsView::updateVisibility);
    showSwatch(sentButton_, customSent_);
    showSwatch(receivedButton_, customReceived_);
    setProgress(progressMessage_, progressValue_);
    updateVisibility();
}

PDFSettingsView::~PDFSettingsView() {
    workers_.waitForDone();
}

PDFSettingsView* PDFSettingsView::openAsSheet(Conversation conversation, std::vector<Message> messages,
                                              AppState* appState, QWidget* parent, GoogleAnalyticsManager* analytics) {
    auto* sheet = new PDFSettingsView(std::move(conversation), std::move(messages), appState, parent, analytics);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->closeWhenIdle_ = true;
    sheet->open();
    return sheet;
}

void PDFSettingsView::done(int result) {
    QDialog::done(result);
    // A sheet opened by openAsSheet goes away once closed, but not under a running render, whose
    // save panel still follows.
    if (closeWhenIdle_ && !isGenerating_) {
        deleteLater();
    }
}

PDFSettings PDFSettingsView::settings() const {
    PDFSettings s;
    s.colorScheme = static_cast<PDFColorScheme>(scheme_->currentData().toInt());
    s.customSentColor = customSent_;
    s.customReceivedColor = customReceived_;
    s.fontStyle = static_cast<PDFFontStyle>(font_->currentData().toInt());
    s.fontSize = fontSize_;
    s.pageSize = static_cast<PDFPageSize>(pageSize_->currentData().toInt());
    s.includePageNumbers = pageNumbers_->isChecked();
    s.addBindingMargin = binding_->isChecked();
    s.ultraDenseMode = ultraDense_->isChecked();
    return s;
}

void PDFSettingsView::setSettings(const PDFSettings& s) {
    scheme_->setCurrentIndex(scheme_->findData(static_cast<int>(s.colorScheme)));
    customSent_ = s.customSentColor;
    customReceived_ = s.customReceivedColor;
    showSwatch(sentButton_, customSent_);
    showSwatch(receivedButton_, customReceived_);
    font_->setCurrentIndex(font_->findData(static_cast<int>(s.fontStyle)));
    pageSize_->setCurrentIndex(pageSize_->findData(static_cast<int>(s.pageSize)));
    pageNumbers_->setChecked(s.includePageNumbers);
    binding_->setChecked(s.addBindingMargin);
    ultraDense_->setChecked(s.ultraDenseMode);
    updateVisibility();
}

QString PDFSettingsView::exportName() const {
    return pdfExportName(conversation_.participants, namerFor(*appState_));
}

bool PDFSettingsView::isCustomColorPickerShown() const { return !customColors_->isHidden(); }
bool PDFSettingsView::isBindingCaptionShown() const { return !bindingCaption_->isHidden(); }
bool PDFSettingsView::isUltraDenseCaptionShown() const { return !ultraDenseCaption_->isHidden(); }

void PDFSettingsView::updateVisibility() {
    customColors_->setVisible(static_cast<PDFColorScheme>(scheme_->currentData().toInt()) == PDFColorScheme::custom);
    bindingCaption_->setVisible(binding_->isChecked());
    ultraDenseCaption_->setVisible(ultraDense_->isChecked());
    progressCard_->setVisible(isGenerating_);
    generate_->setEnabled(!isGenerating_);
}

void PDFSettingsView::pickColor(bool sent) {
    auto* dialog = new QColorDialog(sent ? customSent_ : customReceived_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QColorDialog::ShowAlphaChannel);
    connect(dialog, &QColorDialog::colorSelected, this, [this, sent](const QColor& color) {
        (sent ? customSent_ : customReceived_) = color;
        showSwatch(sent ? sentButton_ : receivedButton_, color);
    });
    dialog->open();
}

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
    const QString name = exportName();
    const QString tempPath = temporaryPdfPath();
    if (tempPath.isEmpty()) {
        platform::consoleLine("Error saving PDF: no private temporary folder is available");
        return;
    }
    tempPath_ = tempPath;
    const PDFSettings settings = this->settings();
    isGenerating_ = true;
    setProgress(QStringLiteral("Preparing..."), 0.0);
    updateVisibility();

    std::vector<Message> exportList = pdfExportMessages(messages_);
    GoogleAnalyticsManager& analytics = analytics_ ? *analytics_ : GoogleAnalyticsManager::shared();
    analytics.trackPDFExportStarted(static_cast<std::int64_t>(exportList.size()), containsImage(exportList),
                                    settings.ultraDenseMode);
    QElapsedTimer started;
    started.start();

    const ParticipantNamer namer = namerFor(*appState_);
    const std::vector<std::string> participants = conversation_.participants;
    workers_.start([this, exportList = std::move(exportList), participants, settings, namer, tempPath, name,
                    started] {
        // The sheet stays alive while this runs (see done()), so posting to it is safe.
        const auto progress = [this](const QString& message, double value) {
            platform::runOnMainQueue(this, [this, message, value] { setProgress(message, value); });
        };
        PDFGenerator::generatePDF(exportList, participants, settings, namer, tempPath, progress);
        const qint64 durationMs = started.elapsed();
        const qint64 sizeKb = fileSizeKilobytes(tempPath);
        const auto count = static_cast<qint64>(exportList.size());
        platform::runOnMainQueue(this, [this, tempPath, name, count, durationMs, sizeKb] {
            presentSavePanel(tempPath, name, count, durationMs, sizeKb);
        });
    });
}

void PDFSettingsView::presentSavePanel(const QString& tempPath, const QString& name, qint64 messageCount,
                                       qint64 durationMs, qint64 sizeKb) {
    isGenerating_ = false;
    updateVisibility();
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
            platform::consoleLine("Error saving PDF: " + error.toStdString());
        }
    }
    emit exportFinished(saved);
    if (saved) {
        accept();
    } else if (closeWhenIdle_ && !isVisible()) {
        deleteLater(); // closed with Cancel while rendering
    }
}

bool PDFSettingsView::waitForGeneration(int timeoutMs) {
    return workers_.waitForDone(timeoutMs);
}

void installConversationExport(GoogleAnalyticsManager* analytics) {
    setPictureReader({[](const QString& path) { return ImageSource::pixelSize(path); },
                      [](const QString& path, QSize target) { return ImageSource::load(path, target); }});
    ConversationDisplayView::setPdfSheetFactory(
        [analytics](const Conversation& conversation, const std::vector<Message>& messages, AppState* appState,
                    QWidget* parent) -> QDialog* {
            return PDFSettingsView::openAsSheet(conversation, messages, appState, parent, analytics);
        });
}

} // namespace quillobrandt
