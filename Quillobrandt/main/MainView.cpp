// The main window's state and wiring; its faces, the loading pipeline and the list actions live beside it.
#include "Quillobrandt/main/MainView.h"

#include <algorithm>
#include <functional>

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
#include "Quillobrandt/main/SearchField.h"
#include "platform/qt/NotificationHub.h"

namespace quillobrandt {

MainView::MainView(AppState* appState, QWidget* parent)
    : QWidget(parent), appState_(appState), analytics_(&GoogleAnalyticsManager::shared()) {
    corvantesk::trackScreen(this, QStringLiteral("MainView"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    faces_ = new QStackedWidget(this);
    loadingDatabaseFace_ = buildLoadingDatabaseFace();
    startScreen_ = buildStartScreen();
    listFace_ = buildConversationList();
    faces_->addWidget(loadingDatabaseFace_);
    faces_->addWidget(startScreen_);
    faces_->addWidget(listFace_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(faces_);
    overlay_ = new LoadingOverlay(this);

    auto& hub = platform::NotificationHub::defaultCenter();
    hub.addObserver(platform::notification::showBackupWizard, this,
                    [this](const QVariantMap&) { setShowingBackupWizard(true); });
    hub.addObserver(platform::notification::databaseLoadingStarted, this, [this](const QVariantMap&) {
        isDatabaseLoading_ = true;
        refreshFace();
    });
    hub.addObserver(platform::notification::databaseLoadingCompleted, this, [this](const QVariantMap&) {
        isDatabaseLoading_ = false;
        refreshFace();
    });
    connect(appState_, &AppState::databaseURLChanged, this, [this] { refreshLoading(); });
    connect(appState_, &AppState::conversationsChanged, this, [this] {
        // Whatever loaded it (this window, the menu, the wizard), the list is searched first.
        focusSearchWhenListShows_ = !appState_->conversations().empty();
        refreshList();
        refreshFace();
        refreshLoading();
        matchContactsIfNeeded();
    });
    connect(appState_, &AppState::participantLabelsChanged, this, [this] { refreshList(); });
    connect(appState_, &AppState::hasContactsAccessChanged, this, [this] {
        refreshList();
        matchContactsIfNeeded();
    });
    connect(appState_, &AppState::contactCacheReset, this, [this] {
        refreshList();
        if (loading_.isMatchingContacts) {
            rematchContacts_ = true; // the running build belongs to the old answer and is discarded
        } else {
            matchContactsIfNeeded();
        }
    });

    refreshList();
    refreshFace();
    refreshLoading();
}

MainView::~MainView() {
    loadStop_.request_stop(); // the load stops soon on the loader thread; its results are dropped with the poster
    if (loading_.isLoading) {
        appState_->endLoad(); // its outcome will never come back
    }
}

MainFace MainView::face() const {
    return chooseMainFace(isDatabaseLoading_, !appState_->conversations().empty());
}

void MainView::refreshFace() {
    switch (face()) {
    case MainFace::loadingDatabase:
        faces_->setCurrentWidget(loadingDatabaseFace_);
        break;
    case MainFace::startScreen:
        faces_->setCurrentWidget(startScreen_);
        break;
    case MainFace::conversationList:
        faces_->setCurrentWidget(listFace_);
        if (focusSearchWhenListShows_) {
            focusSearchWhenListShows_ = false;
            searchField_->setFocus(Qt::OtherFocusReason); // a hidden face could not take it earlier
        }
        break;
    }
    // The designed frame; the list and the menu load's spinner may shrink to fit a smaller window (the list itself
    // scrolls), the start screen keeps its size and scrolls in the window. Each fills whatever room the window has.
    const QSize designed = mainContentSize(!appState_->conversations().empty());
    setMinimumSize(face() == MainFace::startScreen ? designed : kConversationListMinimumSize.boundedTo(designed));
    if (isWindow()) {
        resize(designed);
    } else {
        // Inside a window its layout places the view: a resize here would stand until the window next changes size,
        // and a history replacing the shown one would stretch the list past a smaller window's bottom.
        updateGeometry();
    }
}

void MainView::refreshLoading() {
    emptyDatabaseNote_->setVisible(!loading_.isLoading && appState_->databaseURL().has_value() &&
                                   appState_->conversations().empty());
    startProgress_->setVisible(loading_.isLoading);
    startProgressText_->setText(QString::fromStdString(loading_.loadingMessage));
    overlay_->display(loading_);
}

void MainView::refreshList() {
    const auto& conversations = appState_->conversations();
    std::vector<ConversationRow> rows;
    for (const auto& entry : filteredConversations()) {
        const Conversation& conversation = conversations[entry.index];
        rows.push_back(
            {conversation.id, entry.name,
             firstHandleText(conversation) + QStringLiteral("  •  ") + messageCountText(conversation.messageCount),
             conversation.participants.size() >= 3});
    }
    const bool empty = rows.empty();
    refreshingList_ = true;
    listModel_->setRows(std::move(rows));
    emptyListLabel_->setText(emptyListText(searchText_));
    emptyListLabel_->setVisible(empty);
    placeEmptyListText();
    if (selectedConversationID_) {
        const int row = listModel_->rowOf(*selectedConversationID_);
        if (row >= 0) {
            listView_->setCurrentIndex(listModel_->index(row));
        }
    }
    refreshingList_ = false;
    updateDisplayButton();
}

void MainView::updateDisplayButton() {
    displayButton_->setEnabled(selectedConversation() != nullptr);
}

void MainView::setShowingBackupWizard(bool showing) {
    showingBackupWizard_ = showing;
    if (showing) {
        emit backupWizardRequested();
    }
}

void MainView::setAnalyticsManager(GoogleAnalyticsManager* analytics) {
    analytics_ = analytics != nullptr ? analytics : &GoogleAnalyticsManager::shared();
}

bool MainView::waitForBackgroundWork(int timeoutMs) {
    return appState_->waitForBackgroundLoads(timeoutMs) && work_.waitForDone(timeoutMs);
}

void MainView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appearedOnce_) {
        appearedOnce_ = true;
        matchContactsIfNeeded();
    }
}

void MainView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    overlay_->setGeometry(rect());
    placeEmptyListText();
}

void MainView::placeEmptyListText() {
    const QRect area = listView_->viewport()->rect();
    emptyListLabel_->setGeometry(area.adjusted(24, 0, -24, 0).intersected(QRect(0, 0, area.width(), 120)));
}

bool MainView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == listView_->viewport() && event->type() == QEvent::Resize) {
        placeEmptyListText();
    }
    if (watched == searchField_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Down || key->key() == Qt::Key_PageDown) && key->modifiers() == Qt::NoModifier &&
            listModel_->rowCount() > 0) {
            listView_->setFocus(Qt::TabFocusReason);
            if (!listView_->currentIndex().isValid() ||
                !listView_->selectionModel()->isSelected(listView_->currentIndex())) {
                listView_->setCurrentIndex(listModel_->index(0));
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace quillobrandt
