#include <gtest/gtest.h>

#include <filesystem>

#include "ConversationTestSupport.h"
#include "Quillobrandt/conversation/ConversationViewModel.h"
#include "Quillobrandt/conversation/CsvExport.h"
#include "Quillobrandt/conversation/ExportFileName.h"
#include "platform/core/AtomicFile.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;

namespace {

const QDate kDay(2024, 1, 5);

ParticipantLabelLookup labels() {
    return labelLookupFrom({{QStringLiteral("+15551234567"), QStringLiteral("Mum")}});
}

} // namespace

TEST(CsvExport, EmptyOrAllReactionsGivesOnlyTheHeader) {
    EXPECT_EQ(generateCSV({}, labels()), "person,datetime,message\n");
    auto reaction = qbtest::makeMessage(kDay, QTime(9, 0), "Loved \"hi\"");
    reaction.associatedMessageGUID = "p:0/ABC";
    EXPECT_EQ(generateCSV({reaction, reaction}, labels()), "person,datetime,message\n");
}

TEST(CsvExport, RowsQuoteEveryFieldAndDoubleItsQuotes) {
    qbtest::ScopedTimeZone zone("America/New_York");
    std::vector<Message> messages{
        qbtest::makeMessage(kDay, QTime(15, 7, 9), "She said \"yes\"", false, "+15551234567"),
        qbtest::makeMessage(kDay, QTime(15, 8, 0), "ok", true),
        qbtest::makeMessage(kDay, QTime(23, 59, 59), std::nullopt, false, "friend@example.com"),
        qbtest::makeMessage(QDate(2024, 7, 1), QTime(0, 0, 1), "line one\nline two \xEF\xBF\xBC", false,
                            "friend@example.com"),
    };
    auto reaction = qbtest::makeMessage(kDay, QTime(16, 0), "Liked \"ok\"");
    reaction.associatedMessageGUID = "p:0/XYZ";
    messages.insert(messages.begin() + 2, reaction);

    const QString expected = QStringLiteral("person,datetime,message\n"
                                            "\"Mum\",\"2024-01-05 15:07:09\",\"She said \"\"yes\"\"\"\n"
                                            "\"Me\",\"2024-01-05 15:08:00\",\"ok\"\n"
                                            "\"friend@example.com\",\"2024-01-05 23:59:59\",\"\"\n"
                                            "\"friend@example.com\",\"2024-07-01 00:00:01\",\"line one\nline two ") +
                             QChar(0xFFFC) + QStringLiteral("\"\n");
    EXPECT_EQ(generateCSV(messages, labels()), expected);
}

TEST(CsvExport, WithoutLabelsTheHandleIsUsedAndQuotesInNamesAreDoubled) {
    qbtest::ScopedTimeZone zone("UTC");
    const auto message = qbtest::makeMessage(kDay, QTime(1, 2, 3), "x", false, "+15551234567");
    EXPECT_EQ(generateCSV({message}, {}), "person,datetime,message\n\"+15551234567\",\"2024-01-05 01:02:03\",\"x\"\n");
    const auto quoted = labelLookupFrom({{QStringLiteral("+15551234567"), QStringLiteral("The \"Boss\"")}});
    EXPECT_EQ(generateCSV({message}, quoted),
              "person,datetime,message\n\"The \"\"Boss\"\"\",\"2024-01-05 01:02:03\",\"x\"\n");
}

TEST(CsvExport, AttachmentOnlyMessagesNameTheirFiles) {
    qbtest::ScopedTimeZone zone("UTC");
    auto video = qbtest::makeMessage(kDay, QTime(9, 0), "\xEF\xBF\xBC", true);
    video.attachments.push_back({1, "clip.mov", "video/quicktime", "/nowhere/clip.mov"});
    auto voiceAndFile = qbtest::makeMessage(kDay, QTime(9, 1), std::nullopt, false, "+15551234567");
    voiceAndFile.attachments.push_back({2, "Audio Message.caf", "audio/x-caf", "/nowhere/Audio Message.caf"});
    voiceAndFile.attachments.push_back({3, "", std::nullopt, "/nowhere/report \"final\".pdf"});
    auto withText = qbtest::makeMessage(kDay, QTime(9, 2), "see https://example.com", true);
    withText.attachments.push_back({4, "preview.pluginPayloadAttachment", std::nullopt, "/nowhere/p"});
    // Text and the placeholders of its files: the text, then a line naming each file, as the PDF prints it; the
    // placeholders were once kept, which no spreadsheet shows and which named nothing.
    auto textAndFiles =
        qbtest::makeMessage(kDay, QTime(9, 3), "Two pictures and a file \xEF\xBF\xBC\xEF\xBF\xBC\xEF\xBF\xBC");
    textAndFiles.attachments.push_back({5, "IMG_1.jpeg", "image/jpeg", "/nowhere/IMG_1.jpeg"});
    textAndFiles.attachments.push_back({6, "IMG_2.heic", std::nullopt, "/nowhere/IMG_2.heic"});
    textAndFiles.attachments.push_back({7, "plan.pdf", "application/pdf", "/nowhere/plan.pdf"});
    EXPECT_EQ(
        generateCSV({video, voiceAndFile, withText, textAndFiles}, labels()),
        "person,datetime,message\n"
        "\"Me\",\"2024-01-05 09:00:00\",\"[Attachment: clip.mov]\"\n"
        "\"Mum\",\"2024-01-05 09:01:00\",\"[Attachment: Audio Message.caf] [Attachment: report \"\"final\"\".pdf]\"\n"
        "\"Me\",\"2024-01-05 09:02:00\",\"see https://example.com\"\n"
        "\"Mum\",\"2024-01-05 09:03:00\",\"Two pictures and a file\n[Attachment: IMG_1.jpeg]\n[Attachment: "
        "IMG_2.heic]\n"
        "[Attachment: plan.pdf]\"\n");
}

TEST(CsvExport, AnExportOfNothingWritesNoFile) {
    const auto path = qbtest::IsolatedHome::root() / "nothing.csv";
    auto reaction = qbtest::makeMessage(kDay, QTime(9, 0), "Loved \"hi\"");
    reaction.associatedMessageGUID = "p:0/ABC";
    const std::vector<Message> source{reaction};
    EXPECT_EQ(countCsvRows(source, std::vector<std::uint32_t>{0, 7}), 0u);
    const CsvExportResult result = exportCSV(path, source, std::vector<std::uint32_t>{0}, labels());
    EXPECT_FALSE(result.saved);
    EXPECT_TRUE(result.nothingToExport);
    EXPECT_EQ(result.error, "There are no messages to export.");
    EXPECT_FALSE(std::filesystem::exists(path));

    ASSERT_TRUE(platform::writeFileAtomically(path, "kept"));
    EXPECT_TRUE(exportCSV(path, {}, labels()).nothingToExport);
    EXPECT_EQ(*platform::readFile(path), "kept") << "an existing file stays as it was";
    EXPECT_EQ(countCsvRows(source, std::vector<std::uint32_t>{}), 0u);
}

TEST(CsvExport, DefaultFileNames) {
    EXPECT_EQ(defaultCsvFileName(QStringLiteral("A/B: \"C\"")), "A-B- C.csv");
    EXPECT_EQ(defaultCsvFileName(QStringLiteral("Mum, +1 555")), "Mum, +1 555.csv");
    EXPECT_EQ(defaultCsvFileName(QString()), "Conversation.csv");
    EXPECT_EQ(defaultCsvFileName(QStringLiteral("\"\"")), "Conversation.csv");

    EXPECT_EQ(pdfExportName({"A/B", "C:D"}, {}), "A-B, C-D");
    const ParticipantNamer namer = [](const QString& handle) {
        return handle == "x" ? QStringLiteral("Dr \"X\"") : handle;
    };
    EXPECT_EQ(pdfExportName({"x", "y", "z", "v", "w"}, namer), "Dr X, y, z, v, w");
}

// The CSV, the PDF and the edited copy suggest names by one rule, so none of them can name a hidden
// file, smuggle a control character into a name or exceed what a file system takes.
TEST(CsvExport, EveryExportNameFollowsOneRule) {
    const auto stems = [](const QString& title) {
        const QString csv = defaultCsvFileName(title);
        const QString copy = editedCopyFileName(title);
        const QString pdf = pdfExportName({title.toStdString()}, {});
        EXPECT_TRUE(csv.endsWith(".csv"));
        EXPECT_TRUE(copy.startsWith("quillobrandt_") && copy.endsWith("_edited.db"));
        const QString csvStem = csv.chopped(4);
        const QString copyStem = copy.mid(13).chopped(10);
        EXPECT_EQ(csvStem, copyStem);
        EXPECT_EQ(csvStem, pdf);
        return csvStem;
    };
    EXPECT_EQ(stems(QString()), "Conversation");
    EXPECT_EQ(stems(QStringLiteral("  ")), "Conversation");
    EXPECT_EQ(stems(QStringLiteral("...")), "Conversation");
    EXPECT_EQ(stems(QStringLiteral(".profile")), "profile");
    EXPECT_EQ(stems(QStringLiteral("..\"/etc\"")), "-etc");
    EXPECT_EQ(stems(QStringLiteral("Ann\tB\nC\r\u007F\u0085D")), "AnnBCD");
    EXPECT_EQ(stems(QStringLiteral("\x01\x02")), "Conversation");
    EXPECT_EQ(stems(QStringLiteral("A/B: \"C\"")), "A-B- C");

    // At most 200 bytes of UTF-8, cut between characters (never inside one, never inside an emoji).
    for (const QString& unit : {QStringLiteral("a"), QString(QChar(0x00E9)), QStringLiteral("\U0001F600"),
                                QStringLiteral("e\u0301"), QStringLiteral("\U0001F468\u200D\U0001F469")}) {
        QString title;
        while (title.toUtf8().size() < 400) {
            title += unit;
        }
        const QString stem = stems(title);
        EXPECT_LE(stem.toUtf8().size(), 200) << unit.toStdString();
        EXPECT_GT(stem.toUtf8().size(), 200 - unit.toUtf8().size()) << unit.toStdString();
        EXPECT_TRUE(title.startsWith(stem));
        EXPECT_EQ(stem.size() % unit.size(), 0) << "cut inside " << unit.toStdString();
        EXPECT_FALSE(stem.toUtf8().contains("\xEF\xBF\xBD")) << "no broken character";
    }
    const QString edited = editedCopyFileName(QString(300, QChar(0x00E9)));
    EXPECT_LE(edited.toUtf8().size(), 255);
}

TEST(CsvExport, WritesUtf8WithoutByteOrderMarkAndReplacesAnExistingFile) {
    const auto path = qbtest::IsolatedHome::root() / "export.csv";
    ASSERT_TRUE(platform::writeFileAtomically(path, "old"));
    qbtest::ScopedTimeZone zone("UTC");
    const std::vector<Message> messages{qbtest::makeMessage(kDay, QTime(8, 0), "caf\xC3\xA9 \xF0\x9F\x98\x80")};
    const CsvExportResult result = exportCSV(path, messages, labels());
    EXPECT_TRUE(result.saved);
    EXPECT_EQ(result.messageCount, 1u);
    const auto bytes = platform::readFile(path);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "person,datetime,message\n\"Mum\",\"2024-01-05 08:00:00\",\"caf\xC3\xA9 \xF0\x9F\x98\x80\"\n");
}

TEST(CsvExport, WriteFailureIsReportedAndLeavesNothingBehind) {
    const auto folder = qbtest::IsolatedHome::root() / "missing-folder";
    const CsvExportResult result = exportCSV(folder / "x.csv", {qbtest::makeMessage(kDay, QTime(8, 0), "x")}, {});
    EXPECT_FALSE(result.saved);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(ParticipantNaming, LabelThenContactThenHandle) {
    const std::map<std::string, std::string> labels{{"+1", "Label One"}};
    const ContactNameLookup contacts = [](const std::string& handle) -> std::optional<std::string> {
        if (handle == "+1" || handle == "+2") {
            return "Contact " + handle;
        }
        if (handle == "+3") {
            return "";
        }
        return std::nullopt;
    };
    const ParticipantNamer namer = makeParticipantNamer(labels, contacts);
    EXPECT_EQ(namer("+1"), "Label One");
    EXPECT_EQ(namer("+2"), "Contact +2");
    EXPECT_EQ(namer("+3"), "+3");
    EXPECT_EQ(namer("+4"), "+4");
    EXPECT_EQ(makeParticipantNamer(labels)("+2"), "+2");
    EXPECT_EQ(labelLookupFrom(labels)("+1"), QStringLiteral("Label One"));
    EXPECT_FALSE(labelLookupFrom(labels)("+2"));
    // A conversation's sender under another spelling of a labelled participant's number is that participant.
    const auto senders = labelLookupFrom({{"+1 (555) 123-4567", "Mum"}}, {"+1 (555) 123-4567", "+15550000000"});
    EXPECT_EQ(senders("5551234567"), QStringLiteral("Mum"));
    EXPECT_FALSE(senders("+15550000000"));
}
