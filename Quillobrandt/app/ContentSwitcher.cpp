#include "Quillobrandt/app/ContentSwitcher.h"

#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ContactsRequestView.h"
#include "Quillobrandt/app/PermissionRequestView.h"
#include "Quillobrandt/app/SplashScreenView.h"
#include "platform/qt/NotificationHub.h"

namespace quillobrandt {

Screen chooseScreen(bool showSplash, bool hasFullDiskAccess, bool showContactsRequest) {
    if (showSplash) {
        return Screen::splash;
    }
    if (!hasFullDiskAccess) {
        return Screen::fullDiskAccess;
    }
    if (showContactsRequest) {
        return Screen::contacts;
    }
    return Screen::main;
}

QSize contentSize(Screen screen, bool hasConversations) {
    switch (screen) {
    case Screen::splash: return {550, 450};
    case Screen::fullDiskAccess: return {600, 450};
    case Screen::contacts: return {600, 500};
    case Screen::main: return hasConversations ? QSize(810, 690) : QSize(550, 380);
    }
    return {550, 450};
}

ContentSwitcher::ContentSwitcher(AppState& appState, ScreenFactory mainFactory, platform::NotificationHub* hub,
                                 QWidget* parent)
    : QWidget(parent), appState_(appState), mainFactory_(std::move(mainFactory)),
      hub_(hub != nullptr ? *hub : platform::NotificationHub::defaultCenter()) {
    setObjectName(QStringLiteral("ContentSwitcher"));
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    connect(&appState_, &AppState::showSplashChanged, this, &ContentSwitcher::update);
    connect(&appState_, &AppState::hasFullDiskAccessChanged, this, &ContentSwitcher::update);
    connect(&appState_, &AppState::showContactsRequestChanged, this, &ContentSwitcher::update);
    update();
}

void ContentSwitcher::update() {
    const Screen next =
        chooseScreen(appState_.showSplash(), appState_.hasFullDiskAccess(), appState_.showContactsRequest());
    if (hasScreen_ && next == current_) {
        return;
    }
    if (widget_ != nullptr) {
        layout_->removeWidget(widget_);
        widget_->hide();
        widget_->deleteLater();
    }
    current_ = next;
    hasScreen_ = true;
    widget_ = makeScreen(next);
    layout_->addWidget(widget_, 0, next == Screen::main ? Qt::Alignment() : Qt::AlignCenter);
    widget_->show();
    hub_.post(platform::notification::resizeWindow,
              platform::resizeWindowUserInfo(QSizeF(contentSize(next, !appState_.conversations().empty()))));
    emit screenChanged(next);
}

QWidget* ContentSwitcher::makeScreen(Screen screen) {
    switch (screen) {
    case Screen::splash: return new SplashScreenView(appState_, this);
    case Screen::fullDiskAccess: return new PermissionRequestView(appState_, this);
    case Screen::contacts: return new ContactsRequestView(appState_, this);
    case Screen::main: break;
    }
    QWidget* content = mainFactory_ ? mainFactory_(this) : nullptr;
    return content != nullptr ? content : new QWidget(this);
}

} // namespace quillobrandt
