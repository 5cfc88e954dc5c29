// Vectors published by others: hashcat's iTunes-backup self-test (mode 14800) and RFC 3394 section 4.
#include <gtest/gtest.h>

#include "Quillobrandt/backup/AesKeyWrap.h"
#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

using namespace quillobrandt;
using backuptest::fromHex;

namespace {

// $itunes_backup$*10*<WPKY>*<ITER>*<SALT>*<DPIC>*<DPSL>, password "hashcat".
const char* kHashcatWpky = "17a3b858e79bc273be43a9f113b71efe7ec8e7e401396b350180b4592ef45db67ffef7b2d64329a5";
const char* kHashcatSalt = "2721336781705041205314422175267631184867";
const char* kHashcatDpsl = "99fafc983e732998adb9fadc162a2e382143f115";

Keybag hashcatKeybag() {
    std::vector<std::uint8_t> bytes;
    using qbtest::BackupGenerator;
    BackupGenerator::appendRecord(bytes, "SALT", fromHex(kHashcatSalt));
    BackupGenerator::appendRecord(bytes, "ITER", BackupGenerator::uint32Value(10000));
    BackupGenerator::appendRecord(bytes, "DPIC", BackupGenerator::uint32Value(1000));
    BackupGenerator::appendRecord(bytes, "DPSL", fromHex(kHashcatDpsl));
    BackupGenerator::appendRecord(bytes, "CLAS", BackupGenerator::uint32Value(10));
    BackupGenerator::appendRecord(bytes, "WPKY", fromHex(kHashcatWpky));
    return parseKeybag(bytes);
}

} // namespace

TEST(KnownAnswers, HashcatItunesBackupVectorUnwrapsWithItsPassword) {
    const Keybag keybag = hashcatKeybag();
    ASSERT_EQ(keybag.classKeys.size(), 1u);
    const SecureBytes kek = deriveKeyEncryptionKey("hashcat", keybag);
    const SecureBytes classKey = unwrapKey(*keybag.classKeys[0].wpky, kek.span());
    EXPECT_EQ(classKey.size(), 32u);

    const SecureBytes wrongKek = deriveKeyEncryptionKey("hashcat!", keybag);
    EXPECT_EQ(backuptest::errorOf([&] { unwrapKey(*keybag.classKeys[0].wpky, wrongKek.span()); }),
              BackupError::Code::keyUnwrapFailed);
}

TEST(KnownAnswers, HashcatVectorThroughTheManifestPath) {
    std::vector<std::uint8_t> bytes;
    using qbtest::BackupGenerator;
    BackupGenerator::appendRecord(bytes, "SALT", fromHex(kHashcatSalt));
    BackupGenerator::appendRecord(bytes, "ITER", BackupGenerator::uint32Value(10000));
    BackupGenerator::appendRecord(bytes, "DPIC", BackupGenerator::uint32Value(1000));
    BackupGenerator::appendRecord(bytes, "DPSL", fromHex(kHashcatDpsl));
    BackupGenerator::appendRecord(bytes, "CLAS", BackupGenerator::uint32Value(10));
    BackupGenerator::appendRecord(bytes, "WPKY", fromHex(kHashcatWpky));
    auto manifest = platform::Plist::dict();
    manifest.root().set("BackupKeyBag", platform::Plist::data(bytes));

    ProtectionClassKeys keys;
    deriveEncryptionKeys(manifest.root(), "hashcat", keys);
    EXPECT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys.contains(10));

    ProtectionClassKeys none;
    EXPECT_EQ(backuptest::errorOf([&] { deriveEncryptionKeys(manifest.root(), "wrong", none); }),
              BackupError::Code::keyUnwrapFailed);
    EXPECT_TRUE(none.empty());
}

TEST(KnownAnswers, Rfc3394UnwrapVectors) {
    struct Vector {
        const char* kek;
        const char* wrapped;
        const char* key;
    };
    const Vector vectors[] = {
        {"000102030405060708090A0B0C0D0E0F", "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5",
         "00112233445566778899AABBCCDDEEFF"},
        {"000102030405060708090A0B0C0D0E0F1011121314151617", "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D",
         "00112233445566778899AABBCCDDEEFF"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7", "00112233445566778899AABBCCDDEEFF"},
        {"000102030405060708090A0B0C0D0E0F1011121314151617",
         "031D33264E15D33268F24EC260743EDCE1C6C7DDEE725A936BA814915C6762D2",
         "00112233445566778899AABBCCDDEEFF0001020304050607"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1",
         "00112233445566778899AABBCCDDEEFF0001020304050607"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21",
         "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F"},
    };
    for (const auto& vector : vectors) {
        const auto kek = fromHex(vector.kek);
        auto wrapped = fromHex(vector.wrapped);
        const SecureBytes key = unwrapKey(wrapped, kek);
        const auto expected = fromHex(vector.key);
        EXPECT_EQ(std::vector<std::uint8_t>(key.span().begin(), key.span().end()), expected) << vector.wrapped;

        wrapped[wrapped.size() / 2] ^= 0x01; // one flipped bit fails the integrity check
        SecureBytes out;
        EXPECT_NE(aesUnwrap(wrapped, kek, out), 0);
        EXPECT_TRUE(out.empty());
    }
}
