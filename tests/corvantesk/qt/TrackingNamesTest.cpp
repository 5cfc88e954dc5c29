#include "Corvantesk/qt/TrackingNames.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace corvantesk {
namespace {

TEST(TrackingNamesTest, NormalizeMakesStableReadableNames) {
    EXPECT_EQ(normalizeTrackingName("Inbox Settings..."), "inbox_settings");
    EXPECT_EQ(normalizeTrackingName("my-view.main"), "my_view_main");
    EXPECT_EQ(normalizeTrackingName("  (Export CSV)  "), "export_csv");
    EXPECT_EQ(normalizeTrackingName("Résumé Ünïcode"), "résumé_ünïcode");
    EXPECT_EQ(normalizeTrackingName("..."), "");
}

TEST(TrackingNamesTest, LongNamesEndInAStableHash) {
    const QString longName = QString("Conversation ").repeated(12); // 156 characters
    const QString name = normalizeTrackingName(longName);
    EXPECT_LE(name.size(), 100);
    EXPECT_TRUE(QRegularExpression("^conversation_.*_[0-9a-f]{8}$").match(name).hasMatch()) << name.toStdString();
    EXPECT_EQ(name, normalizeTrackingName(longName));
    EXPECT_NE(name, normalizeTrackingName(longName + "x"));
    EXPECT_EQ(normalizeTrackingName(QString(100, 'a')), QString(100, 'a'));

    // Characters outside the basic plane are never cut in half.
    const QString emoji = normalizeTrackingName(QString::fromUtf8("\xF0\x9F\x98\x80").repeated(120));
    EXPECT_FALSE(emoji.isEmpty());
    EXPECT_TRUE(emoji.isValidUtf16());
}

TEST(TrackingNamesTest, ActionNamesLoseTheirPrefixesAndSuffixes) {
    EXPECT_EQ(cleanActionName("saveClickedAction"), "save");
    EXPECT_EQ(normalizeTrackingName(cleanActionName("performSaveAction")), "save");
    EXPECT_EQ(cleanActionName("handleExportTapped"), "Export");
    EXPECT_EQ(cleanActionName("saveaction"), "saveaction"); // suffixes compare with case
}

TEST(TrackingNamesTest, MnemonicsAndClassNames) {
    EXPECT_EQ(withoutMnemonic("&Save"), "Save");
    EXPECT_EQ(withoutMnemonic("Save && Quit"), "Save & Quit");
    EXPECT_EQ(plainClassName("QPushButton"), "pushbutton");
    EXPECT_EQ(plainClassName("quillobrandt::QuillButton"), "quillbutton");
}

} // namespace
} // namespace corvantesk
