#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Quillobrandt/app/PermissionManager.h"
#include "platform/qt/FakePlatform.h"

namespace {

using platform::ContactAuthorizationStatus;
using platform::ContactRecord;
using quillobrandt::PermissionManager;

class ContactCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        PermissionManager::resetContactCache();
        fake.contacts->setStatus(ContactAuthorizationStatus::authorized);
    }
    void TearDown() override { PermissionManager::resetContactCache(); }

    platform::FakePlatform fake;
};

TEST(ContactKey, EveryWayOfWritingOneNumberGivesOneKey) {
    for (const char* form : {"+1 (555) 123-4567", "(555) 123-4567", "555.123.4567", "15551234567", "+15551234567",
                             "001 555 123 4567", "tel:+1-555-123-4567", "5551234567"}) {
        EXPECT_EQ(PermissionManager::contactKey(form), "5551234567") << form;
    }
    EXPECT_EQ(PermissionManager::contactKey("+44 20 7946 0958"), "2079460958");
    EXPECT_EQ(PermissionManager::contactKey("+49 (0)30 1234 5678"), "3012345678");
}

TEST(ContactKey, ShortCodesAndAddressesHaveNoKey) {
    EXPECT_EQ(PermissionManager::contactKey("12345"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactKey("555-1234"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactKey("jane.doe@example.com"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactKey("user123456789@example.com"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactKey("user1234567890@example.com"), "1234567890")
        << "ten digits make a key wherever they stand";
    EXPECT_EQ(PermissionManager::contactKey(""), std::nullopt);
}

TEST(ContactKey, NonLatinDecimalDigitsStayInTheKey) {
    // Arabic-Indic ٠١٢٣٤٥٦٧٨٩ (U+0660..U+0669) with a country code in front.
    const std::string arabic = "+١ ٥٥٥ ١٢٣ ٤٥٦٧";
    EXPECT_EQ(PermissionManager::contactKey(arabic), "٥٥٥١٢٣٤٥٦٧");
    EXPECT_NE(PermissionManager::contactKey(arabic), PermissionManager::contactKey("5551234567"));
    // Devanagari and full-width digits are decimal digits too; superscripts are not.
    EXPECT_EQ(PermissionManager::contactKey("९८७६५४३२१०"), "९८७६५४३२१०");
    EXPECT_EQ(PermissionManager::contactKey("０１２３４５６７８９"), "０１２３４５６７８９");
    EXPECT_EQ(PermissionManager::contactKey("¹²³⁴⁵⁶⁷⁸⁹⁰"), std::nullopt);
}

TEST(ContactDisplayName, GivenFamilyOrEither) {
    EXPECT_EQ(PermissionManager::displayName({"Jane", "Doe", {}}), "Jane Doe");
    EXPECT_EQ(PermissionManager::displayName({"", "Plumber", {}}), "Plumber");
    EXPECT_EQ(PermissionManager::displayName({"Cher", "", {}}), "Cher");
    EXPECT_EQ(PermissionManager::displayName({"", "", {}}), std::nullopt);
}

TEST_F(ContactCacheTest, NamesResolveForEveryFormOfTheNumber) {
    fake.contacts->setContacts({{"Jane", "Doe", {"+1 (555) 123-4567", "jane@example.com"}},
                                {"", "Plumber", {"555.987.6543"}},
                                {"", "", {"+1 555 000 0000"}},
                                {"Shorty", "", {"12345"}}});
    EXPECT_EQ(PermissionManager::contactName("+15551234567"), "Jane Doe");
    EXPECT_EQ(PermissionManager::contactName("555.123.4567"), "Jane Doe");
    EXPECT_EQ(PermissionManager::contactName("15551234567"), "Jane Doe");
    EXPECT_EQ(PermissionManager::contactName("(555) 987-6543"), "Plumber");
    EXPECT_EQ(PermissionManager::contactName("5550000000"), std::nullopt) << "a contact without a name is not cached";
    EXPECT_EQ(PermissionManager::contactName("12345"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactName("jane@example.com"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactCacheCount(), 2u);
    EXPECT_EQ(fake.contacts->enumerationCount(), 1);
}

TEST_F(ContactCacheTest, LastContactWins) {
    fake.contacts->setContacts({{"First", "Owner", {"5551234567"}}, {"Second", "Owner", {"+1 555 123 4567"}}});
    EXPECT_EQ(PermissionManager::contactName("5551234567"), "Second Owner");
}

TEST_F(ContactCacheTest, WithoutAccessNothingIsBuiltOrFound) {
    fake.contacts->setContacts({{"Jane", "Doe", {"5551234567"}}});
    for (auto status : {ContactAuthorizationStatus::notDetermined, ContactAuthorizationStatus::restricted,
                        ContactAuthorizationStatus::denied}) {
        fake.contacts->setStatus(status);
        EXPECT_EQ(PermissionManager::contactName("5551234567"), std::nullopt);
        PermissionManager::buildContactCache();
    }
    EXPECT_EQ(fake.contacts->enumerationCount(), 0);
    EXPECT_FALSE(PermissionManager::isContactCacheBuilt());

    // Access withdrawn after a build: the cache stays, lookups stop.
    fake.contacts->setStatus(ContactAuthorizationStatus::authorized);
    EXPECT_EQ(PermissionManager::contactName("5551234567"), "Jane Doe");
    fake.contacts->setStatus(ContactAuthorizationStatus::denied);
    EXPECT_EQ(PermissionManager::contactName("5551234567"), std::nullopt);
    EXPECT_EQ(PermissionManager::contactCacheCount(), 1u);
}

TEST_F(ContactCacheTest, BuiltOnceThenSkipped) {
    fake.contacts->setContacts({{"Jane", "Doe", {"5551234567"}}});
    testing::internal::CaptureStdout();
    PermissionManager::buildContactCache();
    PermissionManager::buildContactCache();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🔨 Building contact cache...\n"
                                                      "📇 Contact cache already built, skipping rebuild\n");
    EXPECT_TRUE(PermissionManager::isContactCacheBuilt());
    fake.contacts->setContacts({{"New", "Person", {"5550001111"}}});
    EXPECT_EQ(PermissionManager::contactName("5550001111"), std::nullopt) << "later changes wait for the next launch";
    EXPECT_EQ(fake.contacts->enumerationCount(), 1);
}

TEST_F(ContactCacheTest, FailedBuildIsRetriedAndKeepsWhatItStored) {
    fake.contacts->setContacts({{"Jane", "Doe", {"5551234567"}}});
    fake.contacts->setEnumerationError(platform::ContactStoreError("IOError", 5, "address book locked"));
    testing::internal::CaptureStdout();
    PermissionManager::buildContactCache();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🔨 Building contact cache...\n"
                                                      "❌ Error building contact cache: address book locked\n");
    EXPECT_FALSE(PermissionManager::isContactCacheBuilt());
    EXPECT_EQ(PermissionManager::contactCacheCount(), 1u);

    fake.contacts->setEnumerationError(std::nullopt);
    fake.contacts->setContacts({{"Jane", "Doe", {"5551234567"}}, {"Bob", "Roe", {"5559998888"}}});
    EXPECT_EQ(PermissionManager::contactName("5559998888"), "Bob Roe");
    EXPECT_TRUE(PermissionManager::isContactCacheBuilt());
    EXPECT_EQ(fake.contacts->enumerationCount(), 2);
}

TEST_F(ContactCacheTest, ToleratedErrorsCountAsBuilt) {
    for (int code : {1006, 604}) {
        PermissionManager::resetContactCache();
        fake.contacts->setContacts({{"Jane", "Doe", {"5551234567"}}});
        fake.contacts->setEnumerationError(
            platform::ContactStoreError(platform::kContactStoreErrorDomain, code, "change history unavailable"));
        testing::internal::CaptureStdout();
        PermissionManager::buildContactCache();
        EXPECT_EQ(
            testing::internal::GetCapturedStdout(),
            "🔨 Building contact cache...\n⚠️ Contact cache built with warnings (change history unavailable)\n");
        EXPECT_TRUE(PermissionManager::isContactCacheBuilt());
    }
    // The same codes in another domain are real failures.
    PermissionManager::resetContactCache();
    fake.contacts->setEnumerationError(platform::ContactStoreError("OtherDomain", 1006, "boom"));
    PermissionManager::buildContactCache();
    EXPECT_FALSE(PermissionManager::isContactCacheBuilt());
}

TEST_F(ContactCacheTest, LookupsFromManyThreadsWhileBuilding) {
    std::vector<ContactRecord> contacts;
    for (int i = 0; i < 2000; ++i) {
        contacts.push_back({"Person", std::to_string(i), {"+1 555 " + std::to_string(1000000 + i)}});
    }
    fake.contacts->setContacts(contacts);
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < 2000; i += 4) {
                if (PermissionManager::contactName("555" + std::to_string(1000000 + i)) ==
                    "Person " + std::to_string(i)) {
                    ++found;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(found.load(), 2000);
    EXPECT_EQ(fake.contacts->enumerationCount(), 1) << "concurrent first lookups share one build";
    EXPECT_EQ(PermissionManager::contactCacheCount(), 2000u);
}

} // namespace
