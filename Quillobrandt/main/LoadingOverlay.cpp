#include "Quillobrandt/main/LoadingOverlay.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "Quillobrandt/app/SoftShadow.h"
#include "Quillobrandt/main/MainLabels.h"
#include "Quillobrandt/main/MainViewState.h"

namespace quillobrandt {
namespace {

// The card's rounded background in the control colour.
class Card final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 10, 10);
        painter.fillPath(path, palette().color(QPalette::Base));
    }
};

} // namespace

LoadingOverlay::LoadingOverlay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NoSystemBackground);
    card_ = new Card(this);
    card_->setFixedWidth(350);
    SoftShadow::attach(card_, QColor(0, 0, 0, 51), 10, 20);

    auto* cardLayout = new QVBoxLayout(card_);
    cardLayout->setContentsMargins(24, 24, 24, 24);

    matchingPage_ = new QWidget(card_);
    auto* matchingLayout = new QVBoxLayout(matchingPage_);
    matchingLayout->setContentsMargins(0, 0, 0, 0);
    auto* busy = new QProgressBar(matchingPage_);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    matchingLayout->addWidget(busy);
    matchingLayout->addSpacing(8);
    auto* matchingText = centredLabel(matchingPage_, QString(), 13);
    matchingText->setText(QStringLiteral("Matching contacts..."));
    matchingLayout->addWidget(matchingText);

    progressPage_ = new QWidget(card_);
    auto* progressLayout = new QVBoxLayout(progressPage_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(16);
    progress_ = new QProgressBar(progressPage_);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(300);
    progressLayout->addWidget(progress_, 0, Qt::AlignHCenter);
    message_ = centredLabel(progressPage_, QString(), 13, QFont::DemiBold);
    message_->setWordWrap(true);
    progressLayout->addWidget(message_);
    percent_ = centredLabel(progressPage_, QString(), 10, QFont::Normal, true);
    progressLayout->addWidget(percent_);
    subLine_ = centredLabel(progressPage_, QString(), 10, QFont::Normal, true);
    subLine_->setFixedHeight(16);
    progressLayout->addWidget(subLine_);

    cardLayout->addWidget(matchingPage_);
    cardLayout->addWidget(progressPage_);

    auto* outer = new QVBoxLayout(this);
    outer->addStretch();
    outer->addWidget(card_, 0, Qt::AlignHCenter);
    outer->addStretch();
    hide();
}

void LoadingOverlay::display(const LoadingState& state) {
    const bool matching = state.isMatchingContacts;
    matchingPage_->setVisible(matching);
    progressPage_->setVisible(!matching);
    const double fraction = std::isfinite(state.loadingProgress) ? std::clamp(state.loadingProgress, 0.0, 1.0) : 0.0;
    progress_->setValue(static_cast<int>(fraction * 1000.0));
    message_->setText(QString::fromStdString(state.loadingMessage));
    percent_->setText(state.percentText());
    subLine_->setText(state.subLineText());
    setVisible(state.overlayVisible());
    if (isVisible()) {
        if (parentWidget() != nullptr) {
            setGeometry(parentWidget()->rect());
        }
        raise();
    }
}

QString LoadingOverlay::messageText() const {
    return message_->text();
}
QString LoadingOverlay::percentText() const {
    return percent_->text();
}
QString LoadingOverlay::subLineText() const {
    return subLine_->text();
}
int LoadingOverlay::progressValue() const {
    return progress_->value();
}
bool LoadingOverlay::showsContactMatching() const {
    return !matchingPage_->isHidden();
}

void LoadingOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor veil = palette().color(QPalette::Window);
    veil.setAlphaF(0.95f);
    painter.fillRect(rect(), veil);
}

} // namespace quillobrandt
