#include "Quillobrandt/conversation/TextContrast.h"

#include <algorithm>
#include <cmath>

namespace quillobrandt {
namespace {

double linearChannel(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Relative luminance of the colour as it looks over the opaque `backdrop`.
double luminanceOver(const QColor& colour, const QColor& backdrop) {
    const QColor rgb = colour.toRgb();
    const QColor under = backdrop.toRgb();
    const double alpha = std::clamp(rgb.alphaF(), 0.0f, 1.0f);
    const auto seen = [alpha](double c, double behind) { return linearChannel(c * alpha + behind * (1.0 - alpha)); };
    return 0.2126 * seen(rgb.redF(), under.redF()) + 0.7152 * seen(rgb.greenF(), under.greenF()) +
           0.0722 * seen(rgb.blueF(), under.blueF());
}

} // namespace

double contrastOver(const QColor& a, const QColor& b, const QColor& backdrop) {
    const double la = luminanceOver(a, backdrop);
    const double lb = luminanceOver(b, backdrop);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

double printedContrast(const QColor& a, const QColor& b) {
    return contrastOver(a, b, QColor(Qt::white));
}

QColor bubbleTextColor(const QColor& bubble, const QColor& backdrop) {
    const QColor white(Qt::white);
    if (contrastOver(white, bubble, backdrop) >= readableContrast) {
        return white;
    }
    return QColor(Qt::black);
}

} // namespace quillobrandt
