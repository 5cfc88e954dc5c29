#include "Quillobrandt/conversation/MessageBubble.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "Quillobrandt/conversation/DateSeparatorView.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/conversation/MessageList.h"
#include "Quillobrandt/conversation/WrappedText.h"
#include "tests/conversation/ConversationTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using quillobrandt::Attachment;
using quillobrandt::BubbleContext;
using quillobrandt::makeBubbleContent;
using quillobrandt::Message;

Attachment attachment(const std::string& name, const std::string& path, std::optional<std::string> mime = {}) {
    Attachment a;
    a.filename = name;
    a.filePath = path;
    a.mimeType = std::move(mime);
    return a;
}

BubbleContext contextWithLabel() {
    BubbleContext context;
    context.namer = quillobrandt::makeParticipantNamer({{"+1555", "Ann"}});
    return context;
}

TEST(MessageBubble, TextSenderAndTimeOfAReceivedMessage) {
    qbtest::ScopedTimeZone zone("Europe/Berlin");
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(15, 7), "Hi\xEF\xBF\xBC there", false, "+1555");
    const auto content = makeBubbleContent(message, true, contextWithLabel());
    ASSERT_TRUE(content.senderName);
    EXPECT_EQ(*content.senderName, "Ann");
    EXPECT_EQ(content.senderColor, quillobrandt::senderNameColor("+1555")) << "colour follows the handle";
    ASSERT_TRUE(content.text);
    EXPECT_EQ(*content.text, "Hi there") << "the attachment marker is not drawn";
    EXPECT_EQ(content.time, "3:07 PM");
    EXPECT_FALSE(content.unsupported);

    Message mine = message;
    mine.isFromMe = true;
    EXPECT_FALSE(makeBubbleContent(mine, true, contextWithLabel()).senderName);
}

TEST(MessageBubble, PicturesComeWithTheirTextAndOtherFilesAreListed) {
    const auto dir = qbtest::IsolatedHome::root();
    const QString picturePath = QString::fromStdString((dir / "p.png").string());
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(picturePath));

    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "caption");
    message.attachments = {attachment("p.png", picturePath.toStdString()),
                           attachment("doc.pdf", "/nowhere/doc.pdf", "application/pdf")};
    const auto content = makeBubbleContent(message, false, {});
    EXPECT_EQ(content.text, "caption");
    ASSERT_EQ(content.pictures.size(), 1u);
    EXPECT_TRUE(content.pictures[0].loadable);
    ASSERT_EQ(content.attachmentNames.size(), 1u);
    EXPECT_EQ(content.attachmentNames[0], "doc.pdf");

    Message textAndFile = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "see file");
    textAndFile.attachments = {attachment("doc.pdf", "/nowhere/doc.pdf", "application/pdf")};
    const auto both = makeBubbleContent(textAndFile, false, {});
    EXPECT_TRUE(both.text);
    EXPECT_EQ(both.attachmentNames.size(), 1u);

    // Drawing the rows must not fail on any of the pieces.
    quillobrandt::MessageRow row;
    row.message = message;
    row.content = content;
    row.layout.showDateHeader = true;
    row.showDelete = true;
    const auto geometry = quillobrandt::layoutMessageRow(row, 600);
    EXPECT_FALSE(geometry.deleteButton.isNull());
    EXPECT_LT(geometry.deleteButton.right(), geometry.pictures[0].left()) << "trash stands left of the column";
    EXPECT_LE(geometry.pictures[0].width(), 300);
}

TEST(MessageBubble, MissingPictureAndEmptyMessagePlaceholders) {
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), std::nullopt);
    message.attachments = {attachment("IMG_1.HEIC", "/nowhere/IMG_1.HEIC")};
    const auto missing = makeBubbleContent(message, false, {});
    ASSERT_EQ(missing.pictures.size(), 1u);
    EXPECT_FALSE(missing.pictures[0].loadable);
    EXPECT_EQ(missing.pictures[0].failureNote, "Path: /nowhere/IMG_1.HEIC");
    EXPECT_FALSE(missing.unsupported) << "an attachment is content";

    BubbleContext backup;
    backup.isIPhoneBackup = true;
    EXPECT_EQ(makeBubbleContent(message, false, backup).pictures[0].failureNote,
              "Attachments not extracted from backup");

    const Message empty = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), "");
    EXPECT_TRUE(makeBubbleContent(empty, false, {}).unsupported);
}

TEST(MessageBubble, ThemeColours) {
    using quillobrandt::AppTheme;
    using quillobrandt::bubblePalette;
    EXPECT_EQ(bubblePalette(true, AppTheme::quillobrandt).background, quillobrandt::ConversationStyle::gold());
    EXPECT_EQ(bubblePalette(true, AppTheme::professional).background, QColor(0x00, 0x7A, 0xFF));
    EXPECT_EQ(bubblePalette(false, AppTheme::quillobrandt).background, QColor(0xFF, 0x8C, 0x78));
    // Text by the PDF's rule: black on the light gold and pink, white where it reads, and the translucent
    // gray follows what lies under it.
    EXPECT_EQ(bubblePalette(true, AppTheme::quillobrandt).text, QColor(Qt::black));
    EXPECT_EQ(bubblePalette(false, AppTheme::quillobrandt).text, QColor(Qt::black));
    EXPECT_EQ(bubblePalette(true, AppTheme::professional).text, QColor(Qt::black));
    EXPECT_EQ(bubblePalette(false, AppTheme::professional).text, QColor(Qt::black));
    EXPECT_EQ(bubblePalette(false, AppTheme::professional, QColor(0x1E, 0x1E, 0x1E)).text, QColor(Qt::white));
}

} // namespace

namespace {

quillobrandt::MessageRow rowWithText(const std::string& text, bool fromMe = false) {
    quillobrandt::MessageRow row;
    row.message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), text, fromMe);
    row.content = makeBubbleContent(row.message, false, {});
    return row;
}

} // namespace

TEST(MessageRows, TextBreaksBetweenWordsAndInsideOnlyAnOverlongWord) {
    const QFont font = quillobrandt::ConversationStyle::font(13);
    const QFontMetricsF metrics(font);
    const QString words = QStringLiteral("W Word12 Word12 Word12 Word12 Word12 Word12 Word12");
    const qreal width = metrics.horizontalAdvance(QStringLiteral("W Word12 Wor"));
    const QStringList lines = quillobrandt::wrappedTextLines(words, font, width);
    ASSERT_GT(lines.size(), 1);
    for (const QString& line : lines) {
        for (const QString& word : line.split(' ', Qt::SkipEmptyParts)) {
            EXPECT_TRUE(word == "W" || word == "Word12") << "a word was cut: " << line.toStdString();
        }
    }
    EXPECT_EQ(lines.join(QString()).remove(' '), QString(words).remove(' '));

    // A single word wider than the line still breaks, anywhere, rather than running out of the bubble.
    const QString longWord(80, QChar('x'));
    const QStringList cut = quillobrandt::wrappedTextLines(longWord, font, width);
    EXPECT_GT(cut.size(), 1);
    EXPECT_EQ(cut.join(QString()), longWord);
    EXPECT_LE(quillobrandt::wrappedTextSize(longWord, font, width).width(), width);

    // So does a run of joined emoji without a space, between whole pictures: 120 women shrugging were once one
    // 2,000-pixel line that ran out of the bubble and off the list.
    const QString shrug = QString::fromUtf8("\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F");
    const QString shrugs = shrug.repeated(120);
    const QStringList shrugLines = quillobrandt::wrappedTextLines(shrugs, font, width);
    EXPECT_GT(shrugLines.size(), 5);
    EXPECT_EQ(shrugLines.join(QString()), shrugs);
    for (const QString& line : shrugLines) {
        EXPECT_EQ(line.size() % shrug.size(), 0) << "a picture was cut: " << line.size();
        EXPECT_LE(quillobrandt::wrappedTextSize(line, font, 100000).width(), std::ceil(width)) << line.size();
    }

    // The bubble is measured with the same breaks: its text area holds every line.
    const auto geometry = quillobrandt::layoutMessageRow(rowWithText(words.toStdString()), 200);
    const QStringList shown = quillobrandt::wrappedTextLines(words, font, geometry.textArea.width());
    EXPECT_GE(geometry.textArea.height(), shown.size() * metrics.height() - 0.5);
    EXPECT_EQ(quillobrandt::wrappedTextLines(QStringLiteral("one\ntwo\r\nthree"), font, 400),
              (QStringList{"one", "two ", "three"}));
}

TEST(MessageRows, AMessageOfMegabytesIsLaidOutOnceAndDrawnWhereItShows) {
    // Every size question and every paint laid a message out whole: over a 4 MB message each step of the scroll
    // wheel held the window for seconds. Measured in the thread's own processor time.
    const QFont font = quillobrandt::ConversationStyle::font(13);
    QString text;
    for (int i = 0; text.size() < 1'000'000; ++i) {
        text += QStringLiteral("Line %1 of a message that goes on and on. ").arg(i);
    }
    const qreal width = 500;
    const QSizeF size = quillobrandt::wrappedTextSize(text, font, width);
    const QRectF middle(QPointF(10, -std::floor(size.height() / 2)), size); // the middle of it shows
    QImage shown(520, 300, QImage::Format_ARGB32);
    const double before = qbtest::threadCpuSeconds();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(quillobrandt::wrappedTextSize(text, font, width), size);
        shown.fill(Qt::white);
        QPainter painter(&shown);
        painter.setPen(Qt::black);
        quillobrandt::drawWrappedText(painter, middle, text, font);
    }
    EXPECT_LT(qbtest::threadCpuSeconds() - before, 0.25) << "seconds for three looks at the lines that show";

    // What shows is what the whole text laid out draws there.
    QImage whole(shown.size(), QImage::Format_ARGB32);
    whole.fill(Qt::white);
    {
        QTextLayout layout(text, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        qreal y = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        layout.endLayout();
        QPainter painter(&whole);
        painter.setPen(Qt::black);
        layout.draw(&painter, middle.topLeft());
    }
    EXPECT_EQ(shown, whole);
}

TEST(MessageRows, AFailedPictureNoteGetsTheHeightItNeeds) {
    const std::string longPath = "/home/user/Library/Messages/Attachments/" + std::string(160, 'a') + "/IMG_0001.HEIC";
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), std::nullopt);
    message.attachments = {attachment("IMG_0001.HEIC", longPath)};
    quillobrandt::MessageRow row;
    row.message = message;
    row.content = makeBubbleContent(message, false, {});
    ASSERT_EQ(row.content.pictures.size(), 1u);
    const auto geometry = quillobrandt::layoutMessageRow(row, 700);
    const QRectF placeholder = geometry.pictures[0];
    const qreal note =
        quillobrandt::wrappedTextSize(row.content.pictures[0].failureNote, quillobrandt::ConversationStyle::font(10),
                                      placeholder.width() - 12)
            .height();
    EXPECT_GT(note, 3 * QFontMetricsF(quillobrandt::ConversationStyle::font(10)).height()) << "a path of many lines";
    EXPECT_GE(placeholder.height(), 60 + note) << "the whole note fits, top and bottom";
    EXPECT_GE(geometry.time.top(), placeholder.bottom()) << "the time is not drawn over it";
}

TEST(MessageRows, TheDayHeaderIsTheDesignedSeparator) {
    auto row = rowWithText("hello");
    row.layout.showDateHeader = true;
    const auto geometry = quillobrandt::layoutMessageRow(row, 600);
    EXPECT_DOUBLE_EQ(geometry.header.height(),
                     quillobrandt::DateSeparatorView::heightFor(quillobrandt::ConversationStyle::font(13)));
    // The row paints the separator's own drawing: its plate carries the window colour at the centre.
    QImage image(600, static_cast<int>(geometry.header.height()), QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(10, 200, 30));
    {
        QPainter painter(&image);
        quillobrandt::DateSeparatorView::paint(painter, QRectF(image.rect()),
                                               quillobrandt::localDateTime(row.message.date),
                                               quillobrandt::ConversationStyle::font(13), palette);
    }
    EXPECT_EQ(image.pixelColor(300 - 30, image.height() / 2 - 6), QColor(10, 200, 30));
}

TEST(MessageBubble, AFailedPictureIsReportedOncePerView) {
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), std::nullopt);
    message.attachments = {attachment("gone.jpg", "/nowhere/gone.jpg")};
    std::unordered_set<std::string> reported;
    BubbleContext context;
    context.reportedPictureFailures = &reported;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i) {
        makeBubbleContent(message, false, context);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "⚠️ Failed to load image: /nowhere/gone.jpg\n");
}

namespace {

// Draws `text` black on white through the bubble's text drawing; counts the clearly red pixels.
int redPixels(const QString& text, QImage* out = nullptr) {
    const QFont font = quillobrandt::ConversationStyle::font(13);
    const QSizeF size = quillobrandt::wrappedTextSize(text, font, 300);
    QImage image(320, 80, QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setPen(Qt::black);
        quillobrandt::drawWrappedText(painter, QRectF(QPointF(10, 10), size), text, font);
    }
    int red = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            red += c.red() > 160 && c.green() < 100 && c.blue() < 100 ? 1 : 0;
        }
    }
    if (out) {
        *out = image;
    }
    return red;
}

} // namespace

TEST(MessageRows, EmojiPresentationSequencesDrawInColourAndTextPresentationDoesNot) {
    // The heart with its emoji selector is the most common emoji in messages; the text font has a plain heart.
    QImage drawn;
    EXPECT_GT(redPixels(QString::fromUtf8("I \xE2\x9D\xA4\xEF\xB8\x8F you"), &drawn), 20) << "a red heart";
    EXPECT_EQ(redPixels(QString::fromUtf8("I \xE2\x9D\xA4\xEF\xB8\x8E you")), 0) << "text presentation stays plain";
    EXPECT_EQ(redPixels(QString::fromUtf8("I \xE2\x9D\xA4 you")), 0);

    // Measured and drawn alike: nothing is painted outside the size the bubble is given.
    const QFont font = quillobrandt::ConversationStyle::font(13);
    const QString mixed = QString::fromUtf8("\xE2\x9D\xA4\xEF\xB8\x8F\xF0\x9F\x8E\x89 ok 1\xEF\xB8\x8F\xE2\x83\xA3");
    const QSizeF size = quillobrandt::wrappedTextSize(mixed, font, 300);
    redPixels(mixed, &drawn);
    QRect ink;
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            if (drawn.pixelColor(x, y) != QColor(Qt::white)) {
                ink |= QRect(x, y, 1, 1);
            }
        }
    }
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(QRectF(QPointF(10, 10), size).adjusted(-1, -1, 1, 1).contains(QRectF(ink)))
        << "ink " << ink.x() << "," << ink.y() << " " << ink.width() << "x" << ink.height() << " outside "
        << size.width() << "x" << size.height();
}

TEST(MessageRows, EmojiSequencesWithSelectorsDrawAsOnePicture) {
    // The emoji font joins these into one picture; drawn apart they are a digit beside an empty key, a white
    // flag beside a rainbow, a heart beside a flame. One picture is as wide as any single emoji.
    const QFont font = quillobrandt::ConversationStyle::font(13);
    const qreal single = quillobrandt::wrappedTextSize(QString::fromUtf8("\xF0\x9F\x8E\x89"), font, 300).width();
    for (const char* sequence : {"1\xEF\xB8\x8F\xE2\x83\xA3", "#\xEF\xB8\x8F\xE2\x83\xA3",
                                 "\xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88",
                                 "\xE2\x9D\xA4\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x94\xA5",
                                 "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"}) {
        EXPECT_NEAR(quillobrandt::wrappedTextSize(QString::fromUtf8(sequence), font, 300).width(), single, 1.0)
            << sequence;
    }
}

TEST(MessageRows, ALineOfEmojiAloneIsAsTallAsALineOfText) {
    // The emoji font's own line is shorter than the text font's; a bubble of emoji must not shrink, nor lines
    // of emoji between lines of text sit closer together.
    const QFont font = quillobrandt::ConversationStyle::font(13);
    const auto height = [&](const char* text) {
        return quillobrandt::wrappedTextSize(QString::fromUtf8(text), font, 300).height();
    };
    const qreal line = height("ok");
    EXPECT_EQ(height("\xE2\x9D\xA4\xEF\xB8\x8F\xF0\x9F\x8E\x89"), line);
    EXPECT_EQ(height("ok\n\xE2\x9D\xA4\xEF\xB8\x8F\n\xF0\x9F\x8E\x89\xF0\x9F\x8E\x89"), 3 * line);
}

namespace {

// One row of `message`, received, painted by the list's delegate on white at `width`.
QImage paintedRow(const quillobrandt::MessageRow& row, int width) {
    quillobrandt::MessageRowModel model;
    model.setRows({row});
    quillobrandt::MessageRowDelegate delegate;
    const auto height = static_cast<int>(std::ceil(quillobrandt::layoutMessageRow(row, width).height));
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, width, height);
    delegate.paint(&painter, option, model.index(0));
    return image;
}

// How many pixels of `image` are drawn (not white) outside every one of `allowed`, each widened by a pixel for
// its smoothed edge.
int inkOutside(const QImage& image, std::initializer_list<QRectF> allowed) {
    int outside = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QPointF at(x + 0.5, y + 0.5);
            outside += image.pixelColor(x, y) != QColor(Qt::white) &&
                       std::none_of(allowed.begin(), allowed.end(),
                                    [&at](const QRectF& rect) { return rect.adjusted(-1, -1, 1, 1).contains(at); });
        }
    }
    return outside;
}

} // namespace

// A file name longer than the list is wide stays inside its chip, cut in the middle so its start and its
// extension show; a pointer resting on it shows the whole name. A short name is drawn whole.
TEST(MessageRows, ALongFileNameStaysInsideItsChipAndItsTooltipGivesItWhole) {
    const std::string longName = "Quarterly_report_for_the_board_meeting_final_version_3_reviewed_by_everyone.pdf";
    Message message = qbtest::makeMessage(QDate(2024, 5, 1), QTime(9, 0), std::nullopt);
    message.attachments = {attachment(longName, "/nowhere/report.pdf", "application/pdf"),
                           attachment("notes.txt", "/nowhere/notes.txt", "text/plain")};
    quillobrandt::MessageRow row;
    row.message = message;
    row.content = makeBubbleContent(message, false, {});
    const int width = 360;
    const auto geometry = quillobrandt::layoutMessageRow(row, width);
    const QImage image = paintedRow(row, width);
    EXPECT_EQ(inkOutside(image, {geometry.attachmentList, geometry.time}), 0)
        << "ink outside the chip " << geometry.attachmentList.width() << " wide";
    EXPECT_LE(geometry.attachmentList.right(), width);
    // Drawn in one line each, within the chip: the long name cut in the middle, the short one whole.
    const QFontMetricsF metrics(quillobrandt::ConversationStyle::font(10));
    ASSERT_EQ(geometry.attachmentTexts.size(), 2u);
    ASSERT_EQ(geometry.attachmentLines.size(), 2u);
    const QString shown = geometry.attachmentTexts[0];
    EXPECT_LE(metrics.horizontalAdvance(shown), geometry.attachmentLines[0].width());
    EXPECT_TRUE(geometry.attachmentList.contains(geometry.attachmentLines[0]));
    EXPECT_TRUE(shown.startsWith("Quarterly") && shown.endsWith(".pdf") && shown.contains(QChar(0x2026)))
        << shown.toStdString();
    EXPECT_EQ(geometry.attachmentTexts[1], "notes.txt");

    QListView list;
    quillobrandt::MessageRowModel model;
    model.setRows({row});
    quillobrandt::MessageRowDelegate delegate;
    list.setModel(&model);
    list.setItemDelegate(&delegate);
    list.resize(width + 2 * list.frameWidth(), 300);
    list.show();
    ASSERT_EQ(list.viewport()->width(), width);
    const QRectF inner = geometry.attachmentList.adjusted(12, 8, -12, -8);
    const qreal line = QFontMetricsF(quillobrandt::ConversationStyle::font(10)).height() + 4;
    const auto tooltipAt = [&](int index) {
        const QPoint at = QPointF(inner.center().x(), inner.top() + 20 + line * (index + 0.5)).toPoint();
        QHelpEvent help(QEvent::ToolTip, at, list.viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(list.viewport(), &help);
        const QString text = QToolTip::text();
        QToolTip::hideText();
        return text;
    };
    EXPECT_EQ(tooltipAt(1), QString()) << "a name shown whole needs no tooltip";
    EXPECT_EQ(tooltipAt(0), QString::fromStdString(longName));
}

// Emoji joined to each other by joiners make one cluster that no line can break: it is cut off at the bubble's
// edge rather than drawn across the list.
TEST(MessageRows, AClusterWiderThanTheBubbleIsClippedToIt) {
    std::string chain = "\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F";
    for (int i = 0; i < 40; ++i) {
        chain += "\xE2\x80\x8D\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F";
    }
    const auto row = rowWithText(chain);
    const int width = 360;
    const auto geometry = quillobrandt::layoutMessageRow(row, width);
    const QImage image = paintedRow(row, width);
    EXPECT_EQ(inkOutside(image, {geometry.textBubble, geometry.time}), 0)
        << "ink outside the bubble " << geometry.textBubble.width() << " wide";
}
