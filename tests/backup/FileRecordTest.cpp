#include <gtest/gtest.h>

#include "Quillobrandt/backup/FileRecord.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

using namespace quillobrandt;
using backuptest::errorOf;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;

TEST(FileRecord, ReadsClassSizeAndWrappedKeyOfAnMBFile) {
    Bytes key = {3, 0, 0, 0};
    const Bytes wrapped(40, 0xAB);
    key.insert(key.end(), wrapped.begin(), wrapped.end());
    const FileRecord record = parseFileMetadata(BackupGenerator::fileRecord("Library/SMS/sms.db", 1234, 3, key));
    EXPECT_EQ(record.protectionClass, 3);
    EXPECT_EQ(record.size, 1234u);
    EXPECT_EQ(record.wrappedKey, wrapped);

    const FileRecord plain = parseFileMetadata(BackupGenerator::fileRecord("a", 1, 0, std::nullopt));
    EXPECT_FALSE(plain.wrappedKey);

    // Four bytes carry only the prefix: no key.
    const FileRecord prefixOnly = parseFileMetadata(BackupGenerator::fileRecord("a", 1, 4, Bytes{4, 0, 0, 0}));
    EXPECT_FALSE(prefixOnly.wrappedKey);
    EXPECT_EQ(prefixOnly.protectionClass, 4);
}

TEST(FileRecord, RejectsWhatIsNotAKeyedArchiveRecord) {
    const auto rejects = [](const Bytes& blob) {
        return errorOf([&] { parseFileMetadata(blob); }) == BackupError::Code::invalidFileMetadata;
    };
    EXPECT_TRUE(rejects(Bytes{}));
    EXPECT_TRUE(rejects(qbtest::bytesOf("bplist00 garbage")));
    EXPECT_TRUE(rejects(platform::Plist::array().toBinary()));

    // "root" pointing past "$objects", at a non-dictionary, or not a reference at all.
    const auto archiveWithRoot = [](platform::Plist rootValue) {
        auto archive = platform::Plist::dict();
        auto objects = platform::Plist::array();
        objects.root().append(platform::Plist::string("$null"));
        archive.root().set("$objects", std::move(objects));
        auto top = platform::Plist::dict();
        top.root().set("root", std::move(rootValue));
        archive.root().set("$top", std::move(top));
        return archive.toBinary();
    };
    EXPECT_TRUE(rejects(archiveWithRoot(platform::Plist::uid(7))));
    EXPECT_TRUE(rejects(archiveWithRoot(platform::Plist::uid(0))));
    EXPECT_TRUE(rejects(archiveWithRoot(platform::Plist::integer(1))));
}

TEST(FileRecord, AKeyReferenceOutOfRangeMeansNoKey) {
    auto archive = platform::Plist::dict();
    auto objects = platform::Plist::array();
    objects.root().append(platform::Plist::string("$null"));
    auto record = platform::Plist::dict();
    record.root().set("ProtectionClass", platform::Plist::string("three")); // wrong type reads 0
    record.root().set("EncryptionKey", platform::Plist::uid(99));
    objects.root().append(std::move(record));
    archive.root().set("$objects", std::move(objects));
    auto top = platform::Plist::dict();
    top.root().set("root", platform::Plist::uid(1));
    archive.root().set("$top", std::move(top));
    const FileRecord parsed = parseFileMetadata(archive.toBinary());
    EXPECT_EQ(parsed.protectionClass, 0);
    EXPECT_FALSE(parsed.wrappedKey);
}

TEST(FileRecord, KeysHoldingNulBytesDoNotAbort) {
    // A binary record whose keys carry NUL bytes: libplist's own key getter aborts on these.
    const std::string bytes = qbtest::readWholeFile(QB_SOURCE_DIR "/tests/fuzz/corpus/fuzz_mbfile/nul-in-key.bplist");
    ASSERT_FALSE(bytes.empty());
    const FileRecord record = parseFileMetadata(qbtest::bytesOf(bytes));
    EXPECT_EQ(record.protectionClass, 0); // "ProtectionClasS" is not "ProtectionClass"
    EXPECT_FALSE(record.wrappedKey);      // the key reference sits under a mangled name
}
