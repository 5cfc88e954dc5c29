#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/backup/ManifestIndex.h"
#include "platform/core/Paths.h"
#include "platform/core/Sqlite.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"
#include "tests/support/TestEnvironment.h"

using namespace quillobrandt;
using backuptest::errorOf;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

struct Report {
    std::string message;
    double fraction;
    std::string path;
};

std::vector<double> fractionsOf(const std::vector<Report>& reports) {
    std::vector<double> fractions;
    for (const auto& report : reports) {
        fractions.push_back(report.fraction);
    }
    return fractions;
}

std::size_t decryptedCopiesInCaches() {
    std::size_t count = 0;
    if (fs::exists(platform::cachesDir())) {
        for (const auto& item : fs::directory_iterator(platform::cachesDir())) {
            count += item.path().filename().string().starts_with("DecryptedManifest-") ? 1 : 0;
        }
    }
    return count;
}

const std::string kSmsPath = "Library/SMS/sms.db";

// Runs over a plain and an encrypted backup; after each test the backup folder must be exactly as generated.
class ExtractorMatrix : public ::testing::TestWithParam<bool> {
protected:
    ExtractorMatrix() : generator_(optionsFor(GetParam())) {}

    static BackupGenerator::Options optionsFor(bool encrypted) {
        BackupGenerator::Options options;
        options.encrypted = encrypted;
        options.password = "pässword";
        return options;
    }

    fs::path writeBackup() {
        backup_ = generator_.write(qbtest::IsolatedHome::root() / "Backup" / "00008110-001A2B3C4D5E6F70");
        before_ = qbtest::snapshotFolder(backup_);
        return backup_;
    }

    void TearDown() override {
        if (!backup_.empty()) {
            EXPECT_EQ(qbtest::snapshotFolder(backup_), before_) << "the backup folder was changed";
        }
        EXPECT_EQ(decryptedCopiesInCaches(), 0u) << "a decrypted index outlived its extractor";
    }

    bool encrypted() const { return GetParam(); }

    BackupGenerator generator_;
    fs::path backup_;
    std::vector<std::pair<std::string, std::string>> before_;
};

} // namespace

TEST_P(ExtractorMatrix, FindsAndExtractsTheMessageDatabase) {
    Bytes sms = qbtest::bytesOf(std::string("SQLite format 3\0", 16));
    const Bytes body = BackupGenerator::randomBytes(70000);
    sms.insert(sms.end(), body.begin(), body.end());
    generator_.addFile("HomeDomain", kSmsPath, sms);
    generator_.addFile("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", "contacts");
    writeBackup();

    const fs::path out = backuptest::freshFolder("out");
    {
        BackupExtractor extractor(backup_, "pässword");
        extractor.initialize();
        EXPECT_EQ(extractor.protectionClassKeys().size(), encrypted() ? generator_.options().classes.size() : 0u);
        EXPECT_EQ(extractor.tempDecryptedManifestPath().has_value(), encrypted());
        if (encrypted()) {
            const auto copy = *extractor.tempDecryptedManifestPath();
            EXPECT_EQ(copy.parent_path(), platform::cachesDir());
            EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        }

        std::vector<Report> reports;
        extractor.extractFile(kSmsPath, out / "sms.db",
                              [&](const std::string& message, double fraction, const std::string& path) {
                                  reports.push_back({message, fraction, path});
                              });
        EXPECT_EQ(qbtest::readWholeFile(out / "sms.db"), std::string(sms.begin(), sms.end()));
        const std::vector<double> expected = encrypted() ? std::vector<double>{0.1, 0.3, 0.5, 0.7, 0.9, 1.0}
                                                         : std::vector<double>{0.1, 0.3, 0.5, 0.9, 1.0};
        EXPECT_EQ(fractionsOf(reports), expected);
        EXPECT_EQ(reports.front().message, "Finding file in backup...");
        EXPECT_EQ(reports.back().message, "Extraction complete");
        EXPECT_EQ(reports.back().path, kSmsPath);

        // Extracting again replaces the file; a second file works from the same index.
        extractor.extractFile(kSmsPath, out / "sms.db");
        extractor.extractFile("Library/AddressBook/AddressBook.sqlitedb", out / "AddressBook.sqlitedb");
        EXPECT_EQ(qbtest::readWholeFile(out / "AddressBook.sqlitedb"), "contacts");
    }
}

TEST_P(ExtractorMatrix, MissingRowsAndStoredFilesAreReportedAndLeaveTheExtractorUsable) {
    generator_.addFile("HomeDomain", kSmsPath, "messages");
    generator_.addFile("HomeDomain", "Library/Notes/gone.db", "x").storedFile = false;
    writeBackup();
    BackupExtractor extractor(backup_, "pässword");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");

    std::vector<Report> reports;
    const BackupProgress record = [&](const std::string& m, double f, const std::string& p) {
        reports.push_back({m, f, p});
    };
    try {
        extractor.extractFile("Library/SMS/nothing.db", out / "nothing.db", record);
        FAIL();
    } catch (const BackupError& error) {
        EXPECT_EQ(error.code(), BackupError::Code::fileNotFoundInBackup);
        EXPECT_EQ(error.description(), "File not found in backup: Library/SMS/nothing.db");
    }
    EXPECT_EQ(fractionsOf(reports), std::vector<double>{0.1});
    try {
        extractor.extractFile("Library/Notes/gone.db", out / "gone.db");
        FAIL();
    } catch (const BackupError& error) {
        EXPECT_EQ(error.code(), BackupError::Code::backupFileNotFound);
        EXPECT_EQ(error.text(), BackupGenerator::fileID("HomeDomain", "Library/Notes/gone.db"));
    }
    EXPECT_FALSE(fs::exists(out / "nothing.db"));
    EXPECT_FALSE(fs::exists(out / "gone.db"));
    extractor.extractFile(kSmsPath, out / "sms.db");
    EXPECT_EQ(qbtest::readWholeFile(out / "sms.db"), "messages");
}

TEST_P(ExtractorMatrix, BrokenRowsFailWithTheirOwnErrors) {
    generator_.addFile("HomeDomain", "null-id", "x").nullFileID = true;
    generator_.addFile("HomeDomain", "traversal-id", "x").fileIDOverride = "../../../../../../../../../../etc/passwd";
    generator_.addFile("HomeDomain", "upper-id", "x").fileIDOverride = std::string(40, 'A');
    generator_.addFile("HomeDomain", "null-record", "x").nullRecord = true;
    generator_.addFile("HomeDomain", "garbage-record", "x").recordOverride = qbtest::bytesOf("not a plist at all");
    generator_.addFile("HomeDomain", "empty-record", "x").recordOverride = Bytes{};
    writeBackup();
    BackupExtractor extractor(backup_, "pässword");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");
    const auto failure = [&](const std::string& path) {
        return errorOf([&] { extractor.extractFile(path, out / "file"); });
    };
    EXPECT_EQ(failure("null-id"), BackupError::Code::invalidFileID);
    EXPECT_EQ(failure("traversal-id"), BackupError::Code::invalidFileID);
    EXPECT_EQ(failure("upper-id"), BackupError::Code::invalidFileID);
    EXPECT_EQ(failure("null-record"), BackupError::Code::invalidFileMetadata);
    EXPECT_EQ(failure("garbage-record"), BackupError::Code::invalidFileMetadata);
    EXPECT_EQ(failure("empty-record"), BackupError::Code::invalidFileMetadata);
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_P(ExtractorMatrix, StoredFilesThatAreNoRegularFilesAreNotFound) {
    // A hostile backup folder: a link to a file the user can read, a FIFO that would hang a plain read and
    // a device that never ends stand where stored files should be.
    const fs::path secret = qbtest::IsolatedHome::root() / "home" / "secret.txt";
    std::ofstream(secret) << "the user's own private file";
    const std::vector<std::string> paths{"Library/SMS/linked.db", "Library/SMS/fifo.db", "Library/SMS/device.db"};
    for (const auto& path : paths) {
        generator_.addFile("HomeDomain", path, "x");
    }
    writeBackup();
    const auto stored = [&](const std::string& path) {
        const auto id = BackupGenerator::fileID("HomeDomain", path);
        return backup_ / id.substr(0, 2) / id;
    };
    for (const auto& path : paths) {
        fs::remove(stored(path));
    }
    fs::create_symlink(secret, stored(paths[0]));
    ASSERT_EQ(::mkfifo(stored(paths[1]).c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", stored(paths[2]));
    before_ = qbtest::snapshotFolder(backup_);

    BackupExtractor extractor(backup_, "pässword");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");
    for (const auto& path : paths) {
        EXPECT_EQ(errorOf([&] { extractor.extractFile(path, out / "file"); }),
                  BackupError::Code::backupFileNotFound)
            << path;
    }
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_P(ExtractorMatrix, AnIndexThatIsNoRegularFileIsNotFound) {
    generator_.addFile("HomeDomain", kSmsPath, "messages");
    writeBackup();
    const fs::path real = qbtest::IsolatedHome::root() / "Manifest.db";
    fs::rename(backup_ / "Manifest.db", real);
    fs::create_symlink(real, backup_ / "Manifest.db");
    before_ = qbtest::snapshotFolder(backup_);
    EXPECT_EQ(errorOf([&] { BackupExtractor(backup_, "pässword").initialize(); }),
              BackupError::Code::manifestDBNotFound);

    fs::remove(backup_ / "Manifest.db");
    ASSERT_EQ(::mkfifo((backup_ / "Manifest.db").c_str(), 0600), 0);
    before_ = qbtest::snapshotFolder(backup_);
    EXPECT_EQ(errorOf([&] { BackupExtractor(backup_, "pässword").initialize(); }),
              BackupError::Code::manifestDBNotFound);

    fs::rename(backup_ / "Manifest.plist", qbtest::IsolatedHome::root() / "Manifest.plist");
    ASSERT_EQ(::mkfifo((backup_ / "Manifest.plist").c_str(), 0600), 0);
    before_ = qbtest::snapshotFolder(backup_);
    EXPECT_EQ(errorOf([&] { BackupExtractor(backup_, "pässword").initialize(); }),
              BackupError::Code::manifestNotFound);
}

TEST_P(ExtractorMatrix, LooksFilesUpByDomainAndPathNotByPathAlone) {
    // An app's own "Library/SMS/sms.db" comes first in the index; the Messages database is the HomeDomain one, and
    // an attachment is the MediaDomain one.
    const std::string picture = "Library/SMS/Attachments/0a/10/X/IMG_1.HEIC";
    generator_.addFile("AppDomain-com.example.app", kSmsPath, "an app's file of the same name");
    generator_.addFile("HomeDomain", kSmsPath, "messages");
    generator_.addFile("HomeDomain", picture, "not the picture");
    generator_.addFile("MediaDomain", picture, "picture");
    generator_.addFile("AppDomain-com.example.app", "Library/AddressBook/AddressBook.sqlitedb", "not contacts");
    writeBackup();
    BackupExtractor extractor(backup_, "pässword");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");
    extractor.extractFile(kSmsPath, out / "sms.db");
    EXPECT_EQ(qbtest::readWholeFile(out / "sms.db"), "messages");
    extractor.extractFile(picture, out / "picture");
    EXPECT_EQ(qbtest::readWholeFile(out / "picture"), "picture");
    EXPECT_EQ(errorOf([&] { extractor.extractFile("Library/AddressBook/AddressBook.sqlitedb", out / "contacts"); }),
              BackupError::Code::fileNotFoundInBackup);
    EXPECT_EQ(backupDomainOf(kSmsPath), "HomeDomain");
    EXPECT_EQ(backupDomainOf(picture), "MediaDomain");
    EXPECT_EQ(backupDomainOf("Library/SMS/Attachments"), "HomeDomain");
}

TEST_P(ExtractorMatrix, ExtractBeforeInitializeReportsNothing) {
    generator_.addFile("HomeDomain", kSmsPath, "messages");
    writeBackup();
    BackupExtractor extractor(backup_, "pässword");
    bool reported = false;
    EXPECT_EQ(errorOf([&] {
                  extractor.extractFile(kSmsPath, backuptest::freshFolder("out") / "sms.db",
                                        [&](const std::string&, double, const std::string&) { reported = true; });
              }),
              BackupError::Code::notInitialized);
    EXPECT_FALSE(reported);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, ExtractorMatrix, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

TEST(BackupExtractorFolder, NotABackup) {
    const fs::path folder = backuptest::freshFolder("not-a-backup");
    EXPECT_EQ(errorOf([&] { BackupExtractor(folder, "").initialize(); }), BackupError::Code::manifestNotFound);
    std::FILE* file = std::fopen((folder / "Manifest.plist").c_str(), "wb");
    std::fputs("this is no property list", file);
    std::fclose(file);
    EXPECT_EQ(errorOf([&] { BackupExtractor(folder, "").initialize(); }), BackupError::Code::invalidManifest);

    const auto array = platform::Plist::array().toXml();
    file = std::fopen((folder / "Manifest.plist").c_str(), "wb");
    std::fputs(array.c_str(), file);
    std::fclose(file);
    EXPECT_EQ(errorOf([&] { BackupExtractor(folder, "").initialize(); }), BackupError::Code::invalidManifest);

    const auto plain = platform::Plist::dict().toXml(); // no IsEncrypted: a plain backup
    file = std::fopen((folder / "Manifest.plist").c_str(), "wb");
    std::fputs(plain.c_str(), file);
    std::fclose(file);
    EXPECT_EQ(errorOf([&] { BackupExtractor(folder, "").initialize(); }), BackupError::Code::manifestDBNotFound);
}

TEST(BackupExtractorFolder, AGarbageIndexFailsTheFirstLookup) {
    BackupGenerator generator;
    const fs::path backup = generator.write(backuptest::freshFolder("garbage-index"));
    std::FILE* file = std::fopen((backup / "Manifest.db").c_str(), "wb");
    std::fputs("definitely not SQLite, but long enough to look like a header of something", file);
    std::fclose(file);
    const auto before = qbtest::snapshotFolder(backup);
    BackupExtractor extractor(backup, "");
    extractor.initialize();
    EXPECT_EQ(errorOf([&] { extractor.extractFile(kSmsPath, backuptest::freshFolder("out") / "x"); }),
              BackupError::Code::queryFailed);
    EXPECT_EQ(qbtest::snapshotFolder(backup), before);
}

// The index of a handed-over backup is as untrusted as any database: its Files table made a view over an endless
// recursion ends at the stop (the wizard's close), and a view calling what no stop can end is refused.
TEST(BackupExtractorFolder, AnEndlessIndexViewEndsAtTheStop) {
    BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/SMS/sms.db", std::string("messages"));
    const fs::path backup = generator.write(backuptest::freshFolder("endless"));
    platform::SqliteDatabase::open(backup / "Manifest.db", SQLITE_OPEN_READWRITE)
        .exec("ALTER TABLE Files RENAME TO FileRows; CREATE VIEW Files AS WITH RECURSIVE n(i) AS (SELECT 1 UNION "
              "ALL SELECT i + 1 FROM n) SELECT 'x' AS fileID, NULL AS file, 'elsewhere' || i AS relativePath, "
              "'HomeDomain' AS domain FROM n");
    std::atomic<bool> stop{false};
    BackupExtractor extractor(backup, "");
    extractor.initialize(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    EXPECT_EQ(errorOf([&] { extractor.extractFile("Library/SMS/sms.db", backuptest::freshFolder("out") / "sms.db"); }),
              BackupError::Code::stopped);
    stopper.join();

    // One call of a search of one text in another can run for hours between two asks of the stop: refused.
    const fs::path costly = generator.write(backuptest::freshFolder("costly"));
    platform::SqliteDatabase::open(costly / "Manifest.db", SQLITE_OPEN_READWRITE)
        .exec("ALTER TABLE Files RENAME TO FileRows; CREATE VIEW Files AS SELECT fileID, file, domain, relativePath "
              "|| substr(instr(file, relativePath), 1, 0) AS relativePath FROM FileRows");
    BackupExtractor refused(costly, "");
    refused.initialize();
    try {
        refused.extractFile("Library/SMS/sms.db", backuptest::freshFolder("out") / "sms.db");
        ADD_FAILURE() << "the index's view was run";
    } catch (const BackupError& error) {
        EXPECT_EQ(error.description(), std::string("Database query failed: the database holds code that calls "
                                                   "instr(), which can run for hours and cannot be stopped"));
    }
}

TEST(BackupExtractorFolder, APlainBackupsJournalIsNeitherRolledBackNorRemoved) {
    BackupGenerator generator;
    generator.addFile("HomeDomain", kSmsPath, "messages");
    const fs::path backup = generator.write(backuptest::freshFolder("hot-journal"));
    // What an interrupted writer leaves: a journal beside the index. Opening it normally would roll it back.
    std::FILE* journal = std::fopen((backup / "Manifest.db-journal").c_str(), "wb");
    const std::string header("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8);
    std::fwrite(header.data(), 1, header.size(), journal);
    std::fwrite(std::string(4096, '\0').data(), 1, 4096, journal);
    std::fclose(journal);
    const auto before = qbtest::snapshotFolder(backup);
    {
        BackupExtractor extractor(backup, "");
        extractor.initialize();
        extractor.extractFile(kSmsPath, backuptest::freshFolder("out") / "sms.db");
    }
    EXPECT_EQ(qbtest::snapshotFolder(backup), before);
}

TEST(BackupExtractorFolder, APlainBackupsIndexRowsInItsWalAreFoundWithoutWritingBesideIt) {
    BackupGenerator generator;
    generator.addFile("HomeDomain", "Library/Notes/old.db", "in the main file");
    const fs::path backup = generator.write(backuptest::freshFolder("wal-index"));
    // The backup service left its last rows in Manifest.db-wal, not yet checkpointed into Manifest.db.
    const std::string id = BackupGenerator::fileID("HomeDomain", kSmsPath);
    {
        auto db = platform::SqliteDatabase::open(backup / "Manifest.db", SQLITE_OPEN_READWRITE);
        db.exec("PRAGMA journal_mode=WAL");
        ASSERT_EQ(sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
        auto insert = db.prepare("INSERT INTO Files (fileID, domain, relativePath, flags, file) VALUES (?, "
                                 "'HomeDomain', ?, 1, ?)");
        const auto record = BackupGenerator::fileRecord(kSmsPath, 8, 3, std::nullopt);
        insert.bindText(1, id);
        insert.bindText(2, kSmsPath);
        insert.bindBlob(3, record.data(), record.size());
        insert.next();
    }
    fs::create_directories(backup / id.substr(0, 2));
    std::ofstream(backup / id.substr(0, 2) / id) << "messages";
    fs::remove(backup / "Manifest.db-shm");
    ASSERT_GT(fs::file_size(backup / "Manifest.db-wal"), 0u);
    const auto before = qbtest::snapshotFolder(backup);
    const auto cachesBefore =
        fs::exists(platform::cachesDir()) ? qbtest::snapshotFolder(platform::cachesDir()) : decltype(before){};
    {
        BackupExtractor extractor(backup, "");
        extractor.initialize();
        const fs::path out = backuptest::freshFolder("out");
        extractor.extractFile(kSmsPath, out / "sms.db");
        EXPECT_EQ(qbtest::readWholeFile(out / "sms.db"), "messages");
        extractor.extractFile("Library/Notes/old.db", out / "old.db");
        EXPECT_EQ(qbtest::readWholeFile(out / "old.db"), "in the main file");
    }
    EXPECT_EQ(qbtest::snapshotFolder(backup), before) << "nothing written beside the user's backup";
    const auto cachesAfter =
        fs::exists(platform::cachesDir()) ? qbtest::snapshotFolder(platform::cachesDir()) : decltype(before){};
    EXPECT_EQ(cachesAfter, cachesBefore) << "the private copy of the index outlived its extractor";
}

TEST(BackupExtractorFolder, InitializingTwiceKeepsOneDecryptedCopy) {
    BackupGenerator::Options options;
    options.encrypted = true;
    BackupGenerator generator(options);
    generator.addFile("HomeDomain", kSmsPath, "messages");
    const fs::path backup = generator.write(backuptest::freshFolder("twice"));
    {
        BackupExtractor extractor(backup, options.password);
        extractor.initialize();
        const auto first = *extractor.tempDecryptedManifestPath();
        extractor.initialize();
        EXPECT_FALSE(fs::exists(first));
        EXPECT_EQ(decryptedCopiesInCaches(), 1u);
        extractor.extractFile(kSmsPath, backuptest::freshFolder("out") / "sms.db");
    }
    EXPECT_EQ(decryptedCopiesInCaches(), 0u);
}
