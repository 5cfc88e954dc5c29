#pragma once

#include <QColor>

namespace quillobrandt {

// Text reads when it stands out from what is behind it by at least this contrast ratio.
inline constexpr double readableContrast = 4.5;

// The contrast ratio (1 to 21) of two colours as seen over `backdrop`: each one's opacity is blended over
// it first.
double contrastOver(const QColor& a, const QColor& b, const QColor& backdrop);

// The same on white paper.
double printedContrast(const QColor& a, const QColor& b);

// `ink` as text on `background`: itself where it reaches 4.5:1, else the same hue darkened (on a light
// background) or lightened (on a dark one) just until it does.
QColor readableOn(const QColor& ink, const QColor& background);

// Message text on a bubble seen over `backdrop` (the page, or the list behind it): white where it reaches
// 4.5:1, else black (which then always does). The screen and the PDF both follow it, so they agree.
QColor bubbleTextColor(const QColor& bubble, const QColor& backdrop = QColor(Qt::white));

} // namespace quillobrandt
