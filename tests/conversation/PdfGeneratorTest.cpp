#include <QFile>
#include <QImage>
#include <QLocale>
#include <QMultiHash>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "ConversationTestSupport.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "Quillobrandt/conversation/export/PdfTextBlock.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;

namespace {

const QDate kDay(2024, 1, 5);

QString outputPath(const char* name) {
    return QString::fromStdString((qbtest::IsolatedHome::root() / name).string());
}

QString writePng(const char* name, int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    const QString path = outputPath(name);
    EXPECT_TRUE(image.save(path, "PNG"));
    return path;
}

Attachment imageAttachment(const QString& path, std::optional<std::string> mime = "image/png") {
    Attachment attachment;
    attachment.id = 1;
    attachment.filename = path.section('/', -1).toStdString();
    attachment.mimeType = std::move(mime);
    attachment.filePath = path.toStdString();
    return attachment;
}

struct Report {
    QString message;
    double value;
};

// Renders the first page at 72 dpi and returns it.
QImage renderFirstPage(const QString& pdf) {
    const QString prefix = pdf + QStringLiteral("-page");
    qbtest::runTool(QStringLiteral("pdftoppm"),
                    {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-f"), QStringLiteral("1"),
                     QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-png"), pdf, prefix});
    for (const char* suffix : {"-1.png", "-01.png", "-001.png"}) {
        QImage image(prefix + QLatin1String(suffix));
        if (!image.isNull()) {
            return image;
        }
    }
    return {};
}

bool hasPixelNear(const QImage& image, QColor colour, int tolerance) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance &&
                std::abs(c.blue() - colour.blue()) <= tolerance) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

TEST(PdfLayout, GeometryFollowsPageSizeDensityAndBindingMargin) {
    PDFSettings settings;
    auto m = PdfLayoutMetrics::forSettings(settings);
    EXPECT_DOUBLE_EQ(m.contentWidth, 542);
    EXPECT_NEAR(m.maxBubbleWidth, 379.4, 1e-9);
    EXPECT_NEAR(m.maxTextWidth, 367.4, 1e-9);
    EXPECT_NEAR(m.maxImageWidth, 370.4, 1e-9);
    EXPECT_DOUBLE_EQ(m.top, 757);
    EXPECT_DOUBLE_EQ(m.messageFontSize, 8);
    settings.addBindingMargin = true;
    EXPECT_DOUBLE_EQ(PdfLayoutMetrics::forSettings(settings).contentWidth, 506);

    settings = {};
    settings.pageSize = PDFPageSize::a4;
    settings.ultraDenseMode = true;
    settings.fontSize = 14;
    m = PdfLayoutMetrics::forSettings(settings);
    EXPECT_DOUBLE_EQ(m.margin, 15);
    EXPECT_DOUBLE_EQ(m.contentWidth, 565);
    EXPECT_DOUBLE_EQ(m.messageFontSize, 7);
    settings.addBindingMargin = true;
    EXPECT_DOUBLE_EQ(PdfLayoutMetrics::forSettings(settings).contentWidth, 529);

    m = PdfLayoutMetrics::forSettings({});
    const QSizeF wide = PDFGenerator::printedImageSize({1200, 900}, m);
    EXPECT_NEAR(wide.width(), 370.4, 1e-9);
    EXPECT_NEAR(wide.height(), 277.8, 1e-9);
    const QSizeF tall = PDFGenerator::printedImageSize({400, 1000}, m);
    EXPECT_NEAR(tall.width(), 120, 1e-9);
    EXPECT_NEAR(tall.height(), 300, 1e-9);
}

TEST(PdfLayout, PrintableMessagesAndColours) {
    EXPECT_FALSE(PDFGenerator::isPrintable(qbtest::makeMessage(kDay, QTime(1, 0), std::nullopt)));
    EXPECT_FALSE(PDFGenerator::isPrintable(qbtest::makeMessage(kDay, QTime(1, 0), "")));
    EXPECT_FALSE(PDFGenerator::isPrintable(qbtest::makeMessage(kDay, QTime(1, 0), "\xEF\xBF\xBC")));
    EXPECT_TRUE(PDFGenerator::isPrintable(qbtest::makeMessage(kDay, QTime(1, 0), "hi")));
    // Any attachment is printed, as a picture or as a line naming its file.
    auto withVideo = qbtest::makeMessage(kDay, QTime(1, 0), std::nullopt);
    withVideo.attachments.push_back(imageAttachment("/nowhere/x.jpg", "video/mp4"));
    EXPECT_TRUE(PDFGenerator::isPrintable(withVideo));

    PDFSettings settings;
    EXPECT_EQ(bubbleColors(settings).sent, QColor::fromRgbF(0.95f, 0.75f, 0.2f));
    settings.colorScheme = PDFColorScheme::custom;
    settings.customSentColor = Qt::darkGreen;
    EXPECT_EQ(bubbleColors(settings).sent, QColor(Qt::darkGreen));
}

TEST(PdfGenerator, PageSizesAreExactInPoints) {
    const std::pair<PDFPageSize, const char*> cases[] = {{PDFPageSize::letter, "612 x 792 pts"},
                                                         {PDFPageSize::a4, "595 x 842 pts"},
                                                         {PDFPageSize::legal, "612 x 1008 pts"}};
    for (const auto& [size, expected] : cases) {
        PDFSettings settings;
        settings.pageSize = size;
        const QString path = outputPath("size.pdf");
        ASSERT_TRUE(PDFGenerator::generatePDF({}, {}, settings, {}, path).written);
        EXPECT_TRUE(qbtest::runTool(QStringLiteral("pdfinfo"), {path}).contains(QLatin1String(expected))) << expected;
    }
}

TEST(PdfGenerator, EmptyListGivesOnePageAndTwoReports) {
    PDFSettings settings;
    settings.includePageNumbers = true;
    std::vector<Report> reports;
    const QString path = outputPath("empty.pdf");
    const auto result = PDFGenerator::generatePDF({}, {}, settings, {}, path, [&](const QString& m, double v) {
        reports.push_back({m, v});
    });
    EXPECT_TRUE(result.written);
    EXPECT_EQ(qbtest::pdfPageCount(path), 1);
    EXPECT_EQ(qbtest::pdfText(path).trimmed(), "1");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].message, "Preparing PDF...");
    EXPECT_EQ(reports[0].value, 0.0);
    EXPECT_EQ(reports[1].message, "PDF generation complete!");
    EXPECT_EQ(reports[1].value, 1.0);
}

TEST(PdfGenerator, MessagesTimesAndDayHeadersAreReadBack) {
    qbtest::ScopedTimeZone zone("America/Chicago");
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(15, 7), "Hello from the lake"),
        qbtest::makeMessage(kDay, QTime(23, 59), "Late reply \"quoted\"", true),
        qbtest::makeMessage(kDay.addDays(1), QTime(0, 0), "Just after midnight"),
        qbtest::makeMessage(kDay.addDays(1), QTime(0, 1), "see\xEF\xBF\xBC this"),
    };
    const QString path = outputPath("text.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"+15551234567"}, {}, {}, path).written);
    const QString text = qbtest::pdfText(path);
    for (const char* expected : {"Hello from the lake", "Late reply \"quoted\"", "Just after midnight", "see this",
                                 "3:07 PM", "11:59 PM", "12:00 AM", "12:01 AM"}) {
        EXPECT_TRUE(text.contains(QLatin1String(expected))) << expected << "\n" << text.toStdString();
    }
    EXPECT_EQ(text.count(QStringLiteral("Jan 5, 2024")), 1);
    EXPECT_EQ(text.count(QStringLiteral("Jan 6, 2024")), 1);
    EXPECT_FALSE(text.contains(QChar(0xFFFC)));
    // No sender names in a one-to-one conversation.
    EXPECT_FALSE(text.contains(QStringLiteral("+15551234567")));
    EXPECT_FALSE(text.contains(QRegularExpression(QStringLiteral("\\bMe\\b"))));
}

TEST(PdfGenerator, GroupConversationsNameSenders) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(10, 0), "from a friend", false, "+15550001111"),
        qbtest::makeMessage(kDay, QTime(10, 1), "from a stranger", false, "+15550002222"),
        qbtest::makeMessage(kDay, QTime(10, 2), "from me", true),
    };
    const ParticipantNamer namer = [](const QString& handle) {
        return handle == "+15550001111" ? QStringLiteral("Aunt Ottilie") : handle;
    };
    for (PDFFontStyle style :
         {PDFFontStyle::system, PDFFontStyle::helvetica, PDFFontStyle::times, PDFFontStyle::courier}) {
        PDFSettings settings;
        settings.fontStyle = style;
        const QString path = outputPath("group.pdf");
        ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"a", "b", "c"}, settings, namer, path).written);
        const QString text = qbtest::pdfText(path);
        EXPECT_TRUE(text.contains("Aunt Ottilie")) << text.toStdString();
        EXPECT_TRUE(text.contains("+15550002222"));
        EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("\\bMe\\b"))));
        EXPECT_TRUE(text.contains("from a stranger"));
    }
    // Two other participants already make a group, as on screen.
    const QString path = outputPath("pair.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"+15550001111", "+15550002222"}, {}, namer, path).written);
    const QString text = qbtest::pdfText(path);
    EXPECT_TRUE(text.contains("Aunt Ottilie")) << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("\\bMe\\b"))));
}

TEST(PdfGenerator, LongConversationPaginatesWithPageNumbersAndProgress) {
    qbtest::ScopedTimeZone zone("UTC");
    std::vector<Message> messages;
    for (int i = 0; i < 120; ++i) {
        messages.push_back(qbtest::makeMessage(kDay.addDays(i / 40), QTime(8, 0).addSecs(i * 60),
                                               "Message number " + std::to_string(i), i % 3 == 0));
    }
    auto reaction = qbtest::makeMessage(kDay, QTime(9, 0), std::nullopt);
    messages.push_back(reaction); // not printable: counted nowhere
    PDFSettings settings;
    settings.includePageNumbers = true;
    std::vector<Report> reports;
    const QString path = outputPath("long.pdf");
    const auto result = PDFGenerator::generatePDF(messages, {"x"}, settings, {}, path, [&](const QString& m, double v) {
        reports.push_back({m, v});
    });
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.printedMessages, 120);
    const int pages = qbtest::pdfPageCount(path);
    EXPECT_EQ(pages, result.pageCount);
    EXPECT_GT(pages, 3);
    for (int page = 1; page <= pages; ++page) {
        const QStringList lines = qbtest::pdfText(path, page).split('\n', Qt::SkipEmptyParts);
        EXPECT_TRUE(lines.contains(QString::number(page))) << "page " << page;
    }
    const QString text = qbtest::pdfText(path);
    EXPECT_TRUE(text.contains("Message number 0\n") || text.contains("Message number 0 "));
    EXPECT_TRUE(text.contains("Message number 119"));

    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1].message, "Generating PDF: 50/120 messages");
    EXPECT_DOUBLE_EQ(reports[1].value, 50.0 / 120.0);
    EXPECT_EQ(reports[2].message, "Generating PDF: 100/120 messages");
    EXPECT_EQ(reports[3].value, 1.0);
}

TEST(PdfGenerator, TextTallerThanAPageContinuesOnTheNextPages) {
    qbtest::ScopedTimeZone zone("UTC");
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += "w" + std::to_string(10000 + i) + (i % 40 == 39 ? "\n" : " ");
    }
    const QString path = outputPath("tall.pdf");
    const auto result = PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(12, 0), text)}, {}, {}, {}, path);
    ASSERT_TRUE(result.written);
    EXPECT_GT(qbtest::pdfPageCount(path), 1);
    const QString readBack = qbtest::pdfText(path);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(readBack.contains(QStringLiteral("w%1").arg(10000 + i))) << i;
    }
    // The first part fills the page under the day header instead of leaving it empty.
    EXPECT_TRUE(qbtest::pdfText(path, 1).contains(QStringLiteral("w10000")));
    EXPECT_EQ(readBack.count(QStringLiteral("12:00 PM")), 1);

    // Each part's bubble ends a padding below its last line: measured as a whole bubble is, with a fifth more
    // room, every page of the split once showed 124 points of empty bubble.
    const auto pages = qbtest::pdfWords(path);
    ASSERT_EQ(static_cast<int>(pages.size()), qbtest::pdfPageCount(path));
    for (std::size_t page = 0; page < pages.size(); ++page) {
        double lastLine = 0;
        for (const auto& word : pages[page].words) {
            if (word.text.startsWith(QLatin1Char('w'))) {
                lastLine = std::max(lastLine, word.box.bottom());
            }
        }
        const QImage image =
            qbtest::renderPdfPage(path, static_cast<int>(page) + 1).convertToFormat(QImage::Format_RGB32);
        int bubbleBottom = -1;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (std::abs(c.red() - 0xFF) < 8 && std::abs(c.green() - 0x8C) < 8 && std::abs(c.blue() - 0x78) < 8) {
                    bubbleBottom = y;
                }
            }
        }
        ASSERT_GT(bubbleBottom, 0) << "page " << page + 1;
        EXPECT_LE(bubbleBottom + 1 - lastLine, 6 + 4) << "page " << page + 1 << ": empty bubble under the last line";
    }
}

TEST(PdfGenerator, PicturesAreDrawnAtPrintedSize) {
    qbtest::ScopedTimeZone zone("UTC");
    auto message = qbtest::makeMessage(kDay, QTime(12, 0), "look");
    message.attachments.push_back(imageAttachment(writePng("red.png", 1200, 900, QColor(0xD0, 0x10, 0x10))));
    message.attachments.push_back(imageAttachment("/nowhere/skip.txt", "text/plain"));
    const QString path = outputPath("picture.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF({message}, {}, {}, {}, path).written);
    const QString list = qbtest::runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), path});
    const QStringList rows = list.split('\n', Qt::SkipEmptyParts).mid(2);
    ASSERT_EQ(rows.size(), 1) << list.toStdString();
    const QStringList columns = rows.first().simplified().split(' ');
    EXPECT_EQ(columns.value(3), "370");
    EXPECT_EQ(columns.value(4), "277");
    EXPECT_TRUE(hasPixelNear(renderFirstPage(path), QColor(0xD0, 0x10, 0x10), 24));
}

TEST(PdfGenerator, BrokenAndMissingPicturesGivePlaceholders) {
    qbtest::ScopedTimeZone zone("UTC");
    const QString broken = outputPath("broken.jpg");
    {
        QFile file(broken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\xFF\xD8\xFF\xE0") + " this is not really a jpeg");
    }
    auto message = qbtest::makeMessage(kDay, QTime(12, 0), std::nullopt, true);
    message.attachments.push_back(imageAttachment(broken, std::nullopt));
    message.attachments.push_back(imageAttachment(outputPath("gone.heic"), "image/heic"));
    PDFSettings settings;
    settings.colorScheme = PDFColorScheme::professional;
    const QString path = outputPath("broken.pdf");
    const auto result = PDFGenerator::generatePDF({message}, {}, settings, {}, path);
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.printedMessages, 1);
    const QString list = qbtest::runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), path});
    EXPECT_EQ(list.split('\n', Qt::SkipEmptyParts).size(), 2) << list.toStdString();
    EXPECT_TRUE(hasPixelNear(renderFirstPage(path), QColor(0xE5, 0xE5, 0xEA), 3));
}

TEST(PdfGenerator, FilesThatAreNotPicturesAreNamedUnderTheText) {
    qbtest::ScopedTimeZone zone("UTC");
    auto linkAndVideo = qbtest::makeMessage(kDay, QTime(12, 0), "watch this\xEF\xBF\xBC", true);
    linkAndVideo.attachments.push_back(imageAttachment("/nowhere/clip.mov", "video/quicktime"));
    linkAndVideo.attachments.push_back(imageAttachment("/nowhere/voice-note.caf", "audio/x-caf"));
    auto fileOnly = qbtest::makeMessage(kDay, QTime(12, 1), "\xEF\xBF\xBC");
    fileOnly.attachments.push_back(imageAttachment("/nowhere/plans.pdf", "application/pdf"));
    auto pictureAndFile = qbtest::makeMessage(kDay, QTime(12, 2), std::nullopt);
    pictureAndFile.attachments.push_back(imageAttachment(writePng("blue.png", 40, 30, QColor(0x10, 0x10, 0xD0))));
    pictureAndFile.attachments.push_back(imageAttachment("/nowhere/card.vcf", "text/vcard"));
    const QString path = outputPath("attachments.pdf");
    const auto result = PDFGenerator::generatePDF({linkAndVideo, fileOnly, pictureAndFile}, {}, {}, {}, path);
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.printedMessages, 3);
    const QString text = qbtest::pdfText(path);
    for (const char* expected : {"watch this", "[Attachment: clip.mov]", "[Attachment: voice-note.caf]",
                                 "[Attachment: plans.pdf]", "[Attachment: card.vcf]", "12:01 PM", "12:02 PM"}) {
        EXPECT_TRUE(text.contains(QLatin1String(expected))) << expected << "\n" << text.toStdString();
    }
    // One line per file, below the text.
    EXPECT_LT(text.indexOf("watch this"), text.indexOf("[Attachment: clip.mov]"));
    EXPECT_LT(text.indexOf("[Attachment: clip.mov]"), text.indexOf("[Attachment: voice-note.caf]"));
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("clip\\.mov\\]\\s*\\n\\s*\\[Attachment: voice"))))
        << text.toStdString();
    EXPECT_EQ(qbtest::runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), path})
                  .split('\n', Qt::SkipEmptyParts)
                  .size(),
              3)
        << "the picture is still drawn";
}

TEST(PdfGenerator, ADayHeaderMovesWithTheFirstBubbleOfItsDay) {
    qbtest::ScopedTimeZone zone("UTC");
    // Days of one to seven messages of varying height: over many pages, some header falls at a page's foot.
    std::vector<Message> messages;
    std::vector<QString> firstOfDay;
    for (int day = 0; day < 120; ++day) {
        const int count = day % 7 + 1;
        for (int i = 0; i < count; ++i) {
            std::string text = i == 0 ? "opening-of-day-" + std::to_string(day) : "more";
            for (int w = 0; w < (day * 13 + i * 5) % 40; ++w) {
                text += " word";
            }
            messages.push_back(qbtest::makeMessage(kDay.addDays(day), QTime(9, 0).addSecs(i * 60), text, i % 2 == 0));
        }
        firstOfDay.push_back(QStringLiteral("opening-of-day-%1").arg(day));
    }
    for (const bool dense : {false, true}) {
        PDFSettings settings;
        settings.ultraDenseMode = dense;
        settings.includePageNumbers = true;
        const QString path = outputPath("days.pdf");
        const auto result = PDFGenerator::generatePDF(messages, {"+15551234567"}, settings, {}, path);
        ASSERT_TRUE(result.written);
        ASSERT_GT(result.pageCount, 5);
        int checked = 0;
        for (int page = 1; page <= result.pageCount; ++page) {
            const QString text = qbtest::pdfText(path, page, page);
            for (int day = 0; day < 120; ++day) {
                const QString header = QLocale(QLocale::English, QLocale::UnitedStates)
                                           .toString(kDay.addDays(day), QStringLiteral("MMM d, yyyy"));
                if (text.contains(header)) {
                    ++checked;
                    EXPECT_TRUE(text.contains(firstOfDay[static_cast<std::size_t>(day)] + QLatin1Char('\n')) ||
                                text.contains(firstOfDay[static_cast<std::size_t>(day)] + QLatin1Char(' ')))
                        << (dense ? "dense, " : "") << "page " << page << ": " << header.toStdString()
                        << " without its first message";
                }
            }
        }
        EXPECT_EQ(checked, 120);
    }
}

TEST(PdfGenerator, UnwritableOutputWritesNothingAndReportsNothing) {
    int reports = 0;
    const QString path = outputPath("no-such-folder/out.pdf");
    const auto result = PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(1, 0), "x")}, {}, {}, {}, path,
                                                  [&](const QString&, double) { ++reports; });
    EXPECT_FALSE(result.written);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_EQ(reports, 0);
    EXPECT_FALSE(QFile::exists(path));
}

TEST(PdfGenerator, AFailedWriteIsReportedWithItsReason) {
    if (!QFile::exists(QStringLiteral("/dev/full"))) {
        GTEST_SKIP() << "no /dev/full";
    }
    // /dev/full opens like a file and refuses every byte, as a full disk does.
    const auto result =
        PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(1, 0), "x")}, {}, {}, {}, "/dev/full");
    EXPECT_FALSE(result.written);
    EXPECT_TRUE(result.error.contains(QStringLiteral("No space left on device"))) << result.error.toStdString();
}

TEST(PdfGenerator, AStopRequestEndsTheRenderBeforeTheNextPage) {
    qbtest::ScopedTimeZone zone("UTC");
    std::vector<Message> messages;
    for (int i = 0; i < 200; ++i) {
        messages.push_back(qbtest::makeMessage(kDay, QTime(8, 0).addSecs(i * 60), "Message " + std::to_string(i)));
    }
    int asked = 0;
    std::vector<Report> reports;
    const QString path = outputPath("stopped.pdf");
    const auto result = PDFGenerator::generatePDF(
        messages, {"x"}, {}, {}, path,
        [&](const QString& m, double v) {
            reports.push_back({m, v});
        },
        [&] { return ++asked == 3; });
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(asked, 3) << "asked before pages 1, 2 and 3";
    EXPECT_EQ(result.pageCount, 2);
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().message, "PDF generation complete!");

    // Inside one long message too: the stop is asked while its text is laid out, not only once the whole of it has
    // been. Measured in the rendering thread's own processor time between the first question and the next, which
    // a busy machine does not stretch: a 2 MB message once took seconds of it before Cancel was heard.
    std::string text;
    while (text.size() < 2'000'000) {
        text += "a long message that goes on and on\nand on ";
    }
    std::vector<double> asks;
    const auto longResult = PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(9, 0), text)}, {"x"}, {}, {},
                                                      outputPath("stopped-long.pdf"), {}, [&] {
                                                          asks.push_back(qbtest::threadCpuSeconds());
                                                          return asks.size() == 2;
                                                      });
    EXPECT_TRUE(longResult.cancelled);
    ASSERT_EQ(asks.size(), 2u);
    EXPECT_LT(asks[1] - asks[0], 0.25) << "seconds of work before the stop was asked again";

    // And while a page is drawn: every emoji is printed as a picture, a page of them took seconds.
    std::string shrugs;
    for (int i = 0; i < 3000; ++i) {
        shrugs += "\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F";
    }
    asks.clear();
    const auto emojiResult = PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(9, 0), shrugs)}, {"x"}, {}, {},
                                                       outputPath("stopped-emoji.pdf"), {}, [&] {
                                                           asks.push_back(qbtest::threadCpuSeconds());
                                                           return asks.size() == 3;
                                                       });
    EXPECT_TRUE(emojiResult.cancelled);
    ASSERT_EQ(asks.size(), 3u);
    EXPECT_LT(asks[2] - asks[1], 0.25) << "seconds of drawing before the stop was asked again";
}

TEST(PdfGenerator, RunsOnAWorkerThread) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{qbtest::makeMessage(kDay, QTime(7, 30), "from the worker")};
    const QString path = outputPath("worker.pdf");
    PDFGenerationResult result;
    std::thread worker([&] {
        PDFSettings settings;
        settings.ultraDenseMode = true;
        settings.addBindingMargin = true;
        result = PDFGenerator::generatePDF(
            messages, {"a", "b", "c"}, settings, [](const QString& h) { return h; }, path);
    });
    worker.join();
    EXPECT_TRUE(result.written);
    EXPECT_TRUE(qbtest::pdfText(path).contains("from the worker"));
}

namespace {

// Left edges (points, from the page's left) of each word on page 1, from pdftotext's bounding boxes.
QMultiHash<QString, double> wordLeftEdges(const QString& pdf) {
    const QString html = qbtest::runTool(QStringLiteral("pdftotext"),
                                         {QStringLiteral("-bbox"), QStringLiteral("-f"), QStringLiteral("1"),
                                          QStringLiteral("-l"), QStringLiteral("1"), pdf, QStringLiteral("-")});
    QMultiHash<QString, double> edges;
    const QRegularExpression word(QStringLiteral("<word xMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>"));
    for (auto it = word.globalMatch(html); it.hasNext();) {
        const auto match = it.next();
        edges.insert(match.captured(2), match.captured(1).toDouble());
    }
    return edges;
}

} // namespace

TEST(PdfGenerator, LabelsAndTimesSitWhereTheBubblesPutThem) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(15, 7), "a", false, "+15550001111"),
        qbtest::makeMessage(kDay, QTime(16, 8), "sentword", true),
    };
    const QString path = outputPath("geometry.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"a", "b", "c"}, {}, {}, path).written);
    const auto edges = wordLeftEdges(path);
    // A received bubble narrower than its time: the time is clamped to the left margin.
    EXPECT_NEAR(edges.value("3:07"), 35, 1.0);
    // Received sender names start 14 points in from the margin.
    EXPECT_NEAR(edges.value("+15550001111"), 49, 1.0);
    // A sent message's time starts at the bubble's left edge, one padding left of its text.
    EXPECT_NEAR(edges.value("4:08"), edges.value("sentword") - 6, 1.0);
    EXPECT_GT(edges.value("sentword"), 500);
}

TEST(PdfGenerator, ColourEmojiAreVisibleInsideTheirBubble) {
    // Colour emoji fonts carry pictures, not outlines: written as text they print as an empty bubble.
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(15, 7), "\xF0\x9F\x8E\x89\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"),
    };
    const QString path = outputPath("emoji.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"+15551234567"}, {}, {}, path).written);
    const QImage page = renderFirstPage(path).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(page.isNull());

    // The bubble is the most common colour that is not white or a gray of the rules and labels.
    QHash<QRgb, int> counts;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            const QRgb pixel = page.pixel(x, y);
            if (std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)}) -
                    std::min({qRed(pixel), qGreen(pixel), qBlue(pixel)}) >
                40) {
                ++counts[pixel];
            }
        }
    }
    ASSERT_FALSE(counts.isEmpty());
    const QRgb bubble = std::max_element(counts.begin(), counts.end()).key();
    QRect box;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            if (page.pixel(x, y) == bubble) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    // Inside the bubble, away from its rounded edges, something other than the bubble must be drawn.
    const QRect inner = box.adjusted(box.height() / 4, box.height() / 4, -box.height() / 4, -box.height() / 4);
    int drawn = 0;
    for (int y = inner.top(); y <= inner.bottom(); ++y) {
        for (int x = inner.left(); x <= inner.right(); ++x) {
            const QColor c = page.pixelColor(x, y);
            const QColor b = QColor::fromRgb(bubble);
            drawn += std::abs(c.red() - b.red()) + std::abs(c.green() - b.green()) + std::abs(c.blue() - b.blue()) > 90;
        }
    }
    EXPECT_GT(drawn, inner.width() * inner.height() / 10)
        << "bubble " << box.x() << "," << box.y() << " " << box.width() << "x" << box.height();
}

namespace {

// The width in points of the one bubble on page 1: the widest run of the most common strongly coloured pixel.
double bubbleWidth(const QString& pdf) {
    constexpr int kDpi = 288;
    const QImage page = qbtest::renderPdfPage(pdf, 1, kDpi).convertToFormat(QImage::Format_RGB32);
    QHash<QRgb, int> counts;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            const QRgb p = page.pixel(x, y);
            if (std::max({qRed(p), qGreen(p), qBlue(p)}) - std::min({qRed(p), qGreen(p), qBlue(p)}) > 40) {
                ++counts[p];
            }
        }
    }
    if (counts.isEmpty()) {
        return 0;
    }
    const QRgb bubble = std::max_element(counts.begin(), counts.end()).key();
    int left = page.width();
    int right = -1;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            if (page.pixel(x, y) == bubble) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    return (right - left + 1) * 72.0 / kDpi;
}

} // namespace

TEST(PdfGenerator, AJoinedEmojiIsDrawnWholeFromTheEmojiFont) {
    // A woman shrugging is the shrug, a zero-width joiner and the female sign: one picture, as wide as the shrug
    // alone, not the shrug followed by a sign from the text font.
    // The joined one comes second: what the first document did to the emoji font must not change the next.
    const QString joined = outputPath("joined.pdf");
    const QString alone = outputPath("alone.pdf");
    const QString before = outputPath("before.pdf");
    ASSERT_TRUE(PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(15, 6), "\xF0\x9F\xA4\xB7")},
                                          {"+15551234567"}, {}, {}, before)
                    .written);
    ASSERT_TRUE(PDFGenerator::generatePDF(
                    {qbtest::makeMessage(kDay, QTime(15, 7), "\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F")},
                    {"+15551234567"}, {}, {}, joined)
                    .written);
    ASSERT_TRUE(PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(15, 7), "\xF0\x9F\xA4\xB7")},
                                          {"+15551234567"}, {}, {}, alone)
                    .written);
    const double joinedWidth = bubbleWidth(joined);
    const double aloneWidth = bubbleWidth(alone);
    EXPECT_NEAR(aloneWidth, bubbleWidth(before), 0.5) << "the same emoji measures the same in the next document";
    EXPECT_GT(aloneWidth, 12 + 6) << "two paddings and an emoji";
    EXPECT_NEAR(joinedWidth, aloneWidth, 1.0);

    // A base that is text by itself (a white flag, a digit) joined into an emoji by its selector, a keycap mark or
    // a joiner: printed apart they were a white flag beside a rainbow, a gray digit beside an empty key.
    for (const char* sequence :
         {"\xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88", "1\xEF\xB8\x8F\xE2\x83\xA3"}) {
        const QString path = outputPath("sequence.pdf");
        ASSERT_TRUE(PDFGenerator::generatePDF({qbtest::makeMessage(kDay, QTime(15, 8), sequence)}, {"+15551234567"}, {},
                                              {}, path)
                        .written);
        EXPECT_NEAR(bubbleWidth(path), aloneWidth, 1.0) << sequence;
    }
}

TEST(PdfTextBlock, AWordTooLongForALineBreaksOnlyBetweenGraphemeClusters) {
    const QFont font = PDFGenerator::fontForStyle(PDFFontStyle::system, 8);
    constexpr double kWidth = 120;
    QString flags;
    for (int i = 0; i < 60; ++i) {
        flags += QString::fromUtf8(i % 2 ? "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA" : "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
    }
    QString accented;
    for (int i = 0; i < 150; ++i) {
        accented += QStringLiteral("e\u0301");
    }
    struct Case {
        const char* name;
        QString text;
        int clusterUnits; // UTF-16 units per cluster
    };
    const QString shrugs = QString::fromUtf8("\xF0\x9F\xA4\xB7\xE2\x80\x8D\xE2\x99\x80\xEF\xB8\x8F").repeated(120);
    for (const Case& c : {Case{"flags", flags, 4}, Case{"accents", QStringLiteral("x ") + accented, 2},
                          Case{"joined emoji", shrugs, 5}}) {
        const PdfTextBlock block(c.text, font, kWidth, 2.0);
        ASSERT_GT(block.lines().size(), 1u) << c.name;
        for (const auto& line : block.lines()) {
            const qsizetype offset = line.start - (c.clusterUnits == 2 ? 2 : 0);
            if (line.start > 0) {
                EXPECT_EQ(offset % c.clusterUnits, 0) << c.name << ": a line starts inside a cluster at " << line.start;
            }
        }
        EXPECT_LE(block.size().width(), kWidth) << c.name;
    }

    // A text of any length is measured a slice at a time, into the very lines one block of it has.
    QString longText;
    for (int i = 0; longText.size() < 70'000; ++i) {
        longText += i % 9 == 0 ? QStringLiteral("\n") : QStringLiteral("word%1 ").arg(i);
        longText += i % 50 == 0 ? shrugs : i % 31 == 0 ? flags : QString();
    }
    const auto measured = PdfTextBlock::measureLines(longText, font, kWidth, nullptr, {});
    ASSERT_TRUE(measured);
    const PdfTextBlock whole(longText, font, kWidth, 2.0);
    ASSERT_EQ(measured->size(), whole.lines().size());
    for (std::size_t i = 0; i < measured->size(); ++i) {
        EXPECT_EQ((*measured)[i].start, whole.lines()[i].start) << "line " << i;
        EXPECT_EQ((*measured)[i].length, whole.lines()[i].length) << "line " << i;
    }
    int asked = 0;
    EXPECT_FALSE(PdfTextBlock::measureLines(longText, font, kWidth, nullptr, [&asked] { return ++asked == 2; }));
    EXPECT_EQ(asked, 2);
}
