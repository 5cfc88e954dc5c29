#include "Quillobrandt/conversation/export/PDFSettingsView.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/app/SoftShadow.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "Quillobrandt/conversation/MessageBubble.h"
#include "Quillobrandt/conversation/ParticipantNaming.h"
#include "Quillobrandt/conversation/export/ImageSource.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfExportJobs.h"

namespace quillobrandt {

namespace {

constexpr int kSheetWidth = 600;
constexpr int kStackSpacing = 20;
// Room the window frame takes around the sheet, so that the whole sheet stays on the screen.
constexpr int kSheetFrameAllowance = 48;

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(ConversationStyle::font(10));
    label->setWordWrap(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, ConversationStyle::secondary(pal));
    label->setPalette(pal);
    return label;
}

void showSwatch(QPushButton* button, const QColor& color) {
    button->setStyleSheet(QStringLiteral("background-color: %1;").arg(color.name(QColor::HexArgb)));
}

} // namespace

namespace {

// Every position of `conversation`'s messages, in order.
std::vector<std::uint32_t> allPositions(const Conversation& conversation) {
    std::vector<std::uint32_t> positions(conversation.messages.size());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        positions[i] = static_cast<std::uint32_t>(i);
    }
    return positions;
}

// The participants of `conversation` with `messages` as its messages.
std::shared_ptr<const Conversation> withMessages(const Conversation& conversation, std::vector<Message> messages) {
    return std::make_shared<const Conversation>(
        Conversation{conversation.id, conversation.participants, conversation.messageCount, std::move(messages)});
}

} // namespace

PDFSettingsView::PDFSettingsView(const Conversation& conversation, std::vector<Message> messages, AppState* appState,
                                 QWidget* parent, GoogleAnalyticsManager* analytics)
    : PDFSettingsView(withMessages(conversation, std::move(messages)), {}, appState, parent, analytics) {
    positions_ = allPositions(*conversation_);
}

PDFSettingsView::PDFSettingsView(std::shared_ptr<const Conversation> conversation, std::vector<std::uint32_t> positions,
                                 AppState* appState, QWidget* parent, GoogleAnalyticsManager* analytics)
    : QDialog(parent), conversation_(conversation ? std::move(conversation) : std::make_shared<const Conversation>()),
      positions_(std::move(positions)), appState_(appState), analytics_(analytics) {
    const PDFSettings defaults;
    customSent_ = defaults.customSentColor;
    customReceived_ = defaults.customReceivedColor;
    setWindowTitle(QStringLiteral("Quillobrandt"));

    auto* column = new QVBoxLayout(this);
    column->setSpacing(kStackSpacing);

    // The title and the three sections scroll when the screen is too short for them; the buttons and
    // the progress card below always show.
    options_ = makeContentScrollArea(this);
    options_->setObjectName(QStringLiteral("pdf_options"));
    options_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    options_->setBackgroundRole(QPalette::Window);
    optionsContent_ = new QWidget(options_);
    auto* stack = new QVBoxLayout(optionsContent_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(kStackSpacing);

    auto* title = new QLabel(QStringLiteral("PDF Export Settings"), optionsContent_);
    title->setFont(ConversationStyle::font(13, true));
    title->setAlignment(Qt::AlignCenter);
    stack->addWidget(title);

    auto* schemeBox = new QGroupBox(QStringLiteral("Color Scheme"), optionsContent_);
    schemeForm_ = new QFormLayout(schemeBox);
    auto* schemeForm = schemeForm_;
    scheme_ = new QComboBox(schemeBox);
    scheme_->addItem(QStringLiteral("Quillobrandt (Gold/Pink)"), static_cast<int>(PDFColorScheme::quillobrandt));
    scheme_->addItem(QStringLiteral("Professional (Blue/Gray)"), static_cast<int>(PDFColorScheme::professional));
    scheme_->addItem(QStringLiteral("Custom Colors"), static_cast<int>(PDFColorScheme::custom));
    schemeForm->addRow(QStringLiteral("Scheme:"), scheme_);
    // Rows that come and go are shown and hidden as rows: a hidden widget alone would leave its row's
    // spacing behind and throw the form's height off.
    sentButton_ = new QPushButton(schemeBox);
    receivedButton_ = new QPushButton(schemeBox);
    schemeForm->addRow(QStringLiteral("Sent Messages:"), sentButton_);
    schemeForm->addRow(QStringLiteral("Received Messages:"), receivedButton_);
    connect(sentButton_, &QPushButton::clicked, this, [this] { pickColor(true); });
    connect(receivedButton_, &QPushButton::clicked, this, [this] { pickColor(false); });
    stack->addWidget(schemeBox);

    auto* typeBox = new QGroupBox(QStringLiteral("Typography"), optionsContent_);
    auto* typeForm = new QFormLayout(typeBox);
    font_ = new QComboBox(typeBox);
    font_->addItem(QStringLiteral("System"), static_cast<int>(PDFFontStyle::system));
    font_->addItem(QStringLiteral("Helvetica"), static_cast<int>(PDFFontStyle::helvetica));
    font_->addItem(QStringLiteral("Times"), static_cast<int>(PDFFontStyle::times));
    font_->addItem(QStringLiteral("Courier"), static_cast<int>(PDFFontStyle::courier));
    typeForm->addRow(QStringLiteral("Font:"), font_);
    stack->addWidget(typeBox);

    auto* pageBox = new QGroupBox(QStringLiteral("Page Layout"), optionsContent_);
    // A plain column: a form's height for a width comes out short when some of its rows are hidden,
    // and squeezes a row to nothing.
    auto* pageColumn = new QVBoxLayout(pageBox);
    pageSize_ = new QComboBox(pageBox);
    pageSize_->addItem(QStringLiteral("Letter (8.5\" \u00D7 11\")"), static_cast<int>(PDFPageSize::letter));
    pageSize_->addItem(QStringLiteral("A4 (210mm \u00D7 297mm)"), static_cast<int>(PDFPageSize::a4));
    pageSize_->addItem(QStringLiteral("Legal (8.5\" \u00D7 14\")"), static_cast<int>(PDFPageSize::legal));
    auto* pageSizeRow = new QHBoxLayout();
    pageSizeRow->addWidget(new QLabel(QStringLiteral("Page Size:"), pageBox));
    pageSizeRow->addWidget(pageSize_);
    pageSizeRow->addStretch();
    pageColumn->addLayout(pageSizeRow);
    pageNumbers_ = new QCheckBox(QStringLiteral("Include page numbers"), pageBox);
    binding_ = new QCheckBox(QStringLiteral("Add binding margin (for printing)"), pageBox);
    bindingCaption_ = caption(QStringLiteral("Adds 0.5\" extra margin on left side for book binding."), pageBox);
    ultraDense_ = new QCheckBox(QStringLiteral("Ultra-dense mode (maximum messages per page)"), pageBox);
    ultraDenseCaption_ = caption(QStringLiteral("Maximum density: 7pt font, minimal spacing, 15pt margins. Reduces "
                                                "page count by 30-40%. Great for very long conversations."),
                                 pageBox);
    pageColumn->addWidget(pageNumbers_);
    pageColumn->addWidget(binding_);
    pageColumn->addWidget(bindingCaption_);
    pageColumn->addWidget(ultraDense_);
    pageColumn->addWidget(ultraDenseCaption_);
    pageColumn->addWidget(
        caption(QStringLiteral("Messages will automatically flow to new pages based on content size."), pageBox));
    stack->addWidget(pageBox);
    stack->addStretch();
    options_->setWidget(optionsContent_);
    column->addWidget(options_, 1);

    buttonRow_ = new QWidget(this);
    auto* buttons = new QHBoxLayout(buttonRow_);
    buttons->setContentsMargins(0, 0, 0, 0);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), buttonRow_);
    cancel->setObjectName(QStringLiteral("pdf_cancel"));
    cancel->setAutoDefault(false);
    generate_ = new QPushButton(QStringLiteral("Generate PDF"), buttonRow_);
    generate_->setObjectName(QStringLiteral("pdf_generate"));
    makeDefaultButton(*generate_);
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(generate_);
    buttonRow_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    column->addWidget(buttonRow_);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(generate_, &QPushButton::clicked, this, &PDFSettingsView::startGeneration);

    progressCard_ = new QFrame(this);
    progressCard_->setObjectName(QStringLiteral("pdf_progress_card"));
    progressCard_->setStyleSheet(QStringLiteral("#pdf_progress_card { background-color: %1; border-radius: 12px; }")
                                     .arg(palette().color(QPalette::Window).name()));
    SoftShadow::attach(progressCard_, QColor(0, 0, 0, 84), 12, 10);
    progressCard_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto* card = new QVBoxLayout(progressCard_);
    card->setContentsMargins(30, 30, 30, 30);
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
    column->addWidget(progressCard_, 0, Qt::AlignHCenter);

    connect(scheme_, &QComboBox::currentIndexChanged, this, &PDFSettingsView::updateVisibility);
    connect(binding_, &QCheckBox::toggled, this, &PDFSettingsView::updateVisibility);
    connect(ultraDense_, &QCheckBox::toggled, this, &PDFSettingsView::updateVisibility);
    showSwatch(sentButton_, customSent_);
    showSwatch(receivedButton_, customReceived_);
    setProgress(progressMessage_, progressValue_);
    updateVisibility();
}

PDFSettingsView::~PDFSettingsView() {
    // Never waits: the render stops on its own at its next page.
    if (job_) {
        job_->cancel();
    }
}

PDFSettingsView* PDFSettingsView::openAsSheet(std::shared_ptr<const Conversation> conversation,
                                              std::vector<std::uint32_t> positions, AppState* appState, QWidget* parent,
                                              GoogleAnalyticsManager* analytics) {
    auto* sheet = new PDFSettingsView(std::move(conversation), std::move(positions), appState, parent, analytics);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->closeWhenIdle_ = true;
    sheet->open();
    return sheet;
}

PDFSettingsView* PDFSettingsView::openAsSheet(const Conversation& conversation, std::vector<Message> messages,
                                              AppState* appState, QWidget* parent, GoogleAnalyticsManager* analytics) {
    const auto shared = withMessages(conversation, std::move(messages));
    return openAsSheet(shared, allPositions(*shared), appState, parent, analytics);
}

std::vector<Message> PDFSettingsView::messages() const {
    std::vector<Message> messages;
    messages.reserve(positions_.size());
    for (const std::uint32_t position : positions_) {
        if (position < conversation_->messages.size()) {
            messages.push_back(conversation_->messages[position]);
        }
    }
    return messages;
}

void PDFSettingsView::done(int result) {
    // Closing stops a running render: nobody is left to choose where it goes.
    cancelGeneration();
    QDialog::done(result);
    if (closeWhenIdle_) {
        deleteLater();
    }
}

void PDFSettingsView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    fitToContent(); // the screen is known now
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
    return pdfExportName(conversation_->participants, participantNamerFor(*appState_, conversation_->participants));
}

bool PDFSettingsView::isCustomColorPickerShown() const {
    return !sentButton_->isHidden();
}
bool PDFSettingsView::isBindingCaptionShown() const {
    return !bindingCaption_->isHidden();
}
bool PDFSettingsView::isUltraDenseCaptionShown() const {
    return !ultraDenseCaption_->isHidden();
}

void PDFSettingsView::updateVisibility() {
    const bool custom = static_cast<PDFColorScheme>(scheme_->currentData().toInt()) == PDFColorScheme::custom;
    schemeForm_->setRowVisible(sentButton_, custom);
    schemeForm_->setRowVisible(receivedButton_, custom);
    bindingCaption_->setVisible(binding_->isChecked());
    ultraDenseCaption_->setVisible(ultraDense_->isChecked());
    progressCard_->setVisible(isGenerating_);
    generate_->setEnabled(!isGenerating_);
    fitToContent();
    // Once the shown and hidden rows have settled, measure again.
    QTimer::singleShot(0, this, &PDFSettingsView::fitToContent);
}

// As tall as the content at the sheet's width, and no taller than the screen: then the options scroll,
// while the buttons and the progress card keep their full size.
void PDFSettingsView::fitToContent() {
    auto* column = layout();
    const QMargins margins = column->contentsMargins();
    const int spacing = column->spacing();
    const int width = std::max(kSheetWidth, progressCard_->sizeHint().width() + margins.left() + margins.right());
    const int innerWidth = width - margins.left() - margins.right();
    // Rows were just shown or hidden: measure afresh rather than from the layouts' cached sizes.
    for (QLayout* nested : optionsContent_->findChildren<QLayout*>()) {
        nested->invalidate();
    }
    auto* stack = optionsContent_->layout();
    stack->invalidate();
    // The form's height for a width can come out below its own minimum when rows are hidden; the
    // larger of the two is what its rows need.
    const int optionsHeight =
        std::max(stack->hasHeightForWidth() ? stack->totalHeightForWidth(innerWidth) : stack->totalSizeHint().height(),
                 stack->totalMinimumSize().height());
    // Never squeezed below that, scrolling or not.
    optionsContent_->setMinimumHeight(optionsHeight);
    const int fixedHeight = margins.top() + margins.bottom() + spacing + buttonRow_->sizeHint().height() +
                            (isGenerating_ ? spacing + progressCard_->sizeHint().height() : 0);
    int height = fixedHeight + optionsHeight;
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const int available = screen->availableGeometry().height() - kSheetFrameAllowance;
        // Whatever the screen, the options keep a few lines in view.
        height = std::min(height, std::max(available, fixedHeight + 4 * fontMetrics().height()));
    }
    setFixedSize(width, height);
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

void installConversationExport(GoogleAnalyticsManager* analytics) {
    setPictureReader({[](const QString& path) { return ImageSource::pixelSize(path); },
                      [](const QString& path, QSize target) { return ImageSource::load(path, target); }});
    ConversationDisplayView::setPdfSheetFactory([analytics](std::shared_ptr<const Conversation> conversation,
                                                            std::vector<std::uint32_t> positions, AppState* appState,
                                                            QWidget* parent) -> QDialog* {
        return PDFSettingsView::openAsSheet(std::move(conversation), std::move(positions), appState, parent, analytics);
    });
}

} // namespace quillobrandt
