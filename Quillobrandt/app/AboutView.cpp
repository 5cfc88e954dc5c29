#include "Quillobrandt/app/AboutView.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Quillobrandt/app/FocusRing.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "platform/core/BundleInfo.h"
#include "platform/qt/DesktopServices.h"
#include "platform/qt/PlatformServices.h"

namespace quillobrandt {
namespace {

constexpr int headerHeight = 220;

QFont roundedFont(int pixelSize, QFont::Weight weight) {
    QFont font = style::systemFont(pixelSize, weight);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

} // namespace

QString aboutVersionLine(const std::optional<std::string>& shortVersion, const std::optional<std::string>& build) {
    return QStringLiteral("Version ") + QString::fromStdString(shortVersion.value_or("1.0")) +
           QStringLiteral(" (Build ") + QString::fromStdString(build.value_or("1")) + QStringLiteral(")");
}

AboutView::AboutView(QWidget* parent)
    : QWidget(parent),
      appVersion_(QString::fromStdString(platform::bundleInfoValue("CFBundleShortVersionString").value_or("1.0"))),
      buildNumber_(QString::fromStdString(platform::bundleInfoValue("CFBundleVersion").value_or("1"))) {
    setObjectName(QStringLiteral("AboutView"));
    setFixedSize(320, 420);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 20);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    header->setFixedHeight(headerHeight);
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(0, 30, 0, 30);
    headerLayout->setSpacing(4);
    auto* icon = new SymbolIcon(QStringLiteral("AppIcon"), 100, style::accent(), header);
    auto* shadow = new QGraphicsDropShadowEffect(icon);
    shadow->setColor(QColor(0, 0, 0, 38));
    shadow->setBlurRadius(8);
    shadow->setOffset(0, 2);
    icon->setGraphicsEffect(shadow);
    headerLayout->addWidget(icon, 0, Qt::AlignHCenter);
    auto* name = style::makeLabel(QStringLiteral("Quillobrandt"), roundedFont(28, QFont::Bold), style::primaryText());
    name->setAlignment(Qt::AlignCenter);
    headerLayout->addWidget(name);
    auto* tagline = style::makeLabel(QStringLiteral("Your Messages, Forever Saved"),
                                     style::systemFont(14, QFont::Medium), style::secondaryText());
    tagline->setAlignment(Qt::AlignCenter);
    headerLayout->addWidget(tagline);
    layout->addWidget(header);

    layout->addSpacing(20);
    auto* version = style::makeLabel(aboutVersionLine(appVersion_.toStdString(), buildNumber_.toStdString()),
                                     style::systemFont(13, QFont::Medium), style::primaryText());
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setAlignment(Qt::AlignCenter);
    layout->addWidget(version);
    layout->addSpacing(12);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    auto* dividerRow = new QHBoxLayout;
    dividerRow->setContentsMargins(40, 0, 40, 0);
    dividerRow->addWidget(divider);
    layout->addLayout(dividerRow);
    layout->addSpacing(12);

    auto* dedication = style::makeLabel(QStringLiteral("Created with love for my amazing wife"), style::systemFont(13),
                                        style::secondaryText());
    dedication->setAlignment(Qt::AlignCenter);
    layout->addWidget(dedication);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(4);
    nameRow->addStretch();
    nameRow->addWidget(
        style::makeLabel(QString::fromUtf8(dedicationName), roundedFont(16, QFont::DemiBold), style::primaryText()));
    QFont heartFont = style::systemFont(16);
    heartFont.setFamilies({QStringLiteral("Noto Color Emoji"), heartFont.family()});
    nameRow->addWidget(style::makeLabel(QStringLiteral("❤️"), heartFont, style::primaryText()));
    nameRow->addStretch();
    layout->addLayout(nameRow);
    layout->addStretch();

    const QString website = QString::fromStdString(platform::bundleWebsite());
    websiteButton_ = new QPushButton(website, this);
    websiteButton_->setObjectName(QStringLiteral("websiteButton"));
    websiteButton_->setFlat(true);
    showKeyboardFocus(*websiteButton_);
    websiteButton_->setFont(style::systemFont(12));
    style::setAccentText(*websiteButton_);
    websiteButton_->setCursor(Qt::PointingHandCursor);
    layout->addWidget(websiteButton_, 0, Qt::AlignHCenter);
    connect(websiteButton_, &QPushButton::clicked, this, [website] {
        const QUrl url(website, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty()) {
            platform::desktopServices()->openUrl(url);
        }
    });
}

void AboutView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), style::windowBackground());
    QLinearGradient gradient(0, 0, 0, headerHeight);
    gradient.setColorAt(0, style::windowBackground());
    gradient.setColorAt(1, style::controlBackground());
    painter.fillRect(QRect(0, 0, width(), headerHeight), gradient);
}

} // namespace quillobrandt
