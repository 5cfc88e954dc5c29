// Check boxes and radio buttons under a dark palette: an unticked one must still be seen.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QImage>
#include <QRadioButton>
#include <QStyleFactory>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>
#include <memory>

#include "Quillobrandt/app/ControlStyle.h"
#include "Quillobrandt/app/TextContrast.h"
#include "tests/support/qt/DarkPalette.h"

namespace {

using qbtest::darkPalette;

double luminance(const QColor& colour) {
    const auto channel = [](double value) {
        return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

// The strongest contrast any pixel of the unticked indicator has against the window behind it.
template <typename Button> double indicatorContrast(QStyle& style, QStyle::SubElement indicator) {
    Button button(QStringLiteral("Show contact names"));
    button.setStyle(&style);
    button.setPalette(darkPalette());
    button.setAutoFillBackground(true);
    button.resize(button.sizeHint());
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    const QRect box = style.subElementRect(indicator, &option, &button);
    const QImage image = button.grab().toImage();
    const double window = luminance(darkPalette().color(QPalette::Window));
    double best = 1.0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const double pixel = luminance(image.pixelColor(x, y));
            best = std::max(best, (std::max(pixel, window) + 0.05) / (std::min(pixel, window) + 0.05));
        }
    }
    return best;
}

TEST(ControlStyleTest, UntickedBoxesAndRadioButtonsStandOutFromADarkWindow) {
    // Fusion on its own: the edge is darker than the dark window, the box all but invisible.
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    ASSERT_NE(fusion, nullptr);
    EXPECT_LT(indicatorContrast<QCheckBox>(*fusion, QStyle::SE_CheckBoxIndicator), 2.0);

    // The application's style: an edge of at least 3:1, the least a control's outline needs to be seen.
    quillobrandt::ControlStyle ours(QStyleFactory::create(QStringLiteral("Fusion")));
    EXPECT_GE(indicatorContrast<QCheckBox>(ours, QStyle::SE_CheckBoxIndicator), 3.0);
    EXPECT_GE(indicatorContrast<QRadioButton>(ours, QStyle::SE_RadioButtonIndicator), 3.0);

    // A light window keeps the base style's own edge.
    EXPECT_FALSE(quillobrandt::ControlStyle::indicatorEdge(QPalette(QColor(0xec, 0xec, 0xec))).isValid());
    EXPECT_TRUE(quillobrandt::ControlStyle::indicatorEdge(darkPalette()).isValid());
}

// A desktop theme may leave the placeholder colour (the hint in an empty field: "Search for person", "Backup
// password") at the toolkit's half-black default: 4:1 on a white field and all but invisible on a dark one. The
// application's style gives every colour group a placeholder that reads 4.5:1 on its field, and leaves one that
// reads alone.
TEST(ControlStyleTest, PlaceholdersReadOnTheirFieldsInAnyThemePalette) {
    QPalette dark = darkPalette();
    dark.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128)); // as a theme without its own hands it over
    QPalette light(QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128));
    quillobrandt::ControlStyle style(QStyleFactory::create(QStringLiteral("Fusion")));
    for (QPalette palette : {light, dark}) {
        style.polish(palette);
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            const QColor base = palette.color(group, QPalette::Base);
            EXPECT_GE(quillobrandt::contrastOver(palette.color(group, QPalette::PlaceholderText), base, base),
                      quillobrandt::readableContrast)
                << (palette.color(QPalette::Base).lightness() < 128 ? "dark" : "light") << " group " << group;
        }
    }
    QPalette readable = darkPalette();
    style.polish(readable);
    EXPECT_EQ(readable.color(QPalette::PlaceholderText), darkPalette().color(QPalette::PlaceholderText))
        << "a placeholder that reads is the theme's own";
}

} // namespace
