#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "Quillobrandt/backup/AttachmentPaths.h"
#include "Quillobrandt/backup/BackupExtractor.h"
#include "platform/core/Paths.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;
using backuptest::errorOf;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

const std::string kAttachments = "Library/SMS/Attachments/";

// An sms.db whose attachment table names `filenames` (nullopt stores NULL).
fs::path messagesDatabase(const fs::path& file, const std::vector<std::optional<std::string>>& filenames) {
    qbtest::MessagesDatabaseBuilder builder(file);
    const auto chat = builder.addOneToOneChat("+15551234567");
    for (const auto& filename : filenames) {
        qbtest::MessageRow message;
        message.text = "\xEF\xBF\xBC";
        const auto messageId = builder.addMessageToChat(chat.chatId, message);
        qbtest::AttachmentRow attachment;
        attachment.filename = filename;
        builder.addMessageAttachment(messageId, builder.addAttachment(attachment));
    }
    builder.finish();
    return file;
}

std::size_t smsCopiesInTemp() {
    std::size_t count = 0;
    for (const auto& item : fs::recursive_directory_iterator(platform::tempDir())) {
        count += item.path().filename().string().starts_with("sms_temp_") ? 1 : 0;
    }
    return count;
}

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) {
            files.push_back(fs::relative(item.path(), folder).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class ImageAttachments : public ::testing::TestWithParam<bool> {
protected:
    BackupGenerator::Options options() const {
        BackupGenerator::Options options;
        options.encrypted = GetParam();
        options.password = "pw";
        return options;
    }
};

} // namespace

TEST(AttachmentPaths, ImageNamesAndSafeDestinations) {
    EXPECT_TRUE(isImageFileName("~/Library/SMS/Attachments/0a/10/X/IMG_1.HEIC"));
    EXPECT_TRUE(isImageFileName("a.b/photo.JpEg"));
    EXPECT_FALSE(isImageFileName("~/Library/SMS/Attachments/0b/11/Y/doc.pdf"));
    EXPECT_FALSE(isImageFileName("IMG_1"));
    EXPECT_FALSE(isImageFileName("IMG_1.jpg "));
    EXPECT_FALSE(isImageFileName("folder.jpg/IMG_1"));
    EXPECT_FALSE(isImageFileName("IMG_1.jpg.mov"));

    const fs::path folder = "/x/extract";
    EXPECT_EQ(attachmentDestination(folder, "Library/SMS/Attachments/a/b.png"),
              fs::path("/x/extract/Library/SMS/Attachments/a/b.png"));
    for (const std::string& bad :
         std::vector<std::string>{"", "../b.png", "Library/../../b.png", "Library//b.png", "Library/./b.png",
                                  "/etc/b.png", "Library/SMS/", std::string("a\0b.png", 7), "..", "."}) {
        EXPECT_FALSE(attachmentDestination(folder, bad)) << bad;
    }
}

TEST_P(ImageAttachments, ExtractsOnlyImagesToTheirDevicePaths) {
    const std::string heic = kAttachments + "0a/10/X/IMG_1.HEIC";
    const std::string pdf = kAttachments + "0b/11/Y/doc.pdf";
    const std::string escape = kAttachments + "../../../../../escape.jpg";
    const Bytes heicBytes = BackupGenerator::randomBytes(5000);
    BackupGenerator generator(options());
    generator.addFile("MediaDomain", heic, heicBytes);
    generator.addFile("MediaDomain", pdf, "pdf");
    generator.addFile("MediaDomain", escape, "must stay in the backup");
    generator.addFile("MediaDomain", "Library/SMS/Attachments/0c/Z/plain.png", "no tilde");
    generator.addFile("MediaDomain", "Library/SMS/Attachments/ab/absolute.png", "absolute");
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const auto before = qbtest::snapshotFolder(backup);

    const fs::path extraction = backuptest::freshFolder("Quillobrandt_X");
    const fs::path sms =
        messagesDatabase(extraction / "sms.db",
                         {"~/" + heic, "~/" + heic, "~/" + pdf, std::nullopt, "~/" + escape,
                          "~/" + kAttachments + "0c//Z/empty-component.png",
                          "~/" + kAttachments + "0d/13/W/missing.jpg", "Library/SMS/Attachments/0c/Z/plain.png",
                          "/var/mobile/Library/SMS/Attachments/ab/absolute.png", "~/" + kAttachments + "noextension"});
    // Stale companions of the source are removed first.
    std::FILE* stale = std::fopen((extraction / "sms.db-wal").c_str(), "wb");
    std::fclose(stale);

    BackupExtractor extractor(backup, "pw");
    extractor.initialize();
    std::vector<std::string> messages;
    extractor.extractImageAttachments(sms, extraction, [&](const std::string& message, double, const std::string&) {
        if (messages.empty() || messages.back() != message) {
            messages.push_back(message);
        }
    });

    EXPECT_EQ(qbtest::readWholeFile(extraction / heic), std::string(heicBytes.begin(), heicBytes.end()));
    EXPECT_EQ(qbtest::readWholeFile(extraction / "Library/SMS/Attachments/0c/Z/plain.png"), "no tilde");
    // An absolute device name lands where the reader looks for it, as a "~/" name does.
    EXPECT_EQ(qbtest::readWholeFile(extraction / "Library/SMS/Attachments/ab/absolute.png"), "absolute");
    EXPECT_EQ(filesBelow(extraction), (std::vector<std::string>{heic, "Library/SMS/Attachments/0c/Z/plain.png",
                                                                "Library/SMS/Attachments/ab/absolute.png", "sms.db"}));
    EXPECT_FALSE(fs::exists(qbtest::IsolatedHome::root() / "escape.jpg"));
    EXPECT_FALSE(fs::exists(extraction / "sms.db-wal"));
    // Images: HEIC (once), the traversal, the empty component, the missing one, plain.png, absolute.png.
    // The unsafe paths are refused before any lookup; the missing one is looked up and not found.
    EXPECT_EQ(messages, (std::vector<std::string>{"Extracting image 1 of 6...", "Extracting image 4 of 6...",
                                                  "Extracting image 5 of 6...", "Extracting image 6 of 6..."}));
    EXPECT_EQ(fs::status(extraction / "Library/SMS/Attachments/0a").permissions() & fs::perms::all,
              fs::perms::owner_all);
    EXPECT_EQ(smsCopiesInTemp(), 0u);
    EXPECT_EQ(qbtest::snapshotFolder(backup), before);
}

TEST_P(ImageAttachments, ReportsProgressPerImageShare) {
    BackupGenerator generator(options());
    std::vector<std::optional<std::string>> names;
    for (int i = 0; i < 25; ++i) {
        const std::string path = kAttachments + std::to_string(i) + "/IMG_" + std::to_string(i) + ".jpg";
        generator.addFile("MediaDomain", path, "image " + std::to_string(i));
        names.emplace_back("~/" + path);
    }
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const fs::path extraction = backuptest::freshFolder("extraction");
    const fs::path sms = messagesDatabase(backuptest::freshFolder("source") / "sms.db", names);

    BackupExtractor extractor(backup, "pw");
    extractor.initialize();
    std::vector<double> third;
    double last = 0;
    bool monotonic = true;
    testing::internal::CaptureStdout();
    extractor.extractImageAttachments(sms, extraction,
                                      [&](const std::string& message, double fraction, const std::string&) {
                                          if (message == "Extracting image 3 of 25...") {
                                              third.push_back(fraction);
                                          }
                                          monotonic = monotonic && fraction >= last;
                                          last = fraction;
                                      });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(monotonic);
    EXPECT_DOUBLE_EQ(last, 1.0);
    ASSERT_FALSE(third.empty());
    EXPECT_GT(third.front(), 2.0 / 25);
    EXPECT_DOUBLE_EQ(third.back(), 3.0 / 25);
    EXPECT_NE(out.find("📎 Extracted 10/25 images\n"), std::string::npos);
    EXPECT_NE(out.find("📎 Extracted 20/25 images\n"), std::string::npos);
    EXPECT_EQ(out.find("📎 Extracted 25/25 images"), std::string::npos);
    EXPECT_NE(out.find("📎 Found 25 total attachments, 25 are images to extract\n"), std::string::npos);
    EXPECT_EQ(filesBelow(extraction).size(), 25u);
}

TEST_P(ImageAttachments, StopFlagEndsTheLoopBeforeTheNextImage) {
    BackupGenerator generator(options());
    std::vector<std::optional<std::string>> names;
    for (int i = 0; i < 10; ++i) {
        const std::string path = kAttachments + std::to_string(i) + "/IMG_" + std::to_string(i) + ".jpg";
        generator.addFile("MediaDomain", path, "image " + std::to_string(i));
        names.emplace_back("~/" + path);
    }
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const fs::path extraction = backuptest::freshFolder("extraction");
    const fs::path sms = messagesDatabase(backuptest::freshFolder("source") / "sms.db", names);

    BackupExtractor extractor(backup, "pw");
    extractor.initialize();
    std::atomic<bool> stop{false};
    // Asked to stop while the third image is being written.
    extractor.extractImageAttachments(
        sms, extraction,
        [&stop](const std::string& message, double, const std::string&) {
            if (message == "Extracting image 3 of 10...") {
                stop = true;
            }
        },
        &stop);
    EXPECT_EQ(filesBelow(extraction).size(), 3u);
    EXPECT_EQ(smsCopiesInTemp(), 0u);
}

// A phone's database is as untrusted as any other: its attachment table made a view over an endless recursion
// must not hang the extraction past its stop, and its views may call only harmless functions.
TEST(ImageAttachmentFailures, AnEndlessAttachmentViewEndsAtTheStopAndUnsafeFunctionsAreRefused) {
    BackupGenerator generator;
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    const fs::path folder = backuptest::freshFolder("source");
    const auto replacedAttachments = [&folder](const std::string& name, const std::string& view) {
        const fs::path sms = messagesDatabase(folder / name, {"~/" + kAttachments + "a/IMG.png"});
        platform::SqliteDatabase::open(sms, SQLITE_OPEN_READWRITE)
            .exec("PRAGMA legacy_alter_table=ON; ALTER TABLE attachment RENAME TO attachment_rows; " + view);
        return sms;
    };
    const fs::path endless = replacedAttachments(
        "endless.db", "CREATE VIEW attachment AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                      "SELECT 'IMG.png' AS filename FROM n");
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    EXPECT_EQ(errorOf([&] { extractor.extractImageAttachments(endless, folder, {}, &stop); }),
              BackupError::Code::stopped);
    stopper.join();

    // A function only trusted code may call, and one whose one call can run for hours between two asks of the stop.
    for (const auto& [function, refusal] : {std::pair{"json('\"a.png\"')", "unsafe use of json()"},
                                            std::pair{"replace(filename, 'a', filename)", "calls replace()"}}) {
        const fs::path unsafe =
            replacedAttachments("unsafe.db", "CREATE VIEW attachment AS SELECT " + std::string(function) +
                                                 " AS filename FROM attachment_rows");
        try {
            extractor.extractImageAttachments(unsafe, folder);
            ADD_FAILURE() << "a view of the database called " << function;
        } catch (const BackupError& error) {
            EXPECT_EQ(error.code(), BackupError::Code::queryFailed);
            EXPECT_NE(error.text().find(refusal), std::string::npos) << error.text();
        }
        fs::remove(unsafe);
    }
    EXPECT_EQ(smsCopiesInTemp(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, ImageAttachments, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

TEST(ImageAttachmentFailures, UninitializedExtractorSkipsEveryImage) {
    BackupGenerator generator;
    generator.addFile("MediaDomain", kAttachments + "a/IMG.png", "png");
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const fs::path extraction = backuptest::freshFolder("extraction");
    const fs::path sms =
        messagesDatabase(backuptest::freshFolder("source") / "sms.db", {"~/" + kAttachments + "a/IMG.png"});
    BackupExtractor extractor(backup, "");
    testing::internal::CaptureStdout();
    extractor.extractImageAttachments(sms, extraction);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("⚠️ Could not extract attachment: " + kAttachments +
                       "a/IMG.png - Backup extractor not initialized. Call initialize() first.\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(extraction / kAttachments / "a/IMG.png"));
    EXPECT_EQ(smsCopiesInTemp(), 0u);
}

TEST(ImageAttachmentFailures, UnreadableDatabases) {
    BackupGenerator generator;
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    const fs::path folder = backuptest::freshFolder("source");

    std::FILE* file = std::fopen((folder / "garbage.db").c_str(), "wb");
    std::fputs("This is not a database file, it is a text file of some length.", file);
    std::fclose(file);
    try {
        extractor.extractImageAttachments(folder / "garbage.db", folder);
        FAIL();
    } catch (const BackupError& error) {
        EXPECT_EQ(error.code(), BackupError::Code::queryFailed);
        EXPECT_TRUE(error.text().starts_with("Could not prepare attachment query: ")) << error.text();
    }

    {
        auto db = platform::SqliteDatabase::open(folder / "other.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY)");
    }
    EXPECT_EQ(errorOf([&] { extractor.extractImageAttachments(folder / "other.db", folder); }),
              BackupError::Code::queryFailed);
    EXPECT_THROW(extractor.extractImageAttachments(folder / "missing.db", folder), fs::filesystem_error);
    EXPECT_EQ(smsCopiesInTemp(), 0u);
}

TEST(ImageAttachmentFailures, NoPrivateTemporaryFolderFailsInsteadOfCopyingIntoTheCurrentDirectory) {
    BackupGenerator generator;
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const fs::path extraction = backuptest::freshFolder("extraction");
    const fs::path sms = messagesDatabase(backuptest::freshFolder("source") / "sms.db", {"a.png"});
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    // A file where the temporary folder should be: no private folder can be made below it.
    const fs::path blocked = backuptest::freshFolder("blocked") / "not-a-folder";
    std::FILE* file = std::fopen(blocked.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ::setenv("TMPDIR", blocked.c_str(), 1);
    ASSERT_TRUE(platform::privateTempDir().empty());
    EXPECT_THROW(extractor.extractImageAttachments(sms, extraction), fs::filesystem_error);
}

TEST(AttachmentPaths, ADotDotComponentIsRefusedEvenWhenThePathStaysInside) {
    // "a/../b.png" ends inside the folder on paper, but "a" may be a link planted by an earlier file: a
    // destination never climbs, wherever it would end.
    const fs::path folder = "/x/extract";
    for (const std::string climbing : {"a/../b.png", "Library/SMS/../SMS/b.png", "Library/SMS/Attachments/..",
                                       "Library/SMS/Attachments/0a/../../../b.png"}) {
        EXPECT_EQ(attachmentDestination(folder, climbing), std::nullopt) << climbing;
    }
    // Names that only start or end with dots are ordinary names.
    EXPECT_EQ(attachmentDestination(folder, "a/..b.png"), fs::path("/x/extract/a/..b.png"));
    EXPECT_EQ(attachmentDestination(folder, "a/.../b.png"), fs::path("/x/extract/a/.../b.png"));
    EXPECT_EQ(attachmentDestination(folder, "a/b.png.."), fs::path("/x/extract/a/b.png.."));
}

TEST(ImageAttachmentFailures, ADamagedAttachmentListFailsInsteadOfEndingEarly) {
    BackupGenerator generator;
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    std::vector<std::optional<std::string>> names;
    for (int i = 0; i < 3000; ++i) {
        names.emplace_back("~/" + kAttachments + "0a/IMG_" + std::to_string(i) + "_" + std::string(40, 'p') + ".png");
    }
    const fs::path sms = messagesDatabase(backuptest::freshFolder("source") / "sms.db", names);

    // Every page holding a row from the middle of the list gets an impossible page type.
    std::string bytes = qbtest::readWholeFile(sms);
    const std::size_t pageSize = (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
    const std::string marker = "IMG_1500_";
    for (auto at = bytes.find(marker); at != std::string::npos; at = bytes.find(marker, at + 1)) {
        bytes[at / pageSize * pageSize] = '\x7F';
    }
    std::ofstream(sms, std::ios::binary | std::ios::trunc) << bytes;

    const fs::path extraction = backuptest::freshFolder("extraction");
    try {
        extractor.extractImageAttachments(sms, extraction);
        FAIL() << "a damaged list was taken as complete";
    } catch (const BackupError& error) {
        EXPECT_EQ(error.code(), BackupError::Code::queryFailed);
        EXPECT_TRUE(error.text().starts_with("Could not read the attachment list: ")) << error.text();
    }
    EXPECT_EQ(smsCopiesInTemp(), 0u);
}

TEST(ImageAttachmentFailures, AFolderThatIsALinkToAnotherFolderIsNotGoneThrough) {
    // An earlier file of the extraction, or whoever can write there, made "Library/SMS" a link to a folder
    // elsewhere: pictures must not be written through it, even though the link names a real folder.
    BackupGenerator generator;
    generator.addFile("MediaDomain", kAttachments + "a/IMG.png", "png");
    const fs::path backup = generator.write(backuptest::freshFolder("backup"));
    const fs::path extraction = backuptest::freshFolder("linked-extraction");
    const fs::path elsewhere = backuptest::freshFolder("elsewhere");
    fs::create_directories(extraction / "Library");
    fs::create_directory_symlink(elsewhere, extraction / "Library" / "SMS");
    EXPECT_THROW(createFoldersBelow(extraction, extraction / kAttachments / "a"), fs::filesystem_error);
    EXPECT_THROW(createFoldersBelow(extraction, extraction / "Library" / "SMS"), fs::filesystem_error);

    const fs::path sms =
        messagesDatabase(backuptest::freshFolder("source") / "sms.db", {"~/" + kAttachments + "a/IMG.png"});
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    extractor.extractImageAttachments(sms, extraction);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(extraction / "Library" / "SMS"));
}
