// The main window's faces as built: the loading face, the start screen with its source cards, and the list.
#include "Corvantesk/qt/ViewTagging.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/main/ConversationListModel.h"
#include "Quillobrandt/main/LoadingOverlay.h"
#include "Quillobrandt/main/MainLabels.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/main/SearchField.h"
#include "platform/qt/NotificationHub.h"
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>

namespace quillobrandt {
namespace {

// Names the control for the telemetry SDK's automatic click tracking.
void tagForTracking(QWidget* widget, const char* id, const char* label) {
    widget->setObjectName(QString::fromLatin1(id));
    corvantesk::trackingID(widget, QString::fromLatin1(id));
    corvantesk::trackingLabel(widget, QString::fromLatin1(label));
}

constexpr int kCardColumnWidth = 180;

// A source card: the symbol button on its tinted backdrop, then title and caption in a 180 point column.
QWidget* sourceCard(QWidget* parent, const char* symbol, const QString& title, const QString& caption,
                    const char* trackingId, const char* trackingLabel, const std::function<void()>& action) {
    auto* card = new QWidget(parent);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto* button = new QToolButton(card);
    button->setAutoRaise(true);
    button->setFixedSize(80, 80);
    setButtonSymbol(*button, QString::fromLatin1(symbol), 32, style::accent());
    button->setStyleSheet(QStringLiteral("QToolButton { background: rgba(255, 140, 120, 26); border: none; "
                                         "border-radius: 16px; }"));
    button->setAccessibleName(title);
    showKeyboardFocus(*button, 1, 16); // the borderless card draws no focus of its own
    tagForTracking(button, trackingId, trackingLabel);
    QObject::connect(button, &QToolButton::clicked, card, action);
    layout->addWidget(button, 0, Qt::AlignHCenter);

    auto* column = new QWidget(card);
    column->setObjectName(QStringLiteral("card_column"));
    column->setFixedWidth(kCardColumnWidth);
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(4);
    auto* titleLabel = centredLabel(column, title, 13, QFont::DemiBold);
    titleLabel->setObjectName(QStringLiteral("card_title"));
    titleLabel->setWordWrap(true); // a title wider than even the widened column wraps rather than clips
    columnLayout->addWidget(titleLabel);
    auto* captionLabel = centredLabel(column, caption, 10, QFont::Normal, true);
    captionLabel->setWordWrap(true);
    columnLayout->addWidget(captionLabel);
    columnLayout->addStretch(1);
    layout->addWidget(column, 0, Qt::AlignHCenter);
    return card;
}

// The cards read as a pair: their columns are equally wide, as wide as the wider title needs (Linux fonts run
// wider than the designed 180 points) within the room the window has, and their titles equally tall, so the
// captions share one line.
void alignCards(const QList<QWidget*>& cards, int room) {
    int width = kCardColumnWidth;
    for (QWidget* card : cards) {
        const auto* title = card->findChild<QLabel*>(QStringLiteral("card_title"));
        width = std::max(width, title->fontMetrics().horizontalAdvance(title->text()) + 2);
    }
    width = std::min(width, room);
    int titleHeight = 0;
    for (QWidget* card : cards) {
        card->findChild<QWidget*>(QStringLiteral("card_column"))->setFixedWidth(width);
        const auto* title = card->findChild<QLabel*>(QStringLiteral("card_title"));
        titleHeight = std::max(titleHeight, title->heightForWidth(width));
    }
    for (QWidget* card : cards) {
        auto* title = card->findChild<QLabel*>(QStringLiteral("card_title"));
        title->setMinimumHeight(titleHeight);
        title->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }
}

} // namespace

QWidget* MainView::buildLoadingDatabaseFace() {
    auto* face = new QWidget(this);
    auto* layout = new QVBoxLayout(face);
    layout->setSpacing(16);
    layout->addStretch();
    auto* spinner = new QProgressBar(face);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedWidth(120);
    layout->addWidget(spinner, 0, Qt::AlignHCenter);
    layout->addWidget(centredLabel(face, QStringLiteral("Loading database..."), 13, QFont::DemiBold));
    layout->addStretch();
    return face;
}

QWidget* MainView::buildStartScreen() {
    auto* face = new QWidget(this);
    auto* outer = new QVBoxLayout(face);
    outer->setContentsMargins(16, 12, 16, 12);
    outer->setSpacing(0);

    auto* feedbackRow = new QHBoxLayout;
    feedbackRow->addStretch();
    auto* feedback = new QToolButton(face);
    feedback->setAutoRaise(true);
    showKeyboardFocus(*feedback);
    feedback->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    feedback->setText(QStringLiteral("Send Feedback"));
    setButtonSymbol(*feedback, QStringLiteral("bubble.left.and.bubble.right"), 10, SymbolInk::secondaryLabel);
    QFont caption = feedback->font();
    caption.setPixelSize(10);
    feedback->setFont(caption);
    feedback->setObjectName(QStringLiteral("send_feedback"));
    connect(feedback, &QToolButton::clicked, this,
            [] { platform::NotificationHub::defaultCenter().post(platform::notification::showFeedback); });
    feedbackRow->addWidget(feedback);
    outer->addLayout(feedbackRow);

    auto* stack = new QVBoxLayout;
    stack->setSpacing(14); // tighter than designed so the folder import fits in the fixed 550 by 380 frame
    // The program's own icon, drawn as the splash and About draw it: no desktop theme carries it.
    auto* icon = new SymbolIcon(QStringLiteral("AppIcon"), 80, style::accent(), face);
    icon->setObjectName(QStringLiteral("start_screen_icon"));
    stack->addWidget(icon, 0, Qt::AlignHCenter);
    stack->addWidget(centredLabel(face, QStringLiteral("Quillobrandt"), 26, QFont::Bold));
    stack->addWidget(centredLabel(face, QStringLiteral("Your Messages, Forever Saved"), 15, QFont::Normal, true));

    auto* cards = new QHBoxLayout;
    cards->setSpacing(40);
    cards->addStretch();
    auto* macCard = sourceCard(face, "desktopcomputer", QStringLiteral("Load Messages from Mac"),
                               QStringLiteral("Access your Mac's Messages app"), "load_mac_messages",
                               "Load Mac Messages", [this] { loadMacMessages(); });
    auto* phoneCard = sourceCard(face, "iphone", QStringLiteral("Load iPhone Messages"),
                                 QStringLiteral("Connect your iPhone via USB"), "load_iphone_messages",
                                 "Load iPhone Messages", [this] { loadIPhoneMessages(); });
    // The designed 550 point frame less the margins and the 40 points between the cards, split in two.
    alignCards({macCard, phoneCard}, (550 - 2 * 16 - 40) / 2);
    cards->addWidget(macCard, 0, Qt::AlignTop);
    cards->addWidget(phoneCard, 0, Qt::AlignTop);
    cards->addStretch();
    stack->addLayout(cards);

    auto* folder = new QPushButton(QStringLiteral("Open Messages Folder…"), face);
    folder->setFlat(true);
    showKeyboardFocus(*folder);
    setButtonSymbol(*folder, QStringLiteral("folder"), 16, style::accent());
    tagForTracking(folder, "open_messages_folder", "Open Messages Folder");
    connect(folder, &QPushButton::clicked, this, [this] { openMessagesFolder(); });
    stack->addWidget(folder, 0, Qt::AlignHCenter);

    // After a load that found nothing, the start screen says so rather than just coming back.
    emptyDatabaseNote_ =
        centredLabel(face, QStringLiteral("No conversations were found in this database."), 12, QFont::Normal, true);
    emptyDatabaseNote_->setObjectName(QStringLiteral("empty_database_text"));
    emptyDatabaseNote_->hide();
    stack->addWidget(emptyDatabaseNote_);

    startProgress_ = new QWidget(face);
    auto* progressLayout = new QVBoxLayout(startProgress_);
    progressLayout->setContentsMargins(0, 6, 0, 0);
    progressLayout->setSpacing(12);
    auto* spinner = new QProgressBar(startProgress_);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedWidth(120);
    progressLayout->addWidget(spinner, 0, Qt::AlignHCenter);
    startProgressText_ = centredLabel(startProgress_, QString(), 13, QFont::Normal, true);
    progressLayout->addWidget(startProgressText_);
    stack->addWidget(startProgress_);

    outer->addStretch();
    outer->addLayout(stack);
    outer->addStretch();
    return face;
}

QWidget* MainView::buildConversationList() {
    auto* face = new QWidget(this);
    auto* layout = new QVBoxLayout(face);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(face);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(12, 8, 12, 8);
    auto* back = new QToolButton(header);
    back->setAutoRaise(true);
    showKeyboardFocus(*back);
    back->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    back->setText(QStringLiteral("Back"));
    setButtonSymbol(*back, QStringLiteral("chevron.left"), 10, style::accent());
    style::setAccentText(*back);
    tagForTracking(back, "back_to_welcome", "Back to Welcome");
    connect(back, &QToolButton::clicked, this, [this] { backToWelcome(); });
    headerLayout->addWidget(back);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(centredLabel(header, QStringLiteral("Conversations"), 13, QFont::DemiBold));
    titles->addWidget(
        centredLabel(header, QStringLiteral("Showing all conversations in this database"), 10, QFont::Normal, true));
    headerLayout->addLayout(titles, 1);
    auto* balance = new QWidget(header); // keeps the titles centred
    balance->setFixedWidth(back->sizeHint().width());
    headerLayout->addWidget(balance);
    layout->addWidget(header);
    auto* divider = new QFrame(face);
    divider->setFrameShape(QFrame::HLine);
    layout->addWidget(divider);

    searchField_ = new SearchField(face);
    searchField_->setPlaceholderText(QStringLiteral("Search for person"));
    connect(searchField_, &QLineEdit::textChanged, this, [this](const QString& text) { setSearchText(text); });
    auto* searchRow = new QHBoxLayout;
    searchRow->setContentsMargins(12, 8, 12, 8);
    searchRow->addWidget(searchField_);
    layout->addLayout(searchRow);

    listModel_ = new ConversationListModel(face);
    listView_ = new QListView(face);
    listView_->setModel(listModel_);
    listView_->setItemDelegate(new ConversationRowDelegate(listView_));
    listView_->setSelectionMode(QAbstractItemView::SingleSelection);
    listView_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    listView_->setUniformItemSizes(true);
    connect(listView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (refreshingList_ || !current.isValid()) {
                    return;
                }
                selectedConversationID_ = current.data(ConversationListModel::IdRole).toString().toStdString();
                updateDisplayButton();
            });
    // Return on the selected row opens it, as does a double-click (or the desktop's single click to activate).
    connect(listView_, &QListView::activated, this, [this](const QModelIndex& index) {
        setSelectedConversationID(index.data(ConversationListModel::IdRole).toString().toStdString());
        displaySelectedConversation();
    });
    layout->addWidget(listView_, 1);
    // Down from the search field walks on into the list.
    searchField_->installEventFilter(this);
    emptyListLabel_ = centredLabel(listView_->viewport(), QString(), 13, QFont::Normal, true);
    emptyListLabel_->setObjectName(QStringLiteral("empty_list_text"));
    emptyListLabel_->setWordWrap(true);
    emptyListLabel_->hide();
    listView_->viewport()->installEventFilter(this); // keeps the text placed as the list's area changes

    displayButton_ = new QPushButton(QStringLiteral("Display Conversation"), face);
    QFont headline = displayButton_->font();
    headline.setPixelSize(13);
    headline.setWeight(QFont::DemiBold);
    displayButton_->setFont(headline);
    makeDefaultButton(*displayButton_);
    tagForTracking(displayButton_, "display_conversation", "Display Conversation");
    connect(displayButton_, &QPushButton::clicked, this, [this] { displaySelectedConversation(); });
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(20, 8, 20, 12);
    footer->addStretch();
    footer->addWidget(displayButton_);
    footer->addStretch();
    layout->addLayout(footer);
    return face;
}

} // namespace quillobrandt
