// The message area: the list of the shown window, its paging buttons, the jumps and the overlays.

#include "Quillobrandt/conversation/ConversationDisplayView.h"

#include <QApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/app/TextContrast.h"
#include "Quillobrandt/conversation/JumpButton.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {

using namespace std::chrono_literals;

namespace {
constexpr int jumpButtonsInset = 16; // from the message area's trailing and bottom edges
} // namespace

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
    list_->installEventFilter(this); // the keys of the current row's button
    connect(delegate_, &MessageRowDelegate::deleteRequested, this,
            [this](int row) { deleteMessage(rows_->rowAt(row).message); });
    connect(delegate_, &MessageRowDelegate::restoreRequested, this,
            [this](int row) { restoreMessage(rows_->rowAt(row).message); });
    column->addWidget(list_, 1);

    loadNewerButton_ = pagingButton(QStringLiteral("load-newer-button"), QStringLiteral("arrow.down.circle.fill"));
    connect(loadNewerButton_, &QPushButton::clicked, this, &ConversationDisplayView::loadNewerMessages);
    column->addWidget(loadNewerButton_, 0, Qt::AlignHCenter);

    loadingLabel_ = new QLabel(messageArea_);
    loadingLabel_->setObjectName(QStringLiteral("loading_indicator"));
    loadingLabel_->setFont(ConversationStyle::font(13, true));
    loadingLabel_->setAlignment(Qt::AlignCenter);
    loadingLabel_->setText(QStringLiteral("Loading %1 messages...").arg(model_.conversation().messageCount));

    emptyRangeLabel_ = new QLabel(messageArea_);
    emptyRangeLabel_->setObjectName(QStringLiteral("empty_range"));
    emptyRangeLabel_->setFont(ConversationStyle::font(13));
    emptyRangeLabel_->setAlignment(Qt::AlignCenter);
    emptyRangeLabel_->setWordWrap(true);
    emptyRangeLabel_->hide();

    jumpButtons_ = new QWidget(messageArea_);
    auto* jumps = new QVBoxLayout(jumpButtons_);
    jumps->setContentsMargins(0, 0, 0, 0);
    jumps->setSpacing(8);
    const auto jumpButton = [&](JumpButton::Direction direction, const QString& tip, const QString& name) {
        auto* button = new JumpButton(direction, jumpButtons_);
        button->setObjectName(name);
        // Tab reaches them, a click leaves the keyboard where it was: without them a keyboard user pages through
        // every window of a long conversation to reach its oldest message.
        button->setFocusPolicy(Qt::TabFocus);
        showKeyboardFocus(*button, 1, button->width() / 2.0);
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
    // Its words in the colour a received bubble's text takes on the same accent (white reads 2.3:1 there); it
    // reads on the banner's paler end too, over any list.
    const QColor words = bubbleTextColor(ConversationStyle::accent());
    auto* bannerRow = new QHBoxLayout(banner_);
    bannerRow->setContentsMargins(24, 14, 24, 14);
    bannerRow->setSpacing(12);
    bannerSymbol_ = new SymbolIcon(QString(), 20, words, banner_);
    bannerRow->addWidget(bannerSymbol_);
    bannerText_ = new QLabel(banner_);
    bannerText_->setFont(ConversationStyle::font(15, true));
    bannerText_->setStyleSheet(QStringLiteral("color: %1;").arg(words.name()));
    bannerRow->addWidget(bannerText_);
    banner_->hide();
    layout()->addWidget(messageArea_);
    static_cast<QVBoxLayout*>(layout())->setStretchFactor(messageArea_, 1);
}

bool ConversationDisplayView::eventFilter(QObject* watched, QEvent* event) {
    if (list_ && watched == list_ && event->type() == QEvent::KeyPress &&
        pressRowButton(*static_cast<QKeyEvent*>(event))) {
        return true;
    }
    if (list_ && watched == list_ && event->type() == QEvent::FocusIn &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::MouseFocusReason) {
        makeAShownRowCurrent();
    }
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

// In edit mode, Space presses the current row's button (trash or undo) and Delete marks its message.
bool ConversationDisplayView::pressRowButton(const QKeyEvent& key) {
    const QModelIndex current = list_->currentIndex();
    if (!model_.isEditMode() || !current.isValid() || key.modifiers() != Qt::NoModifier) {
        return false;
    }
    const MessageRow& row = rows_->rowAt(current.row());
    if (!row.showDelete || row.layout.empty) {
        return false;
    }
    const Message message = row.message; // the rows are rebuilt under it
    if (key.key() == Qt::Key_Space) {
        if (row.marked) {
            restoreMessage(message);
        } else {
            deleteMessage(message);
        }
        return true;
    }
    if (key.key() == Qt::Key_Delete || key.key() == Qt::Key_Backspace) {
        deleteMessage(message);
        return true;
    }
    return false;
}

// The keyboard starts on a message the user can see, not on the window's first row somewhere above: the arrow keys
// then read on from there, and its ring shows where they are.
void ConversationDisplayView::makeAShownRowCurrent() {
    const QRect shown = list_->viewport()->rect();
    if (list_->currentIndex().isValid() && list_->visualRect(list_->currentIndex()).intersects(shown)) {
        return;
    }
    QModelIndex row = list_->indexAt(QPoint(shown.center().x(), shown.top()));
    const QModelIndex next = list_->indexAt(QPoint(shown.center().x(), list_->visualRect(row).bottom() + 1));
    if (row.isValid() && list_->visualRect(row).top() < shown.top() && next.isValid()) {
        row = next; // the one cut by the top edge is mostly out of sight
    }
    if (row.isValid()) {
        list_->selectionModel()->setCurrentIndex(row, QItemSelectionModel::NoUpdate);
    }
}

void ConversationDisplayView::layoutOverlays() {
    const QRect area = messageArea_->rect();
    loadingLabel_->setGeometry(area);
    emptyRangeLabel_->setGeometry(area.adjusted(16, 16, -16, -16));
    jumpButtons_->adjustSize();
    jumpButtons_->move(area.width() - jumpButtonsInset - jumpButtons_->width(),
                       area.height() - jumpButtonsInset - jumpButtons_->height());
    jumpPanel_->adjustSize();
    jumpPanel_->move(area.center() - QPoint(jumpPanel_->width() / 2, jumpPanel_->height() / 2));
    banner_->adjustSize();
    banner_->move(area.center().x() - banner_->width() / 2, 16);
    loadingLabel_->raise();
    jumpButtons_->raise();
    jumpPanel_->raise();
    banner_->raise();
}

void ConversationDisplayView::refreshList() {
    BubbleContext context;
    context.namer = namer();
    context.theme = appState_->appTheme();
    context.isIPhoneBackup = appState_->isIPhoneBackup();
    context.reportedPictureFailures = &reportedPictureFailures_;
    const std::vector<Message> shown = model_.displayedMessages();
    // The lower end of the list scrolls clear of the jump buttons, so the newest message is read whole. The top
    // keeps only its padding: the position banner floats over it for a moment and goes.
    const qreal endMargin = model_.showsJumpButtons() ? jumpButtons_->sizeHint().height() + 8 : 0;
    // Every row keeps clear of the buttons' column as it scrolls past it: 8 points between the buttons and the
    // bubbles, measured without a scroll bar (with one, the gap only grows).
    const qreal trailingMargin =
        model_.showsJumpButtons() ? jumpButtonsInset + jumpButtons_->sizeHint().width() + 8 - messageListPadding : 0;
    std::vector<MessageRow> rows;
    rows.reserve(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        MessageRow row;
        row.message = shown[i];
        row.layout = model_.rowLayout(static_cast<int>(i));
        row.showDelete = model_.isEditMode();
        row.marked = model_.isMarkedDeleted(row.message.id);
        row.marginAbove = i == 0 ? messageListPadding : 0;
        row.marginBelow = i + 1 == shown.size() ? endMargin : 0;
        row.marginTrailing = trailingMargin;
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
    const bool nothingInRange = !isLoading_ && model_.enableDateFilter() && model_.filteredCount() == 0;
    if (nothingInRange) {
        emptyRangeLabel_->setText(model_.noMessagesInRangeText());
    }
    emptyRangeLabel_->setVisible(nothingInRange);
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
    keepFocusAcrossJump();
    isJumping_ = true;
    jumpPanel_->setText(QStringLiteral("Jumping to oldest message..."));
    model_.jumpToOldest();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { completeJump(true); });
}

void ConversationDisplayView::jumpToNewest() {
    keepFocusAcrossJump();
    isJumping_ = true;
    jumpPanel_->setText(QStringLiteral("Jumping to newest message..."));
    model_.jumpToNewest();
    refreshList();
    platform::runOnMainQueueAfter(100ms, this, [this] { completeJump(false); });
}

// The jump buttons hide while they work, which sends the keyboard on to the next control; a jump pressed from the
// keyboard gives it back to its button once the buttons show again.
void ConversationDisplayView::keepFocusAcrossJump() {
    QWidget* focused = QApplication::focusWidget();
    if (focused != nullptr && jumpButtons_->isAncestorOf(focused)) {
        jumpedFrom_ = focused;
    }
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
    positionBannerMessage_ =
        oldest ? QStringLiteral("Viewing Oldest Messages") : QStringLiteral("Viewing Newest Messages");
    bannerText_->setText(positionBannerMessage_);
    bannerSymbol_->setName(oldest ? QStringLiteral("arrow.up.to.line.circle.fill")
                                  : QStringLiteral("arrow.down.to.line.circle.fill"));
    showPositionBanner_ = true;
    refreshList();
    if (jumpedFrom_ && jumpedFrom_->isVisible()) {
        jumpedFrom_->setFocus(Qt::OtherFocusReason);
    }
    jumpedFrom_ = nullptr;
    // Not cancelled: a later jump's banner may be closed early by this step, as designed.
    platform::runOnMainQueueAfter(2500ms, this, [this] {
        showPositionBanner_ = false;
        refreshList();
    });
}

} // namespace quillobrandt
