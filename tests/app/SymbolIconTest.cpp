#include <gtest/gtest.h>

#include <QCheckBox>
#include <QImage>
#include <QPainter>
#include <QPushButton>

#include "Quillobrandt/app/SymbolIcon.h"

namespace {

using quillobrandt::symbolImage;

int inkedPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        }
    }
    return count;
}

// Every symbol name the screens are designed with.
const char* const kDesignedSymbols[] = {
    "AppIcon", "arrow.down", "arrow.up", "arrow.right", "arrow.down.circle", "arrow.down.circle.fill",
    "arrow.up.circle.fill", "arrow.up.to.line.circle.fill", "arrow.down.to.line.circle.fill", "arrow.down.doc",
    "arrow.down.doc.fill", "bubble.left.and.bubble.right", "bubble.left.and.bubble.right.fill", "calendar",
    "checkmark.circle", "checkmark.circle.fill", "checkmark.shield.fill", "chevron.down", "chevron.left",
    "chevron.right", "desktopcomputer", "doc.text", "doc.text.fill", "exclamationmark.triangle.fill", "eye",
    "eye.slash", "folder", "folder.badge.questionmark", "gear", "info.circle.fill", "iphone",
    "iphone.radiowaves.left.and.right", "key.fill", "lightbulb", "lock", "lock.fill", "lock.circle.fill",
    "magnifyingglass", "paperclip", "pencil", "pencil.circle.fill", "person.3.fill", "person.crop.circle",
    "person.crop.circle.fill", "photo", "questionmark.circle", "sidebar.left", "square.and.arrow.down.fill", "tag",
    "trash", "xmark.circle.fill",
};

TEST(SymbolIcon, EveryDesignedSymbolIsCompiledInAndDrawsInk) {
    for (const char* name : kDesignedSymbols) {
        const QString symbol = QString::fromUtf8(name);
        EXPECT_TRUE(quillobrandt::isKnownSymbol(symbol)) << name;
        EXPECT_TRUE(quillobrandt::knownSymbolNames().contains(symbol)) << name;
        const QImage image = symbolImage(symbol, QSize(48, 48), Qt::black);
        // Some ink, and not a filled square either.
        EXPECT_GT(inkedPixels(image), 48 * 48 / 20) << name;
        EXPECT_LT(inkedPixels(image), 48 * 48) << name;
    }
}

TEST(SymbolIcon, InkTakesTheTintAndKnockOutsStayTransparent) {
    const QColor red(0xFF, 0x3B, 0x30);
    const QImage cross = symbolImage(QStringLiteral("xmark.circle.fill"), QSize(48, 48), red);
    // The disc is red; the cross cut into it shows what lies beneath.
    const QRgb ring = cross.pixel(24, 4);
    EXPECT_EQ(qAlpha(ring), 255);
    EXPECT_EQ(QColor(ring).rgb(), red.rgb());
    EXPECT_EQ(qAlpha(cross.pixel(24, 24)), 0);
    // A half-transparent tint stays half transparent.
    const QImage faded = symbolImage(QStringLiteral("xmark.circle.fill"), QSize(48, 48), QColor(0, 0, 0, 128));
    EXPECT_EQ(qAlpha(faded.pixel(24, 4)), 128);
}

TEST(SymbolIcon, TheApplicationTileKeepsItsOwnColoursAndUnknownNamesDrawNothing) {
    const QImage tile = symbolImage(QStringLiteral("AppIcon"), QSize(64, 64), Qt::black);
    EXPECT_NE(QColor(tile.pixel(32, 2)).rgb(), QColor(Qt::black).rgb());
    EXPECT_EQ(qAlpha(tile.pixel(32, 2)), 255);
    EXPECT_FALSE(quillobrandt::isKnownSymbol(QStringLiteral("no.such.symbol")));
    EXPECT_FALSE(quillobrandt::isKnownSymbol(QString()));
    EXPECT_EQ(inkedPixels(symbolImage(QStringLiteral("no.such.symbol"), QSize(24, 24), Qt::black)), 0);
    EXPECT_EQ(inkedPixels(symbolImage(QStringLiteral("../symbols/gear"), QSize(24, 24), Qt::black)), 0);
    EXPECT_TRUE(symbolImage(QStringLiteral("gear"), QSize(0, 0), Qt::black).isNull() ||
                symbolImage(QStringLiteral("gear"), QSize(0, 0), Qt::black).size().isEmpty());
}

TEST(SymbolIcon, TheWidgetPaintsItsSymbolAtItsFixedSize) {
    quillobrandt::SymbolIcon icon(QStringLiteral("trash"), 20, Qt::red);
    EXPECT_EQ(icon.size(), QSize(20, 20));
    EXPECT_EQ(icon.minimumSize(), icon.maximumSize());
    QImage canvas(20, 20, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    icon.render(&canvas);
    bool red = false;
    for (int y = 0; y < 20 && !red; ++y) {
        for (int x = 0; x < 20 && !red; ++x) {
            const QColor pixel(canvas.pixel(x, y));
            red = pixel.red() > 200 && pixel.green() < 80;
        }
    }
    EXPECT_TRUE(red);
}

// A symbol on a control is drawn in the control's label colour and drawn again when the palette changes (a dark
// theme), so it never stays black on a dark window.
TEST(SymbolIcon, ButtonSymbolsFollowThePaletteOrKeepAFixedColour) {
    QWidget window;
    QPushButton button(QStringLiteral("Edit Name"), &window);
    quillobrandt::setButtonSymbol(button, QStringLiteral("tag"), 14, quillobrandt::SymbolInk::label);
    EXPECT_EQ(button.text(), QStringLiteral("Edit Name"));
    EXPECT_EQ(button.iconSize(), QSize(14, 14));
    EXPECT_EQ(button.property("symbolName").toString(), QStringLiteral("tag"));
    EXPECT_EQ(button.property("symbolColour").value<QColor>(), button.palette().color(QPalette::WindowText));

    QPalette dark = window.palette();
    dark.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xEE));
    window.setPalette(dark);
    EXPECT_EQ(button.property("symbolColour").value<QColor>(), QColor(0xEE, 0xEE, 0xEE));
    const QImage drawn = button.icon().pixmap(QSize(14, 14), 2.0).toImage();
    bool light = false;
    for (int y = 0; y < drawn.height() && !light; ++y) {
        for (int x = 0; x < drawn.width() && !light; ++x) {
            light = qAlpha(drawn.pixel(x, y)) == 255 && QColor(drawn.pixel(x, y)).red() == 0xEE;
        }
    }
    EXPECT_TRUE(light) << "the icon itself is drawn again in the new colour";

    // A secondary ink is the label colour at half opacity; a fixed colour ignores the palette.
    QCheckBox box(QStringLiteral("Show Media"), &window);
    quillobrandt::setButtonSymbol(box, QStringLiteral("photo"), 14, quillobrandt::SymbolInk::secondaryLabel);
    EXPECT_EQ(box.property("symbolColour").value<QColor>().alpha(), 128);
    quillobrandt::setButtonSymbol(box, QStringLiteral("photo"), 14, QColor(Qt::red));
    quillobrandt::SymbolIcon phone(QStringLiteral("iphone"), 14, quillobrandt::SymbolInk::label, &window);
    window.setPalette(QPalette());
    EXPECT_EQ(box.property("symbolColour").value<QColor>(), QColor(Qt::red));
    EXPECT_EQ(phone.colour(), window.palette().color(QPalette::WindowText));
    window.setPalette(dark);
    EXPECT_EQ(phone.colour(), QColor(0xEE, 0xEE, 0xEE)) << "a standalone symbol in an ink follows the palette too";
}

TEST(SymbolIcon, ASymbolButtonIsAsLargeAsItsSymbolAndNamedForAssistiveTools) {
    QWidget window;
    quillobrandt::SymbolButton close(QStringLiteral("xmark.circle.fill"), 18, quillobrandt::SymbolInk::secondaryLabel,
                                     QStringLiteral("Close Conversation"), &window);
    EXPECT_TRUE(close.text().isEmpty());
    EXPECT_EQ(close.accessibleName(), QStringLiteral("Close Conversation"));
    EXPECT_EQ(close.toolTip(), QStringLiteral("Close Conversation"));
    EXPECT_EQ(close.property("symbolName").toString(), QStringLiteral("xmark.circle.fill"));
    // Not a text button's 80 pixels, and never smaller than the symbol.
    EXPECT_LT(close.sizeHint().width(), 40);
    EXPECT_GE(close.sizeHint().width(), 18);
    EXPECT_EQ(close.minimumSizeHint(), close.sizeHint());
}

} // namespace
