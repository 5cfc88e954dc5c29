#pragma once

#include <QColor>

#include <vector>

namespace quillobrandt {

// Text reads when it stands out from what is behind it by at least this contrast ratio.
inline constexpr double readableContrast = 4.5;

// The contrast ratio (1 to 21) of two colours as seen over `backdrop`: each one's opacity is blended over
// it first.
double contrastOver(const QColor& a, const QColor& b, const QColor& backdrop);

// `colour` as it looks over the opaque `backdrop` (its opacity blended in). Opaque.
QColor blendOver(const QColor& colour, const QColor& backdrop);

// The same on white paper.
double printedContrast(const QColor& a, const QColor& b);

// `ink` as text on `background`: itself where it reaches 4.5:1, else the same hue darkened (on a light
// background) or lightened (on a dark one) just until it does.
QColor readableOn(const QColor& ink, const QColor& background);

// `label` mixed into the opaque `background` at `share` (0 the background, 1 the label) where that reads 4.5:1 on
// the background and on each of `alsoOn`, else mixed in more strongly just until it does. Opaque.
QColor readableMix(const QColor& label, const QColor& background, double share, const std::vector<QColor>& alsoOn = {});

// Message text on a bubble seen over `backdrop` (the page, or the list behind it): white where it reaches
// 4.5:1, else black (which then always does). The screen and the PDF both follow it, so they agree.
QColor bubbleTextColor(const QColor& bubble, const QColor& backdrop = QColor(Qt::white));

} // namespace quillobrandt
