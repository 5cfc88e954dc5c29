#include <gtest/gtest.h>

#include <QColor>

#include "Quillobrandt/app/TextContrast.h"

namespace {

using quillobrandt::contrastOver;
using quillobrandt::readableContrast;
using quillobrandt::readableOn;

TEST(TextContrastTest, RatiosAreTheWebContentGuidelinesOnesAndReadableOnKeepsTheHue) {
    const QColor white(Qt::white);
    EXPECT_NEAR(contrastOver(QColor(Qt::black), white, white), 21.0, 1e-9);
    EXPECT_NEAR(contrastOver(QColor(0x77, 0x77, 0x77), white, white), 4.48, 0.01);
    EXPECT_NEAR(contrastOver(white, white, white), 1.0, 1e-9);
    // Half-transparent black over white is the gray it shows as.
    EXPECT_NEAR(contrastOver(QColor(0, 0, 0, 128), white, white), contrastOver(QColor(0x7f, 0x7f, 0x7f), white, white),
                0.05);

    const QColor orange(0xFF, 0x95, 0x00);
    const QColor lightGray(0xEF, 0xEF, 0xEF);
    const QColor dark(0x2D, 0x2D, 0x2D);
    EXPECT_LT(contrastOver(orange, lightGray, lightGray), 2.5);
    const QColor onLight = readableOn(orange, lightGray);
    EXPECT_GE(contrastOver(onLight, lightGray, lightGray), readableContrast);
    EXPECT_LT(contrastOver(onLight, lightGray, lightGray), readableContrast + 0.3) << "no darker than it must be";
    EXPECT_NEAR(onLight.hsvHue(), orange.hsvHue(), 2);
    EXPECT_EQ(readableOn(orange, dark), orange) << "reads there already";
    const QColor blueOnDark = readableOn(QColor(0x00, 0x3A, 0x8F), dark);
    EXPECT_GE(contrastOver(blueOnDark, dark, dark), readableContrast);
    EXPECT_GT(blueOnDark.lightness(), QColor(0x00, 0x3A, 0x8F).lightness()) << "lightened on a dark window";
}

} // namespace
