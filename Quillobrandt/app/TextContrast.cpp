#include "Quillobrandt/app/TextContrast.h"

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

QColor blendOver(const QColor& colour, const QColor& backdrop) {
    const QColor rgb = colour.toRgb();
    const QColor under = backdrop.toRgb();
    const float alpha = std::clamp(rgb.alphaF(), 0.0f, 1.0f);
    const auto channel = [alpha](float c, float behind) { return c * alpha + behind * (1.0f - alpha); };
    return QColor::fromRgbF(channel(rgb.redF(), under.redF()), channel(rgb.greenF(), under.greenF()),
                            channel(rgb.blueF(), under.blueF()));
}

double printedContrast(const QColor& a, const QColor& b) {
    return contrastOver(a, b, QColor(Qt::white));
}

QColor readableOn(const QColor& ink, const QColor& background) {
    const QColor opaque = background.toRgb();
    if (contrastOver(ink, opaque, opaque) >= readableContrast) {
        return ink;
    }
    // Towards black on a light background, towards white on a dark one, in small steps of the same hue.
    const bool light =
        contrastOver(QColor(Qt::black), opaque, opaque) >= contrastOver(QColor(Qt::white), opaque, opaque);
    const QColor rgb = ink.toRgb();
    QColor shade = rgb;
    for (int step = 1; step <= 100; ++step) {
        const double keep = 1.0 - step / 100.0;
        const auto channel = [&](double c) { return light ? c * keep : 1.0 - (1.0 - c) * keep; };
        shade.setRgbF(static_cast<float>(channel(rgb.redF())), static_cast<float>(channel(rgb.greenF())),
                      static_cast<float>(channel(rgb.blueF())), rgb.alphaF());
        if (contrastOver(shade, opaque, opaque) >= readableContrast) {
            break;
        }
    }
    return shade;
}

QColor readableMix(const QColor& label, const QColor& background, double share, const std::vector<QColor>& alsoOn) {
    const QColor ink = label.toRgb();
    const QColor under = background.toRgb();
    const auto reads = [&](const QColor& colour) {
        if (contrastOver(colour, under, under) < readableContrast) {
            return false;
        }
        return std::all_of(alsoOn.begin(), alsoOn.end(), [&](const QColor& other) {
            const QColor opaque = other.toRgb();
            return contrastOver(colour, opaque, opaque) >= readableContrast;
        });
    };
    QColor mixed;
    for (int step = 0; step <= 100; ++step) {
        const double s = std::min(1.0, share + step / 100.0);
        const auto channel = [s](double a, double b) { return static_cast<float>(b + (a - b) * s); };
        mixed.setRgbF(channel(ink.redF(), under.redF()), channel(ink.greenF(), under.greenF()),
                      channel(ink.blueF(), under.blueF()));
        if (s >= 1.0 || reads(mixed)) {
            break;
        }
    }
    return mixed;
}

QColor bubbleTextColor(const QColor& bubble, const QColor& backdrop) {
    const QColor white(Qt::white);
    if (contrastOver(white, bubble, backdrop) >= readableContrast) {
        return white;
    }
    return QColor(Qt::black);
}

} // namespace quillobrandt
