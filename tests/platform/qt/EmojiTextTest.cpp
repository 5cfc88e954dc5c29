#include "platform/qt/EmojiText.h"

#include <gtest/gtest.h>

namespace {

using platform::emojiRuns;
using platform::TextRun;

QString u8(const char* text) {
    return QString::fromUtf8(text);
}

// The runs as the substrings they cover, easier to read in a failure than offsets.
QStringList runTexts(const QString& text) {
    QStringList parts;
    for (const TextRun& run : emojiRuns(text)) {
        parts << text.mid(run.start, run.length);
    }
    return parts;
}

TEST(EmojiRuns, PresentationSelectorsDecideBetweenColourAndText) {
    const QString heart = u8("\xE2\x9D\xA4\xEF\xB8\x8F");     // U+2764 U+FE0F
    const QString textHeart = u8("\xE2\x9D\xA4\xEF\xB8\x8E"); // U+2764 U+FE0E
    EXPECT_EQ(runTexts(heart), QStringList{heart});
    EXPECT_EQ(runTexts(u8("I ") + heart + u8(" you")), QStringList{heart});
    EXPECT_TRUE(runTexts(textHeart).isEmpty()) << "a text presentation selector keeps the text font";
    EXPECT_TRUE(runTexts(u8("\xE2\x9D\xA4")).isEmpty()) << "a bare heart is text by default";
    for (const char* sequence : {"\xE2\x98\xBA\xEF\xB8\x8F", "\xE2\x9C\x8C\xEF\xB8\x8F", "\xE2\x98\x80\xEF\xB8\x8F",
                                 "\xE2\x9C\x88\xEF\xB8\x8F", "\xC2\xA9\xEF\xB8\x8F", "\xE2\x84\xA2\xEF\xB8\x8F"}) {
        EXPECT_EQ(runTexts(u8(sequence)), QStringList{u8(sequence)}) << sequence;
    }
    EXPECT_TRUE(runTexts(u8("\xC2\xA9 2024")).isEmpty());
    EXPECT_TRUE(runTexts(u8("a\xEF\xB8\x8F")).isEmpty()) << "a letter never becomes an emoji";
    // Emoji by default, with no selector needed.
    EXPECT_EQ(runTexts(u8("ok \xE2\x9C\x85")), QStringList{u8("\xE2\x9C\x85")});
    EXPECT_EQ(runTexts(u8("\xF0\x9F\x8E\x89")), QStringList{u8("\xF0\x9F\x8E\x89")});
    EXPECT_TRUE(runTexts(u8("\xE2\x9C\x85\xEF\xB8\x8E")).isEmpty());
    EXPECT_TRUE(runTexts(QString()).isEmpty());
    EXPECT_TRUE(runTexts(u8("plain text, \xC3\xA4\xC3\xB6\xC3\xBC, \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D")).isEmpty());
}

TEST(EmojiRuns, KeycapsOnlyWithTheKeycapMark) {
    const QString one = u8("1\xEF\xB8\x8F\xE2\x83\xA3"); // 1 FE0F 20E3
    const QString hash = u8("#\xE2\x83\xA3");            // # 20E3, the selector left out
    EXPECT_EQ(runTexts(u8("Press ") + one + u8(" or ") + hash), (QStringList{one, hash}));
    EXPECT_TRUE(runTexts(u8("Room 101, 3 * 4 = 12 #1")).isEmpty()) << "digits, '#' and '*' stay text";
    EXPECT_TRUE(runTexts(u8("1\xEF\xB8\x8F")).isEmpty()) << "a digit with a selector but no keycap stays text";
    EXPECT_EQ(runTexts(u8("12\xE2\x83\xA3")), QStringList{u8("2\xE2\x83\xA3")}) << "only the digit under the keycap";
}

TEST(EmojiRuns, JoinedModifiedFlaggedAndTaggedSequencesStayWhole) {
    const QString family = u8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    const QString rainbowFlag = u8("\xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88");
    const QString heartOnFire = u8("\xE2\x9D\xA4\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x94\xA5");
    const QString thumbsUpMedium = u8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
    const QString waveDarkSkin = u8("\xE2\x9C\x8B\xF0\x9F\x8F\xBF");
    const QString germany = u8("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA");
    const QString france = u8("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
    const QString scotland = u8("\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7\xF3\xA0\x81\xA2\xF3\xA0\x81\xB3\xF3\xA0\x81\xA3"
                                "\xF3\xA0\x81\xB4\xF3\xA0\x81\xBF");
    EXPECT_EQ(runTexts(family), QStringList{family});
    EXPECT_EQ(runTexts(rainbowFlag + u8(" ") + heartOnFire), (QStringList{rainbowFlag, heartOnFire}));
    EXPECT_EQ(runTexts(thumbsUpMedium + waveDarkSkin), (QStringList{thumbsUpMedium + waveDarkSkin}))
        << "neighbouring emoji share one run";
    EXPECT_EQ(runTexts(germany + france), (QStringList{germany + france}));
    EXPECT_EQ(emojiRuns(germany + france).front().length, 8);
    EXPECT_EQ(runTexts(u8("go ") + scotland + u8("!")), QStringList{scotland});

    // A joiner between letters belongs to the script it shapes, not to an emoji.
    EXPECT_TRUE(runTexts(u8("\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D\xE0\xA4\xB7")).isEmpty());
    EXPECT_EQ(runTexts(u8("a\xE2\x80\x8D\xF0\x9F\x8E\x89")), QStringList{u8("\xF0\x9F\x8E\x89")});
    // A lone surrogate (damaged text) is neither skipped past nor read beyond the end.
    EXPECT_TRUE(runTexts(QString(QChar(0xD83D))).isEmpty());
    EXPECT_TRUE(runTexts(QString(QChar(0xD83D)) + QChar(0x200D)).isEmpty());
}

} // namespace
