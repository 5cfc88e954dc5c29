#include "Quillobrandt/app/SplashScreenView.h"

#include <QGraphicsOpacityEffect>
#include <QImage>
#include <QTimer>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/SymbolIcon.h"
#include "platform/qt/MainQueue.h"

namespace quillobrandt {

SplashScreenView::SplashScreenView(AppState& appState, QWidget* parent, std::chrono::milliseconds handOver)
    : QWidget(parent), appState_(appState), handOver_(handOver) {
    setObjectName(QStringLiteral("SplashScreenView"));
    setFixedSize(550, 450);
    setAutoFillBackground(true);

    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->setSpacing(20);
    layout->addWidget(new SymbolIcon(QStringLiteral("AppIcon"), 128, style::accent()), 0, Qt::AlignHCenter);
    auto* name = style::makeLabel(QStringLiteral("Quillobrandt"), style::systemFont(36, QFont::Bold),
                                  style::primaryText());
    name->setWordWrap(false);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);
    auto* tagline = style::makeLabel(QStringLiteral("Preserve your conversations forever"), style::systemFont(16),
                                     style::secondaryText());
    tagline->setWordWrap(false);
    tagline->setAlignment(Qt::AlignCenter);
    layout->addWidget(tagline);

    opacityEffect_ = new QGraphicsOpacityEffect(column);
    opacityEffect_->setOpacity(0.0);
    column->setGraphicsEffect(opacityEffect_);

    // Draw the icon and texts once now, off screen: loading the fonts and the symbol then happens before the
    // window appears, not in its first frames, which would otherwise stay blank.
    for (QWidget* part : column->findChildren<QWidget*>()) {
        QImage scratch(part->sizeHint().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
        part->render(&scratch);
    }

    auto* outer = new QVBoxLayout(this);
    outer->addStretch();
    outer->addWidget(column, 0, Qt::AlignCenter);
    outer->addStretch();
}

double SplashScreenView::opacity() const { return opacityEffect_->opacity(); }

void SplashScreenView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appeared_) {
        appeared_ = true;
        onAppear();
    }
}

void SplashScreenView::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (!fadeStarted_ && appeared_) {
        // The fade starts with the first frame on screen, so none of it passes while the window is still mapping.
        fadeStarted_ = true;
        QTimer::singleShot(0, this, [this] { startFade(); });
    }
}

void SplashScreenView::onAppear() {
    // Bound to the state, not to this screen: the hand-over happens even if the screen goes away first.
    AppState* state = &appState_;
    platform::runOnMainQueueAfter(handOver_, state, [state] { state->dismissSplash(); });
}

void SplashScreenView::startFade() {
    auto* fade = new QPropertyAnimation(opacityEffect_, "opacity", this);
    fade->setDuration(static_cast<int>(fadeDuration.count()));
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    fade->setEasingCurve(QEasingCurve::InQuad);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace quillobrandt
