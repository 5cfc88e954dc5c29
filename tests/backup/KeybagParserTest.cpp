#include <gtest/gtest.h>

#include "Quillobrandt/backup/Keybag.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

using namespace quillobrandt;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes record(const char tag[4], const Bytes& value) {
    Bytes out;
    BackupGenerator::appendRecord(out, tag, value);
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes u32(std::uint32_t value) {
    return BackupGenerator::uint32Value(value);
}

} // namespace

TEST(KeybagParser, ReadsBigEndianIntegersOfAnyWidth) {
    EXPECT_EQ(readUInt32BigEndian(Bytes{0x00, 0x98, 0x96, 0x80}), 10'000'000);
    EXPECT_EQ(readUInt32BigEndian(Bytes{0xFF, 0xFF, 0xFF, 0xFF}), 4294967295LL);
    EXPECT_EQ(readUInt32BigEndian(Bytes{0x00, 0x01}), 65536);   // short values pad at the end
    EXPECT_EQ(readUInt32BigEndian(Bytes{0, 0, 0, 7, 9, 9}), 7); // only the first four bytes count
    EXPECT_EQ(readUInt32BigEndian(Bytes{}), 0);
}

TEST(KeybagParser, SortsTopLevelAndClassRecords) {
    const Bytes bytes = record("VERS", u32(4)) + record("UUID", Bytes(16, 1)) + record("WRAP", u32(0)) +
                        record("SALT", Bytes(20, 2)) + record("ITER", u32(10000)) + record("DPIC", u32(10'000'000)) +
                        record("DPSL", Bytes(20, 3)) + record("UUID", Bytes(16, 4)) + record("CLAS", u32(1)) +
                        record("WRAP", u32(3)) + record("KTYP", u32(0)) + record("WPKY", Bytes(40, 5)) +
                        record("CLAS", u32(2)) + record("WPKY", Bytes(40, 6));
    const Keybag keybag = parseKeybag(bytes);
    EXPECT_EQ(keybag.salt, Bytes(20, 2));
    EXPECT_EQ(keybag.iter, 10000);
    EXPECT_EQ(keybag.dpic, 10'000'000);
    EXPECT_EQ(keybag.dpsl, Bytes(20, 3));
    EXPECT_EQ(keybag.uuid, Bytes(16, 4)); // a class's UUID still lands at the top level, the later one wins
    ASSERT_EQ(keybag.classKeys.size(), 3u);
    EXPECT_FALSE(keybag.classKeys[0].clas); // the top-level WRAP formed an entry without CLAS
    EXPECT_EQ(keybag.classKeys[0].wrap, 0);
    EXPECT_EQ(keybag.classKeys[1].clas, 1);
    EXPECT_EQ(keybag.classKeys[1].wrap, 3);
    EXPECT_EQ(keybag.classKeys[1].ktyp, 0);
    EXPECT_EQ(keybag.classKeys[1].wpky, Bytes(40, 5));
    EXPECT_EQ(keybag.classKeys[2].clas, 2);
    EXPECT_EQ(keybag.classKeys[2].wpky, Bytes(40, 6));
}

TEST(KeybagParser, LaterValuesWinAndEmptyValuesAreKept) {
    const Keybag keybag = parseKeybag(record("SALT", Bytes(4, 1)) + record("SALT", Bytes(8, 9)) +
                                      record("ITER", Bytes{}) + record("DPSL", Bytes{}) + record("ZZZZ", Bytes(3, 0)));
    EXPECT_EQ(keybag.salt, Bytes(8, 9));
    EXPECT_EQ(keybag.iter, 0);
    EXPECT_EQ(keybag.dpsl, Bytes{});
}

TEST(KeybagParser, KeepsWhatCameBeforeATruncatedRecord) {
    const Bytes whole = record("SALT", Bytes(20, 2)) + record("CLAS", u32(5)) + record("WPKY", Bytes(40, 1));
    Bytes truncated = whole;
    truncated.resize(whole.size() - 1); // the last record announces one byte more than remains
    const Keybag keybag = parseKeybag(truncated);
    ASSERT_EQ(keybag.classKeys.size(), 1u);
    EXPECT_EQ(keybag.classKeys[0].clas, 5);
    EXPECT_FALSE(keybag.classKeys[0].wpky);

    for (std::size_t extra = 1; extra <= 7; ++extra) {
        Bytes trailing = whole;
        trailing.insert(trailing.end(), extra, 0x41);
        EXPECT_EQ(parseKeybag(trailing), parseKeybag(whole)) << extra << " trailing bytes";
    }
}

TEST(KeybagParser, RejectsKeybagsWithoutSalt) {
    using backuptest::errorOf;
    EXPECT_EQ(errorOf([] { parseKeybag(Bytes{}); }), BackupError::Code::invalidKeybag);
    EXPECT_EQ(errorOf([] { parseKeybag(Bytes(7, 0)); }), BackupError::Code::invalidKeybag);
    EXPECT_EQ(errorOf([] { parseKeybag(record("CLAS", u32(1)) + record("WPKY", Bytes(40, 0))); }),
              BackupError::Code::invalidKeybag);
    EXPECT_EQ(errorOf([] { parseKeybag(record("ITER", u32(1)) + record("DPSL", Bytes(20, 0))); }),
              BackupError::Code::invalidKeybag);
    // A length field near 4 GiB must not wrap around the bounds check.
    EXPECT_EQ(errorOf([] {
                  parseKeybag(Bytes{'S', 'A', 'L', 'T', 0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
              }),
              BackupError::Code::invalidKeybag);
}

TEST(KeybagParser, TruncationAtEveryRecordBoundaryNeverCrashes) {
    BackupGenerator generator(BackupGenerator::Options{.encrypted = true});
    generator.write(backuptest::freshFolder("kb"));
    const Bytes& keybag = generator.keybag();
    for (std::size_t length = 0; length <= keybag.size(); ++length) {
        const Bytes prefix(keybag.begin(), keybag.begin() + static_cast<std::ptrdiff_t>(length));
        try {
            const Keybag parsed = parseKeybag(prefix);
            EXPECT_TRUE(parsed.salt.has_value());
        } catch (const BackupError& error) {
            EXPECT_EQ(error.code(), BackupError::Code::invalidKeybag);
        }
    }
}

TEST(BackupErrorText, MessagesCarryTheirPayload) {
    EXPECT_EQ(BackupError::protectionClassNotFound(3).description(), "Protection class 3 not found or not unwrapped.");
    EXPECT_EQ(BackupError(BackupError::Code::fileNotFoundInBackup, "Library/SMS/sms.db").description(),
              "File not found in backup: Library/SMS/sms.db");
    EXPECT_EQ(BackupError(BackupError::Code::failedToOpenManifestDB, "x").description(),
              "Failed to open Manifest.db: x");
    EXPECT_EQ(BackupError(BackupError::Code::keyUnwrapFailed).caseName(), "keyUnwrapFailed");
    EXPECT_STREQ(BackupError(BackupError::Code::notInitialized).what(),
                 "Backup extractor not initialized. Call initialize() first.");
}
