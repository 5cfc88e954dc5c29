#include "Quillobrandt/main/ConversationListModel.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

using quillobrandt::ConversationListModel;
using quillobrandt::ConversationRowDelegate;

struct PaintedRow {
    QImage image;
    QRect row;
};

// One row painted black on white at `width`, as the list paints it.
PaintedRow paintRow(const QString& name, const QString& detail, int width) {
    ConversationListModel model;
    model.setRows({{"1", name, detail, false}});
    ConversationRowDelegate delegate;
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, width, 44);
    option.palette.setColor(QPalette::WindowText, Qt::black);
    PaintedRow painted{QImage(width + 40, 44, QImage::Format_ARGB32), option.rect};
    painted.image.fill(Qt::white);
    QPainter painter(&painted.image);
    delegate.paint(&painter, option, model.index(0));
    return painted;
}

int redPixels(const QImage& image) {
    int red = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            red += c.red() > 160 && c.green() < 100 && c.blue() < 100 ? 1 : 0;
        }
    }
    return red;
}

int rightmostInk(const QImage& image) {
    int right = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) != QColor(Qt::white)) {
                right = std::max(right, x);
            }
        }
    }
    return right;
}

TEST(ConversationRowPaint, EmojiInNamesAndDetailsDrawInColourAndLongTextStaysInTheRow) {
    const QString heart = QString::fromUtf8("\xE2\x9D\xA4\xEF\xB8\x8F");
    EXPECT_GT(redPixels(paintRow(QStringLiteral("Mom ") + heart, QStringLiteral("+1555"), 300).image), 20);
    EXPECT_GT(redPixels(paintRow(QStringLiteral("Mom"), heart + QStringLiteral("  \u2022  3 messages"), 300).image), 5);
    EXPECT_EQ(redPixels(paintRow(QString::fromUtf8("Mom \xE2\x9D\xA4\xEF\xB8\x8E"), QStringLiteral("+1"), 300).image),
              0);

    // A name far wider than the row is cut with an ellipsis inside the row's padding, emoji or not.
    QString longName;
    for (int i = 0; i < 30; ++i) {
        longName += QStringLiteral("Name ") + heart;
    }
    const PaintedRow painted = paintRow(longName, longName, 200);
    EXPECT_GT(redPixels(painted.image), 20);
    EXPECT_LE(rightmostInk(painted.image), painted.row.right() - 10 + 1);
    EXPECT_GT(rightmostInk(painted.image), painted.row.right() - 40) << "the cut text still fills the row";
}

} // namespace
