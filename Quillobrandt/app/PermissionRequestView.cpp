#include "Quillobrandt/app/PermissionRequestView.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/PermissionManager.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Console.h"

namespace quillobrandt {
namespace {

void logInfo(const std::string& line) {
    Logger::shared().log(line, Logger::Level::info);
}

QColor faded(QColor colour, float alpha) {
    colour.setAlphaF(alpha);
    return colour;
}

} // namespace

InfoBox::InfoBox(const QString& icon, const QColor& iconColor, const QString& title, const QString& subtitle,
                 const QColor& backgroundColor, QWidget* parent)
    : QWidget(parent), backgroundColor_(backgroundColor) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 14, 14, 14);
    row->setSpacing(12);
    auto* iconColumn = new QWidget(this);
    iconColumn->setFixedWidth(24);
    auto* iconLayout = new QVBoxLayout(iconColumn);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->addWidget(new SymbolIcon(icon, 20, iconColor), 0, Qt::AlignHCenter | Qt::AlignTop);
    iconLayout->addStretch();
    row->addWidget(iconColumn);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    QFont titleFont = style::font(style::TextStyle::subheadline);
    titleFont.setWeight(QFont::DemiBold);
    texts->addWidget(style::makeLabel(title, titleFont, style::primaryText()));
    texts->addWidget(style::makeLabel(subtitle, style::font(style::TextStyle::caption), style::secondaryText()));
    row->addLayout(texts, 1);
}

void InfoBox::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()), 10, 10);
    painter.fillPath(card, backgroundColor_);
}

PermissionRequestView::PermissionRequestView(AppState& appState, QWidget* parent)
    : QWidget(parent), appState_(appState) {
    setObjectName(QStringLiteral("PermissionRequestView"));
    setFixedSize(600, 450);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 0, 40, 0);
    layout->setSpacing(24);
    layout->addSpacing(20);
    layout->addWidget(new SymbolIcon(QStringLiteral("key.fill"), 70, style::accent()), 0, Qt::AlignHCenter);
    auto* title = style::makeLabel(QStringLiteral("One Quick Permission"), style::systemFont(32, QFont::Bold),
                                   style::primaryText());
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* explanation = new QVBoxLayout;
    explanation->setSpacing(16);
    auto* intro = style::makeLabel(QStringLiteral("Quillobrandt needs permission to read your Messages database."),
                                   style::font(style::TextStyle::body), style::primaryText());
    intro->setAlignment(Qt::AlignCenter);
    intro->setContentsMargins(40, 0, 40, 0);
    explanation->addWidget(intro);
    disclosureButton_ = new QPushButton(QStringLiteral("Why is this needed?"), this);
    disclosureButton_->setObjectName(QStringLiteral("whyButton"));
    disclosureButton_->setFlat(true);
    showKeyboardFocus(*disclosureButton_);
    disclosureButton_->setFont(style::font(style::TextStyle::subheadline));
    explanation->addWidget(disclosureButton_, 0, Qt::AlignHCenter);
    details_ = new QWidget(this);
    details_->setFixedWidth(480);
    auto* cards = new QVBoxLayout(details_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(12);
    cards->addWidget(new InfoBox(QStringLiteral("doc.text.fill"), style::blue(),
                                 QStringLiteral("We only access your Messages"),
                                 QStringLiteral("Quillobrandt reads your Messages database and photo attachments. "
                                                "Nothing else — no Mail, Safari, or other files."),
                                 faded(style::blue(), 0.08F), details_));
    cards->addWidget(new InfoBox(QStringLiteral("lock.fill"), style::orange(),
                                 QStringLiteral("Everything stays private"),
                                 QStringLiteral("Your messages never leave your Mac. The app works completely offline "
                                                "with no internet connection."),
                                 faded(style::orange(), 0.08F), details_));
    cards->addWidget(new InfoBox(QStringLiteral("checkmark.shield.fill"), style::green(),
                                 QStringLiteral("Not an admin permission"),
                                 QStringLiteral("This is a privacy setting you control in System Settings. It doesn't "
                                                "give Quillobrandt special system privileges."),
                                 faded(style::green(), 0.08F), details_));
    details_->hide();
    explanation->addWidget(details_, 0, Qt::AlignHCenter);
    layout->addLayout(explanation);
    layout->addSpacing(10);

    openSettingsButton_ = new QPushButton(QStringLiteral("Open System Settings"), this);
    setButtonSymbol(*openSettingsButton_, QStringLiteral("gear"), 16, style::primaryText());
    openSettingsButton_->setObjectName(QStringLiteral("openSystemSettingsButton"));
    openSettingsButton_->setFont(style::font(style::TextStyle::headline));
    openSettingsButton_->setMinimumSize(200, 40);
    makeDefaultButton(*openSettingsButton_);
    layout->addWidget(openSettingsButton_, 0, Qt::AlignHCenter);
    auto* checking = style::makeLabel(QStringLiteral("Checking automatically..."),
                                      style::font(style::TextStyle::caption), style::secondaryText());
    checking->setAlignment(Qt::AlignCenter);
    layout->addWidget(checking);
    layout->addSpacing(10);
    layout->addStretch();

    setShowDetails(false);
    connect(disclosureButton_, &QPushButton::clicked, this, [this] { setShowDetails(!showDetails_); });
    connect(openSettingsButton_, &QPushButton::clicked, this, [] { PermissionManager::openFullDiskAccessSettings(); });
}

PermissionRequestView::~PermissionRequestView() {
    stopMonitoring();
}

void PermissionRequestView::setShowDetails(bool show) {
    showDetails_ = show;
    details_->setVisible(show);
    setButtonSymbol(*disclosureButton_, show ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), 12,
                    style::accent());
    setFixedSize(600, show ? 650 : 450);
}

void PermissionRequestView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    platform::consoleLine("📋 Permission request screen appeared");
    logInfo("📋 Permission request screen appeared");
    startMonitoring();
}

void PermissionRequestView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    platform::consoleLine("👋 Permission request screen disappeared");
    stopMonitoring();
}

void PermissionRequestView::startMonitoring() {
    platform::consoleLine("🎬 Starting FDA monitoring...");
    stopMonitoring();
    checkPermission();
    if (appState_.hasFullDiskAccess()) {
        return; // advanced at once; nothing left to watch
    }
    monitoringTimer_ = new QTimer(this);
    monitoringTimer_->setInterval(1000);
    connect(monitoringTimer_, &QTimer::timeout, this, &PermissionRequestView::checkPermission);
    monitoringTimer_->start();
    platform::consoleLine("✅ Timer scheduled");
}

void PermissionRequestView::checkPermission() {
    if (!PermissionManager::hasFullDiskAccess()) {
        return;
    }
    platform::consoleLine("✅ FDA permission granted! Advancing to Contacts...");
    logInfo("✅ FDA permission granted! Advancing to Contacts...");
    stopMonitoring();
    advanceAfterGrant();
}

void PermissionRequestView::stopMonitoring() {
    if (monitoringTimer_ != nullptr) {
        monitoringTimer_->stop();
        monitoringTimer_->deleteLater();
        monitoringTimer_ = nullptr;
    }
}

void PermissionRequestView::advanceAfterGrant() {
    logInfo("➡️ FDA granted, checking if should show Contacts");
    appState_.setHasFullDiskAccess(true);
    appState_.checkFullDiskAccess();
    appState_.checkIfShouldRequestContacts();
    if (appState_.showContactsRequest()) {
        logInfo("📇 Will show Contacts request next");
    } else {
        logInfo("⏭️ Skipping Contacts request, loading database");
        appState_.loadDefaultDatabase();
    }
}

} // namespace quillobrandt
