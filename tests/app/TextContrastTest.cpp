#include <gtest/gtest.h>

#include <QColor>
#include <QPalette>
#include <QWidget>

#include "Quillobrandt/app/Style.h"
#include "Quillobrandt/app/TextContrast.h"
#include "tests/support/qt/DarkPalette.h"

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

// The secondary label colour, made in one place for every caption, time and note, reads 4.5:1 on the window,
// on the controls' background and on the light tints laid behind captions, in a light and a dark palette; it stays
// quieter than the label colour itself.
TEST(TextContrastTest, TheSecondaryLabelColourReadsOnEveryBackgroundItIsDrawnOn) {
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xEF, 0xEF, 0xEF));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    for (const QPalette& palette : {light, qbtest::darkPalette()}) {
        QWidget widget;
        widget.setPalette(palette);
        const QColor secondary = quillobrandt::style::secondaryColour(&widget);
        const QColor label = palette.color(QPalette::WindowText);
        const QColor window = palette.color(QPalette::Window);
        const auto tinted = [&](float a, float b) { return a * 0.9f + b * 0.1f; }; // a tenth of the label colour
        const QColor tint =
            QColor::fromRgbF(tinted(window.redF(), label.redF()), tinted(window.greenF(), label.greenF()),
                             tinted(window.blueF(), label.blueF()));
        const std::string name = window.name().toStdString();
        for (const QColor& background : {window, palette.color(QPalette::Base), tint}) {
            EXPECT_GE(contrastOver(secondary, background, background), readableContrast)
                << name << " palette: " << secondary.name(QColor::HexArgb).toStdString() << " on "
                << background.name().toStdString();
        }
        EXPECT_LT(contrastOver(secondary, window, window), contrastOver(label, window, window) * 0.8)
            << name << ": still a quieter label";
    }
}

} // namespace
