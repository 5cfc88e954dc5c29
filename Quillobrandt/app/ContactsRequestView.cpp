#include "Quillobrandt/app/ContactsRequestView.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/ButtonSpinner.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "platform/core/Console.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {

ContactsRequestView::ContactsRequestView(AppState& appState, QWidget* parent) : QWidget(parent), appState_(appState) {
    setObjectName(QStringLiteral("ContactsRequestView"));
    setFixedSize(550, 400);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 40, 40, 40);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addWidget(new SymbolIcon(QStringLiteral("person.crop.circle.fill"), 80, style::accent()), 0,
                      Qt::AlignHCenter);
    layout->addSpacing(20);
    auto* title = style::makeLabel(QStringLiteral("Enable Contacts (Optional)"), style::systemFont(28, QFont::Bold),
                                   style::primaryText());
    title->setWordWrap(false);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    layout->addSpacing(12);
    auto* explanation =
        style::makeLabel(QStringLiteral("Quillobrandt can display contact names instead of phone numbers."),
                         style::font(style::TextStyle::body), style::primaryText());
    explanation->setWordWrap(false);
    explanation->setAlignment(Qt::AlignCenter);
    explanation->setMaximumWidth(450);
    layout->addWidget(explanation, 0, Qt::AlignHCenter);
    layout->addSpacing(30);
    auto* privacyRow = new QHBoxLayout;
    privacyRow->setSpacing(4);
    privacyRow->addStretch();
    privacyRow->addWidget(new SymbolIcon(QStringLiteral("lock.fill"), 11, style::secondaryText(), this), 0,
                          Qt::AlignVCenter);
    auto* privacy = style::makeLabel(QStringLiteral("All lookups happen locally on your device"),
                                     style::font(style::TextStyle::subheadline), style::secondaryText());
    privacy->setObjectName(QStringLiteral("privacyNote"));
    privacy->setWordWrap(false);
    privacyRow->addWidget(privacy);
    privacyRow->addStretch();
    layout->addLayout(privacyRow);
    layout->addSpacing(30);

    enableButton_ = new QPushButton(this);
    enableButton_->setObjectName(QStringLiteral("enableContactsButton"));
    enableButton_->setFont(style::font(style::TextStyle::headline));
    enableButton_->setMinimumSize(200, 36);
    makeDefaultButton(*enableButton_);
    // Return presses the button the keyboard is on (outside a dialog a default button takes no Return by itself).
    enableButton_->setAutoDefault(true);
    layout->addWidget(enableButton_, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    skipButton_ = new QPushButton(QStringLiteral("Skip"), this);
    skipButton_->setObjectName(QStringLiteral("skipContactsButton"));
    skipButton_->setFlat(true);
    skipButton_->setAutoDefault(true);
    showKeyboardFocus(*skipButton_);
    skipButton_->setFont(style::font(style::TextStyle::subheadline));
    skipButton_->setMinimumSize(200, 28);
    layout->addWidget(skipButton_, 0, Qt::AlignHCenter);
    layout->addStretch();

    spinner_ = new ButtonSpinner(enableButton_);
    setRequesting(false);
    connect(enableButton_, &QPushButton::clicked, this, [this] { requestAccess(); });
    connect(skipButton_, &QPushButton::clicked, this, [this] { dismissRequest(); });
}

void ContactsRequestView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The keyboard starts on the designed default, so Return asks at once.
    if (!enableButton_->hasFocus() && !skipButton_->hasFocus()) {
        enableButton_->setFocus(Qt::OtherFocusReason);
    }
}

void ContactsRequestView::setRequesting(bool requesting) {
    isRequesting_ = requesting;
    enableButton_->setEnabled(!requesting);
    if (requesting) {
        enableButton_->setText(QStringLiteral("Requesting..."));
        spinner_->start();
    } else {
        spinner_->stop();
        setButtonSymbol(*enableButton_, QStringLiteral("person.crop.circle"), 16, style::primaryText());
        enableButton_->setText(QStringLiteral("Enable Contacts"));
    }
}

void ContactsRequestView::requestAccess() {
    if (isRequesting_) {
        return; // one prompt at a time
    }
    setRequesting(true);
    PermissionManager::requestContactsAccess([this](bool granted) { handleAccessResult(granted); }, this);
}

void ContactsRequestView::handleAccessResult(bool granted) {
    setRequesting(false);
    if (!granted &&
        PermissionManager::contactsAuthorizationStatus() == platform::ContactAuthorizationStatus::notDetermined) {
        return; // the prompt closed without an answer: the question stays on screen
    }
    appState_.setHasContactsAccess(granted);
    if (granted) {
        platform::consoleLine("✅ Contacts permission granted");
        AppState* state = &appState_;
        platform::runOnMainQueueAfter(grantedDismissDelay, state, [state] { state->setShowContactsRequest(false); });
    } else {
        appState_.setShowContactsRequest(false);
    }
}

void ContactsRequestView::dismissRequest() {
    appState_.setShowContactsRequest(false);
}

} // namespace quillobrandt
