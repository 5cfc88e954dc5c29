#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/core/AtomicFile.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/DesktopAddressBooks.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/LinuxContactStore.h"
#include "platform/qt/MainQueue.h"
#include "tests/platform/qt/EvolutionFixture.h"
#include "tests/support/qt/EventLoop.h"

namespace fs = std::filesystem;

namespace {

using platform::ContactAuthorizationStatus;
using platform::ContactRecord;

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string card(const std::string& family, const std::string& given, const std::string& tel) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nN:" + family + ";" + given + ";;;\r\nTEL:" + tel + "\r\nEND:VCARD\r\n";
}

std::vector<ContactRecord> readAll(const fs::path& dataFolder) {
    std::vector<ContactRecord> cards;
    platform::readDesktopAddressBooks(dataFolder, [&](const ContactRecord& c) { cards.push_back(c); });
    return cards;
}

class LinuxContactStoreTest : public ::testing::Test {
protected:
    platform::FakePlatform fake;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    platform::LinuxContactStore store{defaults};
};

TEST(DesktopAddressBooks, MissingSourcesAreEmpty) {
    EXPECT_TRUE(readAll(platform::appSupportDir()).empty());
}

TEST(DesktopAddressBooks, VCardFilesAtAnyDepthInPathOrder) {
    const fs::path data = platform::appSupportDir();
    writeText(data / "contacts" / "b.vcf", card("Bravo", "Bea", "222"));
    writeText(data / "contacts" / "a" / "deep" / "deeper" / "x.vcf", card("Alpha", "Al", "111"));
    writeText(data / "contacts" / "notes.txt", "nothing to see");
    writeText(data / "contacts" / "c.vcf", card("Charlie", "Cy", "333") + card("Delta", "Di", "444"));
    fs::create_directory_symlink(data / "contacts", data / "contacts" / "loop");

    const auto cards = readAll(data);
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_EQ(cards[0].familyName, "Alpha");
    EXPECT_EQ(cards[1].familyName, "Bravo");
    EXPECT_EQ(cards[2].familyName, "Charlie");
    EXPECT_EQ(cards[3].familyName, "Delta");
}

TEST(DesktopAddressBooks, EvolutionBooksAreReadFromEveryVCardTableWithoutChangingThem) {
    const fs::path data = platform::appSupportDir();
    const fs::path book = data / "evolution" / "addressbook" / "system" / "contacts.db";
    qbtest::writeEvolutionAddressBook(book, {{"pas-id-1", card("Evo", "Eve", "+1 555 000 1111")}},
                                      {card("Other", "Otto", "555 000 2222")});
    writeText(data / "contacts" / "z.vcf", card("File", "Fay", "999"));
    const auto before = platform::readFile(book);

    const auto cards = readAll(data);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].familyName, "File") << "vCard files come before address books";
    EXPECT_EQ(cards[1], (ContactRecord{"Eve", "Evo", {"+1 555 000 1111"}}));
    EXPECT_EQ(cards[2], (ContactRecord{"Otto", "Other", {"555 000 2222"}}));
    EXPECT_EQ(platform::readFile(book), before);
}

TEST(DesktopAddressBooks, AnEvolutionBookInWalModeIsReadWithNothingMadeBesideIt) {
    // A reader of a database in WAL mode makes its "-wal" and "-shm" when nobody has them open; they would stay
    // behind in the user's address book folder.
    const fs::path book = platform::appSupportDir() / "evolution" / "addressbook" / "system" / "contacts.db";
    qbtest::writeEvolutionAddressBook(book, {{"pas-id-1", card("Evo", "Eve", "+1 555 000 1111")}});
    ASSERT_EQ(std::system(("sqlite3 '" + book.string() + "' 'PRAGMA journal_mode=WAL;' >/dev/null").c_str()), 0);
    const auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(book.parent_path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    ASSERT_EQ(listing(), std::vector<std::string>{"contacts.db"});
    const auto before = platform::readFile(book);

    const auto cards = readAll(platform::appSupportDir());
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0], (ContactRecord{"Eve", "Evo", {"+1 555 000 1111"}}));
    EXPECT_EQ(listing(), std::vector<std::string>{"contacts.db"});
    EXPECT_EQ(platform::readFile(book), before);
}

TEST(DesktopAddressBooks, BrokenAddressBookIsSkipped) {
    const fs::path data = platform::appSupportDir();
    writeText(data / "evolution" / "addressbook" / "broken" / "contacts.db", "this is not a database at all");
    qbtest::writeEvolutionAddressBook(data / "evolution" / "addressbook" / "good" / "contacts.db",
                                      {{"1", card("Good", "Gus", "123")}});
    const auto cards = readAll(data);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].familyName, "Good");
}

TEST_F(LinuxContactStoreTest, StatusComesFromUserDefaults) {
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::notDetermined);
    defaults.setInteger("contacts_authorization", 2);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::denied);
    defaults.setInteger("contacts_authorization", 3);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::authorized);
    defaults.setInteger("contacts_authorization", 7);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::notDetermined);
    defaults.setString("contacts_authorization", "yes");
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::notDetermined);
}

TEST_F(LinuxContactStoreTest, PromptAnsweredAllowGrantsAndIsRemembered) {
    fake.alerts->answerNext(1);
    int calls = 0;
    bool granted = false;
    bool onMain = false;
    store.requestAccess([&](bool g, const std::optional<std::string>& error) {
        ++calls;
        granted = g;
        onMain = platform::isMainThread();
        EXPECT_FALSE(error.has_value());
    });
    EXPECT_EQ(calls, 0) << "the answer comes after requestAccess returns";
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return calls > 0; }));
    qbtest::drainEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(granted);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(defaults.integer("contacts_authorization"), 3);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::authorized);

    ASSERT_EQ(fake.alerts->alerts().size(), 1u);
    const auto& prompt = fake.alerts->alerts()[0];
    EXPECT_EQ(prompt.messageText, "Allow Quillobrandt to read your contacts?");
    EXPECT_EQ(prompt.informativeText,
              "Contact names are shown in place of phone numbers. Your contacts never leave this computer.");
    EXPECT_EQ(prompt.buttons, QStringList({"Don't Allow", "Allow"}));

    // Decided: the next request answers at once without asking again.
    calls = 0;
    store.requestAccess([&](bool g, const std::optional<std::string>&) {
        ++calls;
        granted = g;
    });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return calls > 0; }));
    EXPECT_TRUE(granted);
    EXPECT_EQ(fake.alerts->alerts().size(), 1u);
}

TEST_F(LinuxContactStoreTest, PromptAnsweredDontAllowDenies) {
    fake.alerts->answerNext(0);
    std::optional<bool> granted;
    store.requestAccess([&](bool g, const std::optional<std::string>&) { granted = g; });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return granted.has_value(); }));
    EXPECT_FALSE(*granted);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::denied);

    // A prompt closed with Escape (no button) is no consent, and no lasting refusal either: the question
    // stays open, since "Don't Allow" is kept for good.
    defaults.remove("contacts_authorization");
    fake.alerts->answerNext(-1);
    granted.reset();
    store.requestAccess([&](bool g, const std::optional<std::string>&) { granted = g; });
    ASSERT_TRUE(qbtest::processEventsUntil([&] { return granted.has_value(); }));
    EXPECT_FALSE(*granted);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::notDetermined);
    EXPECT_FALSE(defaults.integer("contacts_authorization").has_value());
    const auto& prompt = fake.alerts->alerts().back();
    EXPECT_FALSE(prompt.cancelButton.has_value()) << "Escape must not answer \"Don't Allow\"";
    EXPECT_TRUE(prompt.escapeCloses);
}

TEST_F(LinuxContactStoreTest, TheAnswerCanBeChangedLater) {
    store.setAllowed(true);
    EXPECT_EQ(defaults.integer("contacts_authorization"), 3);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::authorized);
    store.setAllowed(false);
    EXPECT_EQ(defaults.integer("contacts_authorization"), 2);
    EXPECT_EQ(store.authorizationStatus(), ContactAuthorizationStatus::denied);
}

TEST_F(LinuxContactStoreTest, EnumerationReadsTheCurrentDataFolder) {
    writeText(platform::appSupportDir() / "contacts" / "me.vcf", card("Doe", "Jane", "+1 555 123 4567"));
    std::vector<ContactRecord> cards;
    store.enumerateContacts([&](const ContactRecord& c) { cards.push_back(c); });
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].givenName, "Jane");
}

} // namespace
