#include <gtest/gtest.h>

#include "Quillobrandt/backup/BackupExtractor.h"
#include "Quillobrandt/backup/Keybag.h"
#include "platform/core/Paths.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

using namespace quillobrandt;
using backuptest::errorOf;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

const std::string kSmsPath = "Library/SMS/sms.db";

BackupGenerator::Options encryptedOptions() {
    BackupGenerator::Options options;
    options.encrypted = true;
    options.password = "hunter2";
    return options;
}

// Generates an encrypted backup holding sms.db, runs `check` on it, and proves the folder unchanged afterwards.
template <typename Check> void withBackup(BackupGenerator::Options options, const std::string& name, Check&& check) {
    BackupGenerator generator(std::move(options));
    generator.addFile("HomeDomain", kSmsPath, "messages");
    const fs::path backup = generator.write(backuptest::freshFolder(name));
    const auto before = qbtest::snapshotFolder(backup);
    check(backup, generator);
    EXPECT_EQ(qbtest::snapshotFolder(backup), before) << name;
}

BackupError::Code initializeFailure(const fs::path& backup, const std::string& password) {
    return errorOf([&] { BackupExtractor(backup, password).initialize(); });
}

} // namespace

TEST(EncryptedBackup, PasswordsThatDoNotOpenIt) {
    withBackup(encryptedOptions(), "pw", [](const fs::path& backup, const BackupGenerator&) {
        EXPECT_EQ(initializeFailure(backup, ""), BackupError::Code::passwordRequired);
        EXPECT_EQ(initializeFailure(backup, "hunter3"), BackupError::Code::keyUnwrapFailed);
        EXPECT_EQ(initializeFailure(backup, "Hunter2"), BackupError::Code::keyUnwrapFailed);
    });
}

TEST(EncryptedBackup, ManifestKeyProblems) {
    auto options = encryptedOptions();
    options.includeManifestKey = false;
    withBackup(options, "no-key", [](const fs::path& backup, const BackupGenerator&) {
        EXPECT_EQ(initializeFailure(backup, "hunter2"), BackupError::Code::missingManifestKey);
    });
    options = encryptedOptions();
    options.manifestKeyOverride = Bytes{3, 0, 0, 0};
    withBackup(options, "four-bytes", [](const fs::path& backup, const BackupGenerator&) {
        EXPECT_EQ(initializeFailure(backup, "hunter2"), BackupError::Code::missingManifestKey);
    });
    options = encryptedOptions();
    options.manifestKeyOverride = Bytes{3, 0, 0, 0, 1, 2, 3, 4, 5}; // a wrapped key of 5 bytes
    withBackup(options, "short-wrap", [](const fs::path& backup, const BackupGenerator&) {
        EXPECT_EQ(initializeFailure(backup, "hunter2"), BackupError::Code::keyUnwrapFailed);
    });
    options = encryptedOptions();
    options.manifestClass = 12; // not in the keybag
    withBackup(options, "class-12", [](const fs::path& backup, const BackupGenerator&) {
        try {
            BackupExtractor(backup, "hunter2").initialize();
            FAIL();
        } catch (const BackupError& error) {
            EXPECT_EQ(error.description(), "Protection class 12 not found or not unwrapped.");
        }
    });
}

TEST(EncryptedBackup, FileOfAClassTheKeybagDoesNotUnwrap) {
    auto options = encryptedOptions();
    options.classes = {1, 2, 3};
    BackupGenerator generator(options);
    generator.addFile("HomeDomain", "Library/Keychain/item", "secret", 4);
    const fs::path backup = generator.write(backuptest::freshFolder("class4"));
    BackupExtractor extractor(backup, "hunter2");
    extractor.initialize();
    std::vector<double> fractions;
    try {
        extractor.extractFile(
            "Library/Keychain/item", backuptest::freshFolder("out") / "item",
            [&](const std::string&, double fraction, const std::string&) { fractions.push_back(fraction); });
        FAIL();
    } catch (const BackupError& error) {
        EXPECT_EQ(error.code(), BackupError::Code::protectionClassNotFound);
        EXPECT_EQ(error.protectionClass(), 4);
    }
    EXPECT_EQ(fractions, (std::vector<double>{0.1, 0.3, 0.5, 0.7}));
}

TEST(EncryptedBackup, RecordsWithoutAUsableKeyAreCopiedAsStored) {
    BackupGenerator generator(encryptedOptions());
    generator.addFile("HomeDomain", "prefix-only", "stored bytes").recordOverride =
        BackupGenerator::fileRecord("prefix-only", 12, 3, Bytes{3, 0, 0, 0});
    generator.addFile("HomeDomain", "no-key", "stored bytes").omitEncryptionKey = true;
    const fs::path backup = generator.write(backuptest::freshFolder("nokey"));
    BackupExtractor extractor(backup, "hunter2");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");
    for (const std::string path : {"prefix-only", "no-key"}) {
        extractor.extractFile(path, out / path);
        const std::string id = BackupGenerator::fileID("HomeDomain", path);
        EXPECT_EQ(qbtest::readWholeFile(out / path), qbtest::readWholeFile(backup / id.substr(0, 2) / id));
    }
}

TEST(EncryptedBackup, DecryptionFailuresLeaveNoDestination) {
    BackupGenerator generator(encryptedOptions());
    generator.addFile("HomeDomain", "wrong-size", "twelve bytes").sizeOverride = 13;
    generator.addFile("HomeDomain", "bad-wrap", "x").recordOverride =
        BackupGenerator::fileRecord("bad-wrap", 1, 3, Bytes{3, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9});
    const fs::path backup = generator.write(backuptest::freshFolder("bad"));
    BackupExtractor extractor(backup, "hunter2");
    extractor.initialize();
    const fs::path out = backuptest::freshFolder("out");
    EXPECT_EQ(errorOf([&] { extractor.extractFile("wrong-size", out / "a"); }), BackupError::Code::decryptionFailed);
    EXPECT_EQ(errorOf([&] { extractor.extractFile("bad-wrap", out / "b"); }), BackupError::Code::keyUnwrapFailed);
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(EncryptedBackup, KeybagTruncatedAtEveryRecordBoundary) {
    BackupGenerator reference(encryptedOptions());
    reference.write(backuptest::freshFolder("reference"));
    const Bytes& keybag = reference.keybag();
    std::vector<std::size_t> boundaries;
    for (std::size_t offset = 0; offset + 8 <= keybag.size();) {
        boundaries.push_back(offset);
        offset += 8 + static_cast<std::size_t>(readUInt32BigEndian({keybag.data() + offset + 4, 4}));
    }
    std::size_t opened = 0;
    for (const std::size_t boundary : boundaries) {
        auto options = encryptedOptions();
        options.keybagEdit = [boundary](const Bytes& own) {
            return Bytes(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(boundary));
        };
        BackupGenerator generator(options);
        generator.addFile("HomeDomain", kSmsPath, "messages");
        const fs::path backup = generator.write(backuptest::freshFolder("cut-" + std::to_string(boundary)));
        const auto before = qbtest::snapshotFolder(backup);
        try {
            BackupExtractor extractor(backup, "hunter2");
            extractor.initialize();
            ++opened;
        } catch (const BackupError& error) {
            // Salt values missing, no class key yet, or the index's class not yet in the keybag.
            EXPECT_TRUE(error.code() == BackupError::Code::invalidKeybag ||
                        error.code() == BackupError::Code::keyUnwrapFailed ||
                        error.code() == BackupError::Code::protectionClassNotFound)
                << boundary << ": " << error.caseName();
        }
        EXPECT_EQ(qbtest::snapshotFolder(backup), before);
    }
    // Once class 3 (the index's) is whole, the truncated keybag still opens the backup.
    EXPECT_EQ(opened, boundaries.size() - 10 - 5 * 3);
}
