// Rendered PDF pages read back with poppler: whether the text can be read on its bubble, and whether
// anything is drawn where it must not be (the bottom margin, the page number's band).
#include <gtest/gtest.h>

#include <cmath>

#include "ConversationTestSupport.h"
#include "Quillobrandt/conversation/export/PDFGenerator.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;

namespace {

using qbtest::PdfPageWords;
using qbtest::PdfWord;

const QDate kDay(2024, 3, 9);

QString outputPath(const QString& name) {
    return QString::fromStdString((qbtest::IsolatedHome::root() / name.toStdString()).string());
}

// The text of a word's box (in points) on a page rendered at `scale` pixels a point.
qbtest::TextSample sampleWord(const QImage& page, const QRectF& box, double scale) {
    return qbtest::sampleText(page, QRectF(box.topLeft() * scale, box.bottomRight() * scale).toAlignedRect());
}

const PdfWord* findWord(const PdfPageWords& page, const QString& text) {
    for (const auto& word : page.words) {
        if (word.text == text) {
            return &word;
        }
    }
    return nullptr;
}

} // namespace

TEST(PdfPages, BubbleTextIsReadableInEveryScheme) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(9, 0), "HHHHHHHHHHHH received", false),
        qbtest::makeMessage(kDay, QTime(9, 1), "NNNNNNNNNNNN sent", true),
    };
    struct Case {
        const char* name;
        PDFColorScheme scheme;
        QColor sent;
        QColor received;
    };
    const Case cases[] = {
        {"quillobrandt", PDFColorScheme::quillobrandt, {}, {}},
        {"professional", PDFColorScheme::professional, {}, {}},
        {"custom light", PDFColorScheme::custom, QColor(0xFF, 0xF5, 0xB0), QColor(0xA0, 0xE0, 0xFF)},
        {"custom dark", PDFColorScheme::custom, QColor(0x20, 0x20, 0x60), QColor(0x60, 0x00, 0x00)},
        {"custom translucent", PDFColorScheme::custom, QColor(0x00, 0x40, 0x00, 0x40), QColor(0x80, 0x00, 0x80, 0x60)},
        {"custom mid gray", PDFColorScheme::custom, QColor(0x77, 0x77, 0x77), QColor(0x76, 0x76, 0x76)},
    };
    constexpr int kDpi = 288;
    for (const Case& c : cases) {
        PDFSettings settings;
        settings.colorScheme = c.scheme;
        if (c.scheme == PDFColorScheme::custom) {
            settings.customSentColor = c.sent;
            settings.customReceivedColor = c.received;
        }
        const QString path = outputPath(QStringLiteral("contrast.pdf"));
        ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"+15551234567"}, settings, {}, path).written);
        const auto pages = qbtest::pdfWords(path, 1);
        ASSERT_EQ(pages.size(), 1u);
        const QImage page = qbtest::renderPdfPage(path, 1, kDpi);
        ASSERT_FALSE(page.isNull());
        for (const QString& word : {QStringLiteral("HHHHHHHHHHHH"), QStringLiteral("NNNNNNNNNNNN")}) {
            const PdfWord* found = findWord(pages[0], word);
            ASSERT_NE(found, nullptr) << c.name;
            const qbtest::TextSample sample = sampleWord(page, found->box, kDpi / 72.0);
            EXPECT_GE(sample.ratio, 4.5) << c.name << " " << word.toStdString() << ": text "
                                         << QColor(sample.text).name().toStdString() << " on "
                                         << QColor(sample.background).name().toStdString();
        }
        if (c.scheme == PDFColorScheme::professional) {
            // The translucent gray bubble takes the dark primary text colour.
            const PdfWord* received = findWord(pages[0], QStringLiteral("HHHHHHHHHHHH"));
            ASSERT_NE(received, nullptr);
            EXPECT_LT(qbtest::pixelLuminance(sampleWord(page, received->box, kDpi / 72.0).text), 0.05);
        }
        if (QLatin1String(c.name) == QLatin1String("custom dark")) {
            // White stays wherever it reads well.
            const PdfWord* sent = findWord(pages[0], QStringLiteral("NNNNNNNNNNNN"));
            ASSERT_NE(sent, nullptr);
            EXPECT_GT(qbtest::pixelLuminance(sampleWord(page, sent->box, kDpi / 72.0).text), 0.9);
        }
    }
}

TEST(PdfPages, GrayLabelsAreReadableOnWhite) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(9, 0), "hello", false, "+15550001111"),
        qbtest::makeMessage(kDay, QTime(9, 1), "hi", true),
    };
    PDFSettings settings;
    settings.includePageNumbers = true;
    const QString path = outputPath(QStringLiteral("labels.pdf"));
    ASSERT_TRUE(PDFGenerator::generatePDF(messages, {"+15550001111", "+15550002222"}, settings, {}, path).written);
    const auto pages = qbtest::pdfWords(path, 1);
    ASSERT_EQ(pages.size(), 1u);
    constexpr int kDpi = 288;
    const QImage page = qbtest::renderPdfPage(path, 1, kDpi);
    ASSERT_FALSE(page.isNull());
    // Day header, sender name, time and page number.
    for (const QString& word : {QStringLiteral("Mar"), QStringLiteral("+15550001111"), QStringLiteral("9:00"),
                                QStringLiteral("Me"), QStringLiteral("1")}) {
        const PdfWord* found = findWord(pages[0], word);
        ASSERT_NE(found, nullptr) << word.toStdString();
        const qbtest::TextSample sample = sampleWord(page, found->box, kDpi / 72.0);
        EXPECT_EQ(sample.background | 0xFF000000u, 0xFFFFFFFFu) << word.toStdString() << " stands on the white page";
        EXPECT_GE(sample.ratio, 4.5) << word.toStdString() << ": " << QColor(sample.text).name().toStdString();
        EXPECT_LE(sample.ratio, 7.0) << word.toStdString() << " is still a gray, not black";
    }
}

namespace {

// Messages of many heights, with the odd one taller than a page, spread over several days.
std::vector<Message> variedMessages(int count) {
    std::vector<Message> messages;
    messages.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string text = "m" + std::to_string(i);
        const int words = (i * 37) % 23 + (i % 97 == 0 ? 900 : 0);
        for (int w = 0; w < words; ++w) {
            text += (w % 11 == 10) ? "\nline" : " word";
        }
        const int sender = i % 3;
        messages.push_back(qbtest::makeMessage(kDay.addDays(i / 150), QTime(8, 0).addSecs((i % 150) * 60), text,
                                               sender == 0, sender == 1 ? "+15550001111" : "+15550002222"));
    }
    return messages;
}

} // namespace

TEST(PdfPages, NothingIsDrawnInTheBottomMarginOrOverThePageNumber) {
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages = variedMessages(1500);
    for (const bool dense : {false, true}) {
        for (const bool numbers : {false, true}) {
            SCOPED_TRACE(std::string(dense ? "ultra-dense" : "normal") + (numbers ? ", page numbers" : ""));
            PDFSettings settings;
            settings.ultraDenseMode = dense;
            settings.includePageNumbers = numbers;
            const auto metrics = PdfLayoutMetrics::forSettings(settings);
            const QString path = outputPath(QStringLiteral("band.pdf"));
            // Two other participants: every received bubble carries its sender's name.
            const auto result =
                PDFGenerator::generatePDF(messages, {"+15550001111", "+15550002222"}, settings, {}, path);
            ASSERT_TRUE(result.written);
            const auto pages = qbtest::pdfWords(path);
            ASSERT_EQ(static_cast<int>(pages.size()), result.pageCount);
            ASSERT_GT(pages.size(), 20u);
            int checkedWords = 0;
            for (std::size_t p = 0; p < pages.size(); ++p) {
                const auto& page = pages[p];
                double limit = page.size.height() - metrics.margin; // lowest y (from the top) a word may reach
                const PdfWord* number = nullptr;
                if (numbers) {
                    for (const auto& word : page.words) {
                        if (word.text == QString::number(p + 1) && (!number || word.box.top() > number->box.top())) {
                            number = &word;
                        }
                    }
                    ASSERT_NE(number, nullptr) << "page " << p + 1;
                    EXPECT_NEAR(number->box.center().x(), page.size.width() / 2, 2) << "page " << p + 1;
                    limit = std::min(limit, number->box.top() - 2);
                }
                for (const auto& word : page.words) {
                    if (&word == number) {
                        continue;
                    }
                    ++checkedWords;
                    ASSERT_LE(word.box.bottom(), limit) << "page " << p + 1 << ": \"" << word.text.toStdString()
                                                        << "\" reaches " << word.box.bottom() << ", limit " << limit;
                }
            }
            EXPECT_GT(checkedWords, 1000);

            if (numbers) {
                // Nor are bubbles or lines drawn into the band: below the limit, only the number has ink.
                for (int p = 1; p <= 12; ++p) {
                    const QImage image = qbtest::renderPdfPage(path, p, 72);
                    ASSERT_FALSE(image.isNull());
                    const PdfWord* number = findWord(pages[static_cast<std::size_t>(p - 1)], QString::number(p));
                    ASSERT_NE(number, nullptr);
                    const int firstRow = static_cast<int>(std::ceil(number->box.top() - 2));
                    for (int y = firstRow; y < image.height(); ++y) {
                        for (int x = 0; x < image.width(); ++x) {
                            if (x >= number->box.left() - 1 && x <= number->box.right() + 1) {
                                continue;
                            }
                            ASSERT_EQ(image.pixel(x, y) | 0xFF000000u, 0xFFFFFFFFu)
                                << "page " << p << " has ink at " << x << "," << y;
                        }
                    }
                }
            }
        }
    }
}
