// From an encrypted backup to loaded conversations whose image attachments point at the extracted files.
#include <gtest/gtest.h>

#include <map>

#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/store/DatabaseManager.h"
#include "platform/core/Paths.h"
#include "platform/core/Uuid.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

TEST(BackupEndToEnd, ExtractedImagesAreWhereTheLoadedMessagesLookForThem) {
    // The phone's message database, made in the real schema.
    const fs::path phoneDb = backuptest::freshFolder("phone") / "sms.db";
    const std::map<std::string, std::string> images = {
        {"Library/SMS/Attachments/0a/10/A1B2/IMG_0001.HEIC", "image/heic"},
        {"Library/SMS/Attachments/1f/31/C3D4/IMG_0002.JPG", "image/jpeg"},
        {"Library/SMS/Attachments/2e/46/E5F6/screenshot.png", "image/png"},
    };
    const std::string pdf = "Library/SMS/Attachments/3d/61/0708/invoice.pdf";
    std::map<std::string, Bytes> contents;
    {
        qbtest::MessagesDatabaseBuilder builder(phoneDb, qbtest::JournalMode::wal);
        const auto chat = builder.addOneToOneChat("+15557654321");
        double date = 700'000'000;
        for (const auto& [path, mime] : images) {
            qbtest::MessageRow message;
            message.text = "\xEF\xBF\xBC";
            message.date = qbtest::storedNanoseconds(date += 60);
            const auto messageId = builder.addMessageToChat(chat.chatId, message);
            qbtest::AttachmentRow attachment;
            attachment.filename = "~/" + path;
            attachment.mimeType = mime;
            attachment.transferName = fs::path(path).filename().string();
            builder.addMessageAttachment(messageId, builder.addAttachment(attachment));
            contents[path] = BackupGenerator::randomBytes(3000 + contents.size() * 1000);
        }
        qbtest::MessageRow message;
        message.text = "here is the invoice";
        message.date = qbtest::storedNanoseconds(date += 60);
        const auto messageId = builder.addMessageToChat(chat.chatId, message);
        qbtest::AttachmentRow attachment;
        attachment.filename = "~/" + pdf;
        attachment.mimeType = "application/pdf";
        builder.addMessageAttachment(messageId, builder.addAttachment(attachment));
        builder.finish();
    }

    BackupGenerator::Options options;
    options.encrypted = true;
    options.password = "end to end";
    BackupGenerator generator(options);
    generator.addFile("HomeDomain", "Library/SMS/sms.db", qbtest::bytesOf(qbtest::readWholeFile(phoneDb)));
    generator.addFile("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", "address book");
    for (const auto& [path, bytes] : contents) {
        generator.addFile("MediaDomain", path, bytes, 4);
    }
    generator.addFile("MediaDomain", pdf, "%PDF-1.4", 4);
    const fs::path backup = generator.write(qbtest::IsolatedHome::root() / "MobileSync" / "Backup" / "udid");
    const auto before = qbtest::snapshotFolder(backup);

    // The extraction the wizard runs.
    const fs::path extraction = platform::cachesDir() / ("Quillobrandt_" + platform::makeUuidString());
    ASSERT_TRUE(platform::createPrivateDirectory(extraction));
    {
        BackupExtractor extractor(backup, "end to end");
        extractor.initialize();
        extractor.extractFile("Library/SMS/sms.db", extraction / "sms.db");
        extractor.extractFile("Library/AddressBook/AddressBook.sqlitedb", extraction / "AddressBook.sqlitedb");
        extractor.extractImageAttachments(extraction / "sms.db", extraction);
    }

    DatabaseManager manager;
    const auto conversations = manager.openDatabase(extraction / "sms.db", extraction);
    ASSERT_EQ(conversations.size(), 1u);
    std::size_t imagesSeen = 0;
    for (const auto& message : conversations[0].messages) {
        for (const auto& attachment : message.attachments) {
            if (!attachment.isImage()) {
                EXPECT_FALSE(fs::exists(attachment.filePath)) << attachment.filePath;
                continue;
            }
            ++imagesSeen;
            ASSERT_TRUE(fs::exists(attachment.filePath)) << attachment.filePath;
            const std::string relative = fs::relative(attachment.filePath, extraction).string();
            ASSERT_TRUE(contents.contains(relative)) << relative;
            const Bytes& original = contents.at(relative);
            EXPECT_EQ(qbtest::readWholeFile(attachment.filePath), std::string(original.begin(), original.end()));
        }
    }
    EXPECT_EQ(imagesSeen, images.size());
    EXPECT_EQ(qbtest::snapshotFolder(backup), before);
}
