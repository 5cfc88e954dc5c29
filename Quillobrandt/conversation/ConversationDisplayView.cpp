#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include <sys/stat.h>

#include "Corvantesk/qt/ViewTagging.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/conversation/CsvExport.h"
#include "Quillobrandt/conversation/EditedCopySaver.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "Quillobrandt/conversation/JumpButton.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/ParticipantLabelsView.h"
#include "Quillobrandt/store/EditedCopyWriter.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/MainQueue.h"
#include "platform/qt/PanelPresenter.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {

namespace {

using namespace std::chrono_literals;

ConversationDisplayView::PdfSheetFactory& pdfSheetFactory() {
    static ConversationDisplayView::PdfSheetFactory factory;
    return factory;
}

QFrame* verticalDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFixedHeight(24);
    return line;
}

QFrame* horizontalDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    return line;
}

// Toolbar symbols are 14 pixels beside 12-pixel titles.
constexpr int kToolbarSymbolSize = 14;

// A borderless toolbar button: its symbol, then its title; its object name is the control's tracking id.
QPushButton* toolbarButton(const QString& symbol, const QString& title, const QString& trackingId, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    setButtonSymbol(*button, symbol, kToolbarSymbolSize, SymbolInk::label);
    button->setFlat(true);
    button->setFont(ConversationStyle::font(12));
    button->setObjectName(trackingId);
    button->setProperty("trackingLabel", title);
    button->setAccessibleName(title);
    return button;
}

// The title: one line, cut with "…" when the sheet is narrower than the names, so a long title never
// widens the sheet. text() keeps the whole title, and so does the tooltip.
class TitleLabel final : public QLabel {
public:
    explicit TitleLabel(QWidget* parent) : QLabel(parent) { setProperty("elidesText", true); }

    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        painter.setFont(font());
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
        painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
    }
};

// The conversation sheet: Escape must not close it.
class ConversationSheet final : public QDialog {
public:
    using QDialog::QDialog;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QDialog::keyPressEvent(event);
    }
};

} // namespace

void ConversationDisplayView::setPdfSheetFactory(PdfSheetFactory factory) {
    pdfSheetFactory() = std::move(factory);
}

ConversationDisplayView::ConversationDisplayView(const Conversation& conversation, AppState* appState, QWidget* parent,
                                                 GoogleAnalyticsManager* analytics)
    : ConversationDisplayView(std::make_shared<const Conversation>(conversation), appState, parent, analytics) {}

ConversationDisplayView::ConversationDisplayView(std::shared_ptr<const Conversation> conversation, AppState* appState,
                                                 QWidget* parent, GoogleAnalyticsManager* analytics)
    : QWidget(parent), appState_(appState), analytics_(analytics), model_(std::move(conversation)) {
    // The copy is made from the database these messages came from, whatever is loaded later.
    source_ = appState_->databaseURL();
    if (source_) {
        struct stat st {};
        if (::stat(source_->c_str(), &st) == 0) {
            sourceIdentity_ =
                std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
        }
    }
    setObjectName(QStringLiteral("ConversationView"));
    corvantesk::trackScreen(this, QStringLiteral("ConversationView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildHeader();
    layout->addWidget(horizontalDivider(this));
    buildFilterRow();
    layout->addWidget(horizontalDivider(this));
    buildMessageArea();

    connect(appState_, &AppState::participantLabelsChanged, this, [this] {
        refreshHeader();
        refreshList();
    });
    connect(appState_, &AppState::hasContactsAccessChanged, this, [this] {
        refreshHeader();
        refreshList();
    });
    connect(appState_, &AppState::databaseURLChanged, this, &ConversationDisplayView::refreshHeader);
    connect(appState_, &AppState::appThemeChanged, this, &ConversationDisplayView::refreshList);
    connect(appState_, &AppState::isIPhoneBackupChanged, this, &ConversationDisplayView::refreshList);

    refreshHeader();
    showNewestWindow();
}

// A running save belongs to the application state's saver, so closing waits for nothing.
ConversationDisplayView::~ConversationDisplayView() = default;

QDialog* ConversationDisplayView::openAsSheet(const Conversation& conversation, AppState* appState, QWidget* parent) {
    return openAsSheet(std::make_shared<const Conversation>(conversation), appState, parent);
}

QDialog* ConversationDisplayView::openAsSheet(std::shared_ptr<const Conversation> conversation, AppState* appState,
                                              QWidget* parent) {
    auto* sheet = new ConversationSheet(parent);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Quillobrandt"));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new ConversationDisplayView(std::move(conversation), appState, sheet);
    layout->addWidget(view);
    connect(view, &ConversationDisplayView::closeRequested, sheet, &QDialog::accept);
    QSize size(900, 700);
    if (const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen()) {
        size = size.boundedTo(screen->availableGeometry().size());
    }
    sheet->resize(size);
    sheet->open();
    return sheet;
}

// ---- naming and header ----

ParticipantNamer ConversationDisplayView::namer() const {
    ContactNameLookup contacts;
    if (appState_->hasContactsAccess()) {
        contacts = [](const std::string& handle) { return PermissionManager::cachedContactName(handle); };
    }
    return makeParticipantNamer(appState_->participantLabels(), contacts);
}

QString ConversationDisplayView::displayName(const QString& handle) const {
    return namer()(handle);
}

QString ConversationDisplayView::participantNames() const {
    return participantNamesTitle(model_.conversation().participants, namer());
}

void ConversationDisplayView::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(16);

    auto* titleBlock = new QVBoxLayout();
    titleBlock->setSpacing(2);
    title_ = new TitleLabel(header);
    title_->setObjectName(QStringLiteral("conversation_title"));
    title_->setFont(ConversationStyle::font(13, true));
    titleBlock->addWidget(title_);
    auto* source = new QHBoxLayout();
    source->setSpacing(4);
    sourceSymbol_ = new SymbolIcon(QString(), 10, QColor(), header);
    sourceSymbol_->setObjectName(QStringLiteral("conversation_source_symbol"));
    sourceText_ = new QLabel(header);
    sourceText_->setObjectName(QStringLiteral("conversation_source"));
    sourceText_->setFont(ConversationStyle::font(10));
    source->addWidget(sourceSymbol_, 0, Qt::AlignVCenter);
    source->addWidget(sourceText_);
    source->addStretch();
    titleBlock->addLayout(source);
    row->addLayout(titleBlock);
    row->addStretch();

    toolbar_ = new QWidget(header);
    auto* tools = new QHBoxLayout(toolbar_);
    tools->setContentsMargins(0, 0, 0, 0);
    tools->setSpacing(12);
    showMediaBox_ = new QCheckBox(QStringLiteral("Show Media"), toolbar_);
    showMediaBox_->setObjectName(QStringLiteral("show_media"));
    showMediaBox_->setFont(ConversationStyle::font(12));
    setButtonSymbol(*showMediaBox_, QStringLiteral("photo"), kToolbarSymbolSize, SymbolInk::label);
    showMediaBox_->setChecked(model_.showMedia());
    connect(showMediaBox_, &QCheckBox::toggled, this, &ConversationDisplayView::setShowMedia);
    tools->addWidget(showMediaBox_);
    tools->addWidget(verticalDivider(toolbar_));
    auto* editName = toolbarButton(QStringLiteral("tag"), QStringLiteral("Edit Name"), QStringLiteral("edit_name"), toolbar_);
    connect(editName, &QPushButton::clicked, this, &ConversationDisplayView::editParticipantNames);
    auto* editMessages =
        toolbarButton(QStringLiteral("pencil"), QStringLiteral("Edit Messages"), QStringLiteral("edit_messages"), toolbar_);
    connect(editMessages, &QPushButton::clicked, this, &ConversationDisplayView::enterEditMode);
    tools->addWidget(editName);
    tools->addWidget(editMessages);
    tools->addWidget(verticalDivider(toolbar_));
    auto* csv = toolbarButton(QStringLiteral("arrow.down.doc"), QStringLiteral("Export CSV"), QStringLiteral("export_csv"), toolbar_);
    connect(csv, &QPushButton::clicked, this, &ConversationDisplayView::presentCSVPanel);
    auto* pdf = toolbarButton(QStringLiteral("doc.text"), QStringLiteral("Export PDF"), QStringLiteral("export_pdf"), toolbar_);
    connect(pdf, &QPushButton::clicked, this, &ConversationDisplayView::exportPDF);
    tools->addWidget(csv);
    tools->addWidget(pdf);
    row->addWidget(toolbar_);

    editControls_ = new QWidget(header);
    auto* editColumn = new QVBoxLayout(editControls_);
    editColumn->setContentsMargins(0, 0, 0, 0);
    editColumn->setSpacing(4);
    auto* editRow = new QHBoxLayout();
    editRow->setSpacing(8);
    const auto editButton = [&](const QString& title, const QString& id, const QString& label) {
        auto* button = new QPushButton(title, editControls_);
        button->setObjectName(id);
        button->setProperty("trackingLabel", label);
        editRow->addWidget(button);
        editButtons_ << button;
        return button;
    };
    connect(editButton(QStringLiteral("Cancel"), QStringLiteral("edit_cancel"), QStringLiteral("Cancel Edit")),
            &QPushButton::clicked, this, &ConversationDisplayView::cancelEdit);
    connect(editButton(QStringLiteral("Apply Changes"), QStringLiteral("edit_apply"), QStringLiteral("Apply Changes")),
            &QPushButton::clicked, this, &ConversationDisplayView::applyChanges);
    auto* save = editButton(QStringLiteral("Save Copy..."), QStringLiteral("edit_save_copy"), QStringLiteral("Save Copy"));
    save->setDefault(true);
    connect(save, &QPushButton::clicked, this, &ConversationDisplayView::presentSaveCopyPanel);
    // While a copy is being written: a busy bar beside the (disabled) buttons.
    auto* busy = new QProgressBar(editControls_);
    busy->setObjectName(QStringLiteral("saving_indicator"));
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setFixedSize(64, 6);
    busy->setAccessibleName(QStringLiteral("Saving copy"));
    busy->setToolTip(QStringLiteral("Saving copy..."));
    busy->hide();
    savingIndicator_ = busy;
    editRow->addWidget(busy, 0, Qt::AlignVCenter);
    editColumn->addLayout(editRow);
    auto* hint = new QLabel(QStringLiteral("Apply = session only • Save Copy = new database file"), editControls_);
    hint->setFont(ConversationStyle::font(10));
    hint->setAlignment(Qt::AlignCenter);
    editColumn->addWidget(hint);
    editControls_->hide();
    row->addWidget(editControls_);

    auto* close = new SymbolButton(QStringLiteral("xmark.circle.fill"), 18, SymbolInk::secondaryLabel,
                                   QStringLiteral("Close Conversation"), header);
    close->setObjectName(QStringLiteral("close_conversation"));
    close->setProperty("trackingLabel", QStringLiteral("Close Conversation"));
    connect(close, &QPushButton::clicked, this, &ConversationDisplayView::closeConversation);
    row->addWidget(close);
    layout()->addWidget(header);
}

void ConversationDisplayView::refreshHeader() {
    title_->setText(participantNames());
    title_->setToolTip(title_->text());
    const SourceLine line = sourceLineFor(appState_->databaseURL());
    const QColor text = palette().color(QPalette::WindowText);
    QColor colour = ConversationStyle::secondary(text);
    if (line.kind == SourceKind::macMessages) {
        colour = ConversationStyle::orange();
    } else if (line.kind == SourceKind::editable) {
        colour = ConversationStyle::green();
    }
    sourceSymbol_->setName(line.symbol);
    sourceSymbol_->setColour(colour);
    sourceText_->setText(line.text);
    // Hide one before showing the other: both at once, even for a moment, would make the header ask
    // for their summed width and push the sheet wider each time edit mode ends.
    QWidget* shown = model_.isEditMode() ? editControls_ : toolbar_;
    QWidget* hidden = model_.isEditMode() ? toolbar_ : editControls_;
    hidden->setVisible(false);
    shown->setVisible(true);
    for (auto* button : editButtons_) {
        button->setEnabled(!saving_);
    }
    savingIndicator_->setVisible(saving_);
}

void ConversationDisplayView::buildFilterRow() {
    auto* row = new QWidget(this);
    row->setAutoFillBackground(true);
    QPalette pal = row->palette();
    QColor base = pal.color(QPalette::Base);
    base.setAlphaF(0.3f);
    pal.setColor(QPalette::Window, base);
    row->setPalette(pal);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(12);
    dateFilterBox_ = new QCheckBox(QStringLiteral("Filter by Date"), row);
    dateFilterBox_->setObjectName(QStringLiteral("filter_by_date"));
    dateFilterBox_->setFont(ConversationStyle::font(12));
    setButtonSymbol(*dateFilterBox_, QStringLiteral("calendar"), 12, SymbolInk::label);
    connect(dateFilterBox_, &QCheckBox::toggled, this, &ConversationDisplayView::setEnableDateFilter);
    layout->addWidget(dateFilterBox_);

    dateFields_ = new QWidget(row);
    auto* fields = new QHBoxLayout(dateFields_);
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setSpacing(12);
    const auto caption = [&](const QString& text) {
        auto* label = new QLabel(text, dateFields_);
        label->setFont(ConversationStyle::font(12));
        fields->addWidget(label);
    };
    const auto dateEdit = [&](QDate date, const QString& name) {
        auto* edit = new QDateEdit(date, dateFields_);
        edit->setObjectName(name);
        edit->setCalendarPopup(true);
        edit->setLocale(QLocale::c());
        edit->setDisplayFormat(QStringLiteral("MMM d, yyyy"));
        fields->addWidget(edit);
        connect(edit, &QDateEdit::dateChanged, this,
                [this] { setDateRange(startEdit_->date(), endEdit_->date()); });
        return edit;
    };
    caption(QStringLiteral("From:"));
    startEdit_ = dateEdit(model_.startDate(), QStringLiteral("start_date"));
    caption(QStringLiteral("To:"));
    endEdit_ = dateEdit(model_.endDate(), QStringLiteral("end_date"));
    dateFields_->hide();
    layout->addWidget(dateFields_);
    layout->addStretch();
    static_cast<QVBoxLayout*>(this->layout())->addWidget(row);
}

// ---- message area ----

void ConversationDisplayView::buildMessageArea() {
    messageArea_ = new QWidget(this);
    messageArea_->installEventFilter(this);
    auto* column = new QVBoxLayout(messageArea_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    const auto pagingButton = [&](const QString& name, const QString& symbol) {
        auto* button = new QPushButton(messageArea_);
        button->setObjectName(name);
        button->setFlat(true);
        button->setFont(ConversationStyle::font(14, true));
        setButtonSymbol(*button, symbol, 16, ConversationStyle::accent());
        // A tinted rounded label, not a bare line of text across the list.
        button->setStyleSheet(QStringLiteral("QPushButton { background: rgba(255, 140, 120, 26); border: none; "
                                             "border-radius: 8px; padding: 12px 16px; margin: 6px; }"
                                             "QPushButton:pressed { background: rgba(255, 140, 120, 64); }"));
        button->hide();
        return button;
    };
    loadEarlierButton_ = pagingButton(QStringLiteral("load-earlier-button"), QStringLiteral("arrow.up.circle.fill"));
    connect(loadEarlierButton_, &QPushButton::clicked, this, &ConversationDisplayView::loadEarlierMessages);
    column->addWidget(loadEarlierButton_, 0, Qt::AlignHCenter);

    rows_ = new MessageRowModel(this);
    delegate_ = new MessageRowDelegate(this);
    list_ = new QListView(messageArea_);
    list_->setObjectName(QStringLiteral("message_list"));
    list_->setModel(rows_);
    list_->setItemDelegate(delegate_);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setUniformItemSizes(false);
    list_->setResizeMode(QListView::Adjust);
    list_->setFrameShape(QFrame::NoFrame);
    // Rows always fit the visible width (see the viewport's resize below), so nothing scrolls sideways.
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->viewport()->installEventFilter(this);
    connect(delegate_, &MessageRowDelegate::deleteRequested, this,
            [this](int row) { deleteMessage(rows_->rowAt(row).message); });
    column->addWidget(list_, 1);

    loadNewerButton_ = pagingButton(QStringLiteral("load-newer-button"), QStringLiteral("arrow.down.circle.fill"));
    connect(loadNewerButton_, &QPushButton::clicked, this, &ConversationDisplayView::loadNewerMessages);
    column->addWidget(loadNewerButton_, 0, Qt::AlignHCenter);

    loadingLabel_ = new QLabel(messageArea_);
    loadingLabel_->setObjectName(QStringLiteral("loading_indicator"));
    loadingLabel_->setFont(ConversationStyle::font(13, true));
    loadingLabel_->setAlignment(Qt::AlignCenter);
    loadingLabel_->setText(QStringLiteral("Loading %1 messages...").arg(model_.conversation().messageCount));

    jumpButtons_ = new QWidget(messageArea_);
    auto* jumps = new QVBoxLayout(jumpButtons_);
    jumps->setContentsMargins(0, 0, 0, 0);
    jumps->setSpacing(8);
    const auto jumpButton = [&](JumpButton::Direction direction, const QString& tip, const QString& name) {
        auto* button = new JumpButton(direction, jumpButtons_);
        button->setObjectName(name);
        button->setToolTip(tip);
        button->setAccessibleName(tip);
        jumps->addWidget(button);
        return button;
    };
    connect(
        jumpButton(JumpButton::Direction::up, QStringLiteral("Jump to oldest message"), QStringLiteral("jump_oldest")),
        &QAbstractButton::clicked, this, &ConversationDisplayView::jumpToOldest);
    connect(jumpButton(JumpButton::Direction::down, QStringLiteral("Jump to newest message"),
                       QStringLiteral("jump_newest")),
            &QAbstractButton::clicked, this, &ConversationDisplayView::jumpToNewest);

    jumpPanel_ = new QLabel(messageArea_);
    jumpPanel_->setObjectName(QStringLiteral("jump_panel"));
    jumpPanel_->setFont(ConversationStyle::font(13, true));
    jumpPanel_->setAlignment(Qt::AlignCenter);
    jumpPanel_->setMargin(30);
    jumpPanel_->setAutoFillBackground(true);
    jumpPanel_->hide();

    banner_ = new QWidget(messageArea_);
    banner_->setObjectName(QStringLiteral("position_banner"));
    banner_->setAttribute(Qt::WA_StyledBackground);
    banner_->setStyleSheet(
        QStringLiteral("#position_banner { border-radius: 12px; "
                       "background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 %1, stop:1 %2); }")
            .arg(ConversationStyle::accent().name(), QColor(0xFF, 0x8C, 0x78, 204).name(QColor::HexArgb)));
    auto* bannerRow = new QHBoxLayout(banner_);
    bannerRow->setContentsMargins(24, 14, 24, 14);
    bannerRow->setSpacing(12);
    bannerSymbol_ = new SymbolIcon(QString(), 20, QColor(Qt::white), banner_);
    bannerRow->addWidget(bannerSymbol_);
    bannerText_ = new QLabel(banner_);
    bannerText_->setFont(ConversationStyle::font(15, true));
    bannerText_->setStyleSheet(QStringLiteral("color: white;"));
    bannerRow->addWidget(bannerText_);
    banner_->hide();
    layout()->addWidget(messageArea_);
    static_cast<QVBoxLayout*>(layout())->setStretchFactor(messageArea_, 1);
}

bool ConversationDisplayView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == messageArea_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        layoutOverlays();
    }
    if (list_ && watched == list_->viewport() && event->type() == QEvent::Resize) {
        // Row heights depend on the width (text wraps to it). When the vertical scroll bar comes or goes
        // the viewport narrows or widens without the list re-laying its rows; do it then.
        const auto* resize = static_cast<QResizeEvent*>(event);
        if (resize->size().width() != resize->oldSize().width()) {
            list_->doItemsLayout();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ConversationDisplayView::layoutOverlays() {
    const QRect area = messageArea_->rect();
    loadingLabel_->setGeometry(area);
    jumpButtons_->adjustSize();
    jumpButtons_->move(area.width() - 16 - jumpButtons_->width(), area.height() - 16 - jumpButtons_->height());
    jumpPanel_->adjustSize();
    jumpPanel_->move(area.center() - QPoint(jumpPanel_->width() / 2, jumpPanel_->height() / 2));
    banner_->adjustSize();
    banner_->move(area.center().x() - banner_->width() / 2, 16);
    loadingLabel_->raise();
    jumpButtons_->raise();
    jumpPanel_->raise();
    banner_->raise();
}

void ConversationDisplayView::refilter() {
    model_.updateFilteredMessages();
    refreshList();
}

void ConversationDisplayView::refreshList() {
    BubbleContext context;
    context.namer = namer();
    context.theme = appState_->appTheme();
    context.isIPhoneBackup = appState_->isIPhoneBackup();
    context.reportedPictureFailures = &reportedPictureFailures_;
    const std::vector<Message> shown = model_.displayedMessages();
    std::vector<MessageRow> rows;
    rows.reserve(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        MessageRow row;
        row.message = shown[i];
        row.layout = model_.rowLayout(static_cast<int>(i));
        row.showDelete = model_.isEditMode();
        if (!row.layout.empty) {
            row.content = makeBubbleContent(row.message, row.layout.showSenderName, context);
        }
        rows.push_back(std::move(row));
    }
    rows_->setRows(std::move(rows));

    loadEarlierButton_->setVisible(model_.hasEarlierMessages());
    loadEarlierButton_->setText(model_.loadEarlierLabel());
    loadNewerButton_->setVisible(model_.hasNewerMessages());
    loadNewerButton_->setText(model_.loadNewerLabel());
    list_->setVisible(!isLoading_);
    loadingLabel_->setVisible(isLoading_);
    jumpButtons_->setVisible(!isLoading_ && !isJumping_ && model_.showsJumpButtons());
    jumpPanel_->setVisible(isJumping_);
    banner_->setVisible(showPositionBanner_);
    layoutOverlays();
}

// ---- paging and jumps ----

void ConversationDisplayView::showNewestWindow() {
    model_.showNewestWindow();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] {
        isLoading_ = false;
        refreshList();
    });
}

void ConversationDisplayView::loadEarlierMessages() {
    model_.loadEarlierMessages();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { scrollToFirstDisplayedMessage(); });
}

void ConversationDisplayView::loadNewerMessages() {
    model_.loadNewerMessages();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { scrollToFirstDisplayedMessage(); });
}

void ConversationDisplayView::scrollToFirstDisplayedMessage() {
    if (rows_->rowCount() > 0) {
        list_->scrollTo(rows_->index(0), QAbstractItemView::PositionAtTop);
    }
}

void ConversationDisplayView::jumpToOldest() {
    isJumping_ = true;
    jumpPanel_->setText(QStringLiteral("Jumping to oldest message..."));
    model_.jumpToOldest();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { completeJump(true); });
}

void ConversationDisplayView::jumpToNewest() {
    isJumping_ = true;
    jumpPanel_->setText(QStringLiteral("Jumping to newest message..."));
    model_.jumpToNewest();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { completeJump(false); });
}

void ConversationDisplayView::completeJump(bool oldest) {
    const int count = rows_->rowCount();
    if (count > 0) {
        if (oldest) {
            list_->scrollTo(rows_->index(0), QAbstractItemView::PositionAtTop);
        } else {
            list_->scrollTo(rows_->index(count - 1), QAbstractItemView::PositionAtBottom);
        }
    }
    platform::runOnMainQueueAfter(200ms, this, [this, oldest] { presentPositionBanner(oldest); });
}

void ConversationDisplayView::presentPositionBanner(bool oldest) {
    isJumping_ = false;
    positionBannerMessage_ = oldest ? QStringLiteral("Viewing Oldest Messages") : QStringLiteral("Viewing Newest Messages");
    bannerText_->setText(positionBannerMessage_);
    bannerSymbol_->setName(oldest ? QStringLiteral("arrow.up.to.line.circle.fill")
                                  : QStringLiteral("arrow.down.to.line.circle.fill"));
    showPositionBanner_ = true;
    refreshList();
    // Not cancelled: a later jump's banner may be closed early by this step, as designed.
    platform::runOnMainQueueAfter(2500ms, this, [this] {
        showPositionBanner_ = false;
        refreshList();
    });
}

// ---- filter ----

void ConversationDisplayView::setShowMedia(bool value) {
    if (value == model_.showMedia()) {
        return;
    }
    model_.setShowMedia(value);
    showMediaBox_->setChecked(value);
    refilter();
}

void ConversationDisplayView::setEnableDateFilter(bool value) {
    if (value == model_.enableDateFilter()) {
        return;
    }
    model_.setEnableDateFilter(value);
    dateFilterBox_->setChecked(value);
    dateFields_->setVisible(value);
    refilter();
}

void ConversationDisplayView::setDateRange(QDate start, QDate end) {
    if (start == model_.startDate() && end == model_.endDate()) {
        return;
    }
    model_.setStartDate(start);
    model_.setEndDate(end);
    {
        const QSignalBlocker blockStart(startEdit_);
        const QSignalBlocker blockEnd(endEdit_);
        startEdit_->setDate(start);
        endEdit_->setDate(end);
    }
    if (model_.dateFilterChanged()) {
        refreshList();
    }
}

// ---- edit mode ----

void ConversationDisplayView::enterEditMode() {
    model_.enterEditMode();
    refreshHeader();
    refilter();
}

void ConversationDisplayView::deleteMessage(const Message& message) {
    if (!model_.isEditMode()) {
        return;
    }
    // The marked message stays on screen until the edit is applied or cancelled.
    model_.deleteMessage(message);
}

void ConversationDisplayView::cancelEdit() {
    model_.cancelEdit();
    refreshHeader();
    refilter();
}

void ConversationDisplayView::applyChanges() {
    model_.applyChanges();
    refreshHeader();
    refilter();
}

void ConversationDisplayView::presentSaveCopyPanel() {
    if (saving_) {
        return;
    }
    if (!source_) {
        platform::consoleLine("❌ No database URL available");
        return;
    }
    const auto ids = model_.idsToDeleteInCopy();
    platform::SavePanelRequest request;
    request.title = QStringLiteral("Save edited database copy");
    request.suggestedName = editedCopyFileName(participantNames());
    request.nameFilters = {QStringLiteral("Database (*.db)")};
    request.defaultSuffix = QStringLiteral("db");
    request.acceptLabel = QStringLiteral("Save");
    const auto chosen = platform::panelPresenter()->chooseSaveLocation(request);
    if (!chosen) {
        return;
    }
    const std::filesystem::path target(chosen->toStdString());
    if (targetIsSource(target)) {
        // Removing the old target first would destroy the very database the copy is made from.
        platform::consoleLine("❌ Error saving edited copy: the target is the source database " + target.string());
        showSaveFailure(QString::fromUtf8(EditedCopyError().description()));
        return;
    }
    saveEditedCopy(*source_, target, ids);
}

bool ConversationDisplayView::targetIsSource(const std::filesystem::path& target) const {
    if (!source_) {
        return false;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path targetPath = fs::weakly_canonical(fs::absolute(target, error), error);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        const fs::path sourceFile = fs::weakly_canonical(fs::absolute(source_->string() + suffix, ignored), ignored);
        if (!targetPath.empty() && targetPath == sourceFile) {
            return true;
        }
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        return false;
    }
    const auto identity = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    if (sourceIdentity_ && identity == *sourceIdentity_) {
        return true; // a hard link, or the same file under a moved folder
    }
    struct stat now {};
    return ::stat(source_->c_str(), &now) == 0 &&
           identity == std::make_pair(static_cast<std::uint64_t>(now.st_dev), static_cast<std::uint64_t>(now.st_ino));
}

void ConversationDisplayView::saveEditedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                                             const std::unordered_set<std::int64_t>& ids) {
    saving_ = true;
    refreshHeader();
    QPointer<ConversationDisplayView> self(this);
    EditedCopySaver::forState(appState_)->start(
        source, target, ids, [self, target, ids](const std::optional<std::string>& error) {
            if (self) {
                self->finishSave(target, ids, error);
                return;
            }
            // The view was closed meanwhile: the save still ran to its end; say how it ended.
            const std::string line =
                error ? "❌ Error saving edited copy: " + *error : "✅ Saved edited copy to: " + target.string();
            platform::consoleLine(line);
            Logger::shared().log(line, error ? Logger::Level::error : Logger::Level::info);
        });
}

void ConversationDisplayView::showSaveFailure(const QString& reason) {
    platform::AlertRequest alert;
    alert.messageText = QStringLiteral("Failed to Save Copy");
    alert.informativeText = QStringLiteral("An error occurred while saving the edited database:\n\n") + reason;
    alert.style = platform::AlertStyle::critical;
    alert.buttons = {QStringLiteral("OK")};
    platform::alertPresenter()->runModal(alert);
}

void ConversationDisplayView::finishSave(const std::filesystem::path& target,
                                         const std::unordered_set<std::int64_t>& ids,
                                         const std::optional<std::string>& error) {
    saving_ = false;
    if (error) {
        platform::consoleLine("❌ Error saving edited copy: " + *error);
        refreshHeader();
        showSaveFailure(QString::fromStdString(*error));
        emit editedCopySaveFinished(false);
        return;
    }
    platform::consoleLine("✅ Saved edited copy to: " + target.string());
    // The saved deletions stay hidden: the header now names the copy, which no longer holds them.
    model_.finishSavedCopy(ids);
    refreshHeader();
    refilter();
    emit editedCopySaveFinished(true);
    QPointer<AppState> state(appState_);
    const auto attachments = appState_->attachmentBaseURL();
    platform::runOnMainQueue(appState_, [state, target, attachments] {
        if (state) {
            state->loadCustomDatabase(target, attachments);
        }
    });
}

bool ConversationDisplayView::waitForBackgroundWork(int timeoutMs) {
    return EditedCopySaver::forState(appState_)->waitForDone(timeoutMs);
}

// ---- exports and sheets ----

void ConversationDisplayView::presentCSVPanel() {
    platform::SavePanelRequest request;
    request.suggestedName = defaultCsvFileName(participantNames());
    request.nameFilters = {QStringLiteral("CSV (*.csv)")};
    request.defaultSuffix = QStringLiteral("csv");
    const auto chosen = platform::panelPresenter()->chooseSaveLocation(request);
    if (!chosen) {
        return;
    }
    const CsvExportResult result =
        exportCSV(std::filesystem::path(chosen->toStdString()), model_.conversation().messages,
                  model_.filteredIndices(), labelLookupFrom(appState_->participantLabels()));
    if (!result.saved) {
        platform::AlertRequest alert;
        alert.messageText = QStringLiteral("Failed to Export CSV");
        alert.informativeText = result.error;
        alert.style = platform::AlertStyle::critical;
        platform::alertPresenter()->runModal(alert);
        return;
    }
    GoogleAnalyticsManager& analytics = analytics_ ? *analytics_ : GoogleAnalyticsManager::shared();
    analytics.trackEvent("csv_export_completed", {{"message_count", model_.filteredCount()}});
}

void ConversationDisplayView::exportPDF() {
    const auto& factory = pdfSheetFactory();
    if (!factory) {
        platform::consoleLine("PDF export is not available in this build");
        return;
    }
    factory(model_.sharedConversation(), model_.filteredIndices(), appState_, this);
}

void ConversationDisplayView::editParticipantNames() {
    ParticipantLabelsView::openAsSheet(model_.conversation().participants, appState_, this);
}

void ConversationDisplayView::closeConversation() {
    emit closeRequested();
}

} // namespace quillobrandt
