// How the sheet fits its screen: its own size, and the shown screen's room within it.
#include <QEvent>
#include <QLayout>

#include <algorithm>

#include "Quillobrandt/app/ScreenFit.h"
#include "Quillobrandt/wizard/iPhoneBackupWizardView.h"

namespace quillobrandt {
namespace {

// Room around a screen and between its parts, and what is left of it on a short screen.
constexpr int kScreenMargin = 32;
constexpr int kCompactScreenMargin = 16;
constexpr int kCompactSpacing = 12;
constexpr const char* kDesignedSpacing = "designedSpacing";

} // namespace

void iPhoneBackupWizardView::keepDesignedSpacing(QWidget& screen) {
    screen.setProperty(kDesignedSpacing, screen.layout()->spacing());
    screen.layout()->setContentsMargins(kScreenMargin, kScreenMargin, kScreenMargin, kScreenMargin);
}

void iPhoneBackupWizardView::applyBoundedSize() {
    // 700 by 850 when the screen has room; never taller or wider than the screen's free area, less a title bar,
    // so the footer stays reachable on a small laptop screen. The content scrolls.
    constexpr QSize kPreferred(700, 850);
    constexpr QSize kSmallest(480, 360);
    const QWidget* anchor = parentWidget() != nullptr ? parentWidget()->window() : this;
    const QSize bounded = fitContentToScreen(kPreferred, QSize(), kFrameAllowance, availableScreenArea(*anchor));
    setMinimumSize(kSmallest.boundedTo(bounded));
    setMaximumSize(bounded);
    resize(bounded);
}

void iPhoneBackupWizardView::fitShownScreen() {
    if (screenView_ == nullptr) {
        return;
    }
    QWidget* screen = screens_.at(static_cast<std::size_t>(currentScreen_));
    QLayout* layout = screen->layout();
    const auto space = [layout](int margin, int spacing) {
        layout->setContentsMargins(margin, margin, margin, margin);
        layout->setSpacing(spacing);
    };
    const int designed = screen->property(kDesignedSpacing).toInt();
    space(kScreenMargin, designed);
    const int width = screenView_->width();
    const int needed =
        layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
    // On a short screen (a small laptop, a scaled desktop) the room between the parts goes first, so that what the
    // user acts on stays in sight without scrolling.
    if (needed > screenView_->height()) {
        space(kCompactScreenMargin, std::min(designed, kCompactSpacing));
    }
}

bool iPhoneBackupWizardView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == screenView_ && event->type() == QEvent::Resize) {
        fitShownScreen();
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace quillobrandt
