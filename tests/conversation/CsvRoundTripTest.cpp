// The CSV export checked against files on disk: a generated Messages database is loaded as the
// program loads it, exported through the view's button, and read back with libcsv, a real parser.
#include <QPushButton>
#include <csv.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/CsvExporter.h"
#include "Quillobrandt/conversation/DayLabels.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/AtomicFile.h"
#include "tests/conversation/ConversationViewFixture.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/EventLoop.h"

namespace {

using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;

using CsvRows = std::vector<std::vector<std::string>>;

// Parses the whole text strictly (a stray quote is an error); nullopt when libcsv refuses it.
std::optional<CsvRows> parseCsv(const std::string& text) {
    struct Collector {
        CsvRows rows;
        std::vector<std::string> row;
    } collector;
    csv_parser parser{};
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) {
        return std::nullopt;
    }
    const auto onField = [](void* field, std::size_t length, void* data) {
        static_cast<Collector*>(data)->row.emplace_back(static_cast<const char*>(field), length);
    };
    const auto onRow = [](int, void* data) {
        auto* c = static_cast<Collector*>(data);
        c->rows.push_back(std::move(c->row));
        c->row.clear();
    };
    const bool parsed = csv_parse(&parser, text.data(), text.size(), onField, onRow, &collector) == text.size() &&
                        csv_fini(&parser, onField, onRow, &collector) == 0;
    csv_free(&parser);
    if (!parsed) {
        return std::nullopt;
    }
    return collector.rows;
}

class CsvRoundTripTest : public ::testing::Test, protected qbtest::ConversationViewFixture {
protected:
    std::unique_ptr<ConversationDisplayView> open(const Conversation& conversation) {
        auto view = std::make_unique<ConversationDisplayView>(conversation, state.get(), nullptr, &analytics);
        view->resize(900, 700);
        view->show();
        EXPECT_TRUE(qbtest::waitUntil([&] { return !view->isLoading(); }));
        return view;
    }
};

TEST(CsvParser, RefusesWhatIsNotCsv) {
    EXPECT_FALSE(parseCsv("\"a\"b\",\"c\"\n")) << "the old export's quote in a name";
    ASSERT_TRUE(parseCsv("\"a\"\"b\",\"c\"\n"));
    EXPECT_EQ(parseCsv("\"a\"\"b\",\"c\"\n")->at(0), (std::vector<std::string>{"a\"b", "c"}));
}

TEST_F(CsvRoundTripTest, EveryRowOfAGroupWithQuotesInNamesAndTextsParses) {
    const auto source = file("csv/sms.db");
    std::map<std::int64_t, std::string> storedText;
    {
        qbtest::MessagesDatabaseBuilder builder(source);
        const std::vector<std::string> handles{"ann\"x\"@example.com", "+15551234567", "bob,jr@example.com"};
        qbtest::ChatRow chat;
        chat.style = 43;
        chat.chatIdentifier = "chat42";
        const auto chatId = builder.addChat(chat);
        std::vector<std::int64_t> handleIds;
        for (const auto& handle : handles) {
            handleIds.push_back(builder.addHandle(handle));
            builder.addChatHandle(chatId, handleIds.back());
        }
        const std::vector<std::string> texts{
            "plain",       "She said \"yes\", then \"no\"", "\"\"\"",   "a,b,,c", "two\nlines", "windows\r\nline",
            "tab\tinside", "caf\xC3\xA9 \xF0\x9F\x98\x80",  " padded ", "\"",     "",           "trailing quote\"",
        };
        for (std::size_t i = 0; i < texts.size(); ++i) {
            qbtest::MessageRow row;
            row.text = texts[i];
            row.date = qbtest::storedNanoseconds(7.5e8 + 3600.0 * static_cast<double>(i));
            row.isFromMe = i % 4 == 3 ? 1 : 0;
            row.handleId = row.isFromMe ? 0 : handleIds[i % handleIds.size()];
            storedText[builder.addMessageToChat(chatId, row)] = texts[i];
        }
        builder.finish();
    }
    quillobrandt::DatabaseManager manager;
    const auto conversations = manager.openDatabase(source);
    ASSERT_EQ(conversations.size(), 1u);
    const Conversation& conversation = conversations[0];
    ASSERT_EQ(conversation.messages.size(), storedText.size());
    state->setParticipantLabel("+15551234567", "Ann \"Nickname\" Smith");

    auto view = open(conversation);
    const auto target = file("csv/out/export.csv");
    std::filesystem::create_directories(target.parent_path());
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->findChild<QPushButton*>("export_csv")->click();
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    EXPECT_TRUE(fake.alerts->alerts().empty());

    const auto text = platform::readFile(target);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->rfind("person,datetime,message\n", 0), 0u) << "the header stays as it was";
    const auto rows = parseCsv(*text);
    ASSERT_TRUE(rows) << *text;
    ASSERT_EQ(rows->size(), conversation.messages.size() + 1);
    EXPECT_EQ(rows->at(0), (std::vector<std::string>{"person", "datetime", "message"}));
    for (std::size_t i = 0; i < conversation.messages.size(); ++i) {
        const auto& message = conversation.messages[i];
        const auto& row = rows->at(i + 1);
        ASSERT_EQ(row.size(), 3u) << "row " << i;
        const std::string person = message.isFromMe                   ? "Me"
                                   : message.sender == "+15551234567" ? "Ann \"Nickname\" Smith"
                                                                      : message.sender;
        EXPECT_EQ(row[0], person);
        EXPECT_EQ(row[1], quillobrandt::localDateTime(message.date).toString("yyyy-MM-dd HH:mm:ss").toStdString());
        EXPECT_EQ(row[2], storedText.at(message.id)) << "row " << i;
    }
}

// One person's chats under two spellings of the number load as one conversation: the label the user gave it names
// every row, whichever spelling sent the message.
TEST_F(CsvRoundTripTest, AMergedPersonsLabelNamesEveryRow) {
    const auto source = file("merged/chat.db");
    {
        qbtest::MessagesDatabaseBuilder builder(source);
        const auto bare = builder.addOneToOneChat("5551234567", "SMS");
        const auto dressed = builder.addOneToOneChat("+1 (555) 123-4567");
        for (int i = 0; i < 4; ++i) {
            const auto& chat = i % 2 == 0 ? bare : dressed;
            builder.addMessageToChat(chat.chatId, {.text = "m" + std::to_string(i),
                                                   .date = qbtest::storedNanoseconds(7.5e8 + 60.0 * i),
                                                   .handleId = chat.handleId});
        }
        builder.finish();
    }
    quillobrandt::DatabaseManager manager;
    const auto conversations = manager.openDatabase(source);
    ASSERT_EQ(conversations.size(), 1u) << "the two chats are one person's";
    ASSERT_EQ(conversations[0].participants.size(), 1u);
    state->setParticipantLabel(conversations[0].participants[0], "Mum");

    auto view = open(conversations[0]);
    const auto target = file("merged/out.csv");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->presentCSVPanel();
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    const auto text = platform::readFile(target);
    ASSERT_TRUE(text);
    const auto rows = parseCsv(*text);
    ASSERT_TRUE(rows) << *text;
    ASSERT_EQ(rows->size(), 5u);
    for (std::size_t i = 1; i < rows->size(); ++i) {
        EXPECT_EQ(rows->at(i)[0], "Mum") << "row " << i << " (" << rows->at(i)[2] << ")";
    }
}

TEST_F(CsvRoundTripTest, FileGetsTheUsersPermissionsAndAFailureIsShown) {
    Conversation conversation;
    conversation.participants = {"+15551234567"};
    conversation.messages = {qbtest::makeMessage(QDate(2024, 1, 5), QTime(9, 0), "hi")};
    conversation.messageCount = 1;
    auto view = open(conversation);

    const mode_t previous = ::umask(027);
    const auto target = file("perm/out.csv");
    fake.panels->answerNext(QString::fromStdString(target.string()));
    view->presentCSVPanel();
    ASSERT_TRUE(qbtest::finishCsvExport(*view)); // the file is made on the exporter's thread
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(fake.alerts->alerts().empty());

    const auto missing = target.parent_path() / "no-such-folder" / "out.csv";
    fake.panels->answerNext(QString::fromStdString(missing.string()));
    view->presentCSVPanel();
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& alert = fake.alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, "Failed to Export CSV");
    EXPECT_TRUE(alert.informativeText.contains("no-such-folder")) << alert.informativeText.toStdString();
    EXPECT_TRUE(alert.informativeText.contains("No such file or directory")) << alert.informativeText.toStdString();
    EXPECT_EQ(alert.style, platform::AlertStyle::critical);
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));

    // The conversation may be closed while its file is written; the user still hears that there is no file.
    fake.panels->answerNext(QString::fromStdString(missing.string()));
    view->presentCSVPanel();
    view.reset();
    ASSERT_TRUE(quillobrandt::CsvExporter::forState(state.get())->waitForDone(30000));
    qbtest::drainEvents();
    ASSERT_EQ(fake.alerts->alerts().size(), 2u) << "a failure after the conversation was closed went unsaid";
    EXPECT_EQ(fake.alerts->alerts()[1].messageText, "Failed to Export CSV");
}

} // namespace

namespace {

TEST_F(CsvRoundTripTest, AnExportOfNothingSaysSoWithoutAskingForAFile) {
    Conversation conversation;
    conversation.participants = {"+15551234567"};
    conversation.messages = {qbtest::makeMessage(QDate(2019, 6, 5), QTime(9, 0), "long ago")};
    conversation.messageCount = 1;
    auto view = open(conversation);
    view->setDateRange(QDate(2024, 1, 1), QDate(2024, 1, 31));
    view->setEnableDateFilter(true);
    qbtest::drainEvents();
    view->presentCSVPanel();
    EXPECT_TRUE(fake.panels->saveRequests().empty()) << "no file for an export of nothing";
    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts()[0].messageText, "Nothing to Export");
    EXPECT_EQ(fake.alerts->alerts()[0].informativeText, "No messages between Jan 1, 2024 and Jan 31, 2024.");

    view->setEnableDateFilter(false);
    qbtest::drainEvents();
    fake.panels->answerNext(QString::fromStdString(file("all.csv").string()));
    view->presentCSVPanel();
    ASSERT_TRUE(qbtest::finishCsvExport(*view));
    EXPECT_EQ(fake.panels->saveRequests().size(), 1u);
    EXPECT_EQ(fake.alerts->alerts().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(file("all.csv")));
}

} // namespace
