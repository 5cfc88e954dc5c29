#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <openssl/evp.h>

#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

using namespace quillobrandt;
using backuptest::errorOf;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;

namespace {

platform::Plist manifestWithKeybag(const Bytes& keybag) {
    auto manifest = platform::Plist::dict();
    manifest.root().set("BackupKeyBag", platform::Plist::data(keybag));
    return manifest;
}

// A keybag as the generator writes it for `options`, read back from the Manifest.plist it wrote.
Bytes generatedKeybag(BackupGenerator::Options options, const std::string& folder) {
    BackupGenerator generator(std::move(options));
    generator.write(backuptest::freshFolder(folder));
    return generator.keybag();
}

// Rewrites the value of every `tag` record (4-byte values only).
Bytes withValue(Bytes keybag, const char tag[4], std::uint32_t value) {
    for (std::size_t offset = 0; offset + 8 <= keybag.size();) {
        const std::uint32_t length = static_cast<std::uint32_t>(readUInt32BigEndian({keybag.data() + offset + 4, 4}));
        if (std::equal(tag, tag + 4, keybag.begin() + static_cast<std::ptrdiff_t>(offset)) && length == 4) {
            const Bytes encoded = BackupGenerator::uint32Value(value);
            std::copy(encoded.begin(), encoded.end(), keybag.begin() + static_cast<std::ptrdiff_t>(offset + 8));
        }
        offset += 8 + length;
    }
    return keybag;
}

} // namespace

TEST(KeyDerivation, UnwrapsEveryClassWithTheRightPassword) {
    BackupGenerator::Options options;
    options.encrypted = true;
    options.password = "correct horse";
    options.classes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const auto manifest = manifestWithKeybag(generatedKeybag(options, "ten"));
    ProtectionClassKeys keys;
    deriveEncryptionKeys(manifest.root(), "correct horse", keys);
    EXPECT_EQ(keys.size(), 10u);
    for (const auto& [clas, key] : keys) {
        EXPECT_EQ(key.size(), 32u) << clas;
    }

    ProtectionClassKeys wrong;
    EXPECT_EQ(errorOf([&] { deriveEncryptionKeys(manifest.root(), "correct horse ", wrong); }),
              BackupError::Code::keyUnwrapFailed);
    EXPECT_TRUE(wrong.empty());
}

TEST(KeyDerivation, UsesTheKeybagsRoundCounts) {
    BackupGenerator::Options options;
    options.encrypted = true;
    options.dpic = 3;
    options.iter = 5;
    const Bytes keybag = generatedKeybag(options, "counts");
    ProtectionClassKeys keys;
    deriveEncryptionKeys(manifestWithKeybag(keybag).root(), options.password, keys);
    EXPECT_EQ(keys.size(), options.classes.size());

    // One round more or fewer in either stage gives another key, which unwraps nothing.
    for (const auto& changed : {withValue(keybag, "DPIC", 4), withValue(keybag, "ITER", 4),
                                withValue(withValue(keybag, "DPIC", 5), "ITER", 3)}) {
        ProtectionClassKeys none;
        EXPECT_EQ(errorOf([&] { deriveEncryptionKeys(manifestWithKeybag(changed).root(), options.password, none); }),
                  BackupError::Code::keyUnwrapFailed);
    }
}

TEST(KeyDerivation, RefusesHostileOrMissingValues) {
    BackupGenerator::Options options;
    options.encrypted = true;
    const Bytes keybag = generatedKeybag(options, "hostile");
    const auto derive = [&](const Bytes& bytes) {
        ProtectionClassKeys keys;
        deriveEncryptionKeys(manifestWithKeybag(bytes).root(), options.password, keys);
    };
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "DPIC", 0)); }), BackupError::Code::invalidKeybag);
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "ITER", 0)); }), BackupError::Code::invalidKeybag);

    Bytes noDpsl;
    BackupGenerator::appendRecord(noDpsl, "SALT", Bytes(20, 1));
    BackupGenerator::appendRecord(noDpsl, "ITER", BackupGenerator::uint32Value(1));
    BackupGenerator::appendRecord(noDpsl, "DPIC", BackupGenerator::uint32Value(1));
    EXPECT_EQ(errorOf([&] { derive(noDpsl); }), BackupError::Code::invalidKeybag);

    Bytes noClasses = noDpsl;
    BackupGenerator::appendRecord(noClasses, "DPSL", Bytes(20, 2));
    BackupGenerator::appendRecord(noClasses, "WPKY", Bytes(40, 3));                    // a key without CLAS is skipped
    BackupGenerator::appendRecord(noClasses, "CLAS", BackupGenerator::uint32Value(1)); // a class without WPKY too
    EXPECT_EQ(errorOf([&] { derive(noClasses); }), BackupError::Code::keyUnwrapFailed);

    auto empty = platform::Plist::dict();
    ProtectionClassKeys keys;
    EXPECT_EQ(errorOf([&] { deriveEncryptionKeys(empty.root(), "x", keys); }), BackupError::Code::missingBackupKeyBag);
    empty.root().set("BackupKeyBag", platform::Plist::string("not data"));
    EXPECT_EQ(errorOf([&] { deriveEncryptionKeys(empty.root(), "x", keys); }), BackupError::Code::missingBackupKeyBag);
}

TEST(KeyDerivation, RefusesRoundCountsBeyondRealBackupsBeforeDeriving) {
    BackupGenerator::Options options;
    options.encrypted = true;
    const Bytes keybag = generatedKeybag(options, "limits");
    // A stop requested beforehand shows whether a count was accepted without spending the derivation's time:
    // an accepted count ends in `stopped`, a refused one in `unsupportedBackup`.
    const std::atomic<bool> stop{true};
    const auto derive = [&](const Bytes& bytes) {
        ProtectionClassKeys keys;
        deriveEncryptionKeys(manifestWithKeybag(bytes).root(), options.password, keys, &stop);
    };
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "DPIC", 20'000'001)); }), BackupError::Code::unsupportedBackup);
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "ITER", 1'000'001)); }), BackupError::Code::unsupportedBackup);
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "ITER", 100'000'000)); }), BackupError::Code::unsupportedBackup);
    EXPECT_EQ(errorOf([&] { derive(withValue(withValue(keybag, "DPIC", 20'000'000), "ITER", 1'000'000)); }),
              BackupError::Code::stopped);
    EXPECT_NE(BackupError(BackupError::Code::unsupportedBackup).description().find("not supported"), std::string::npos);
}

TEST(KeyDerivation, AStopEndsTheDerivationBetweenSlicesOfRounds) {
    Keybag keybag;
    keybag.dpsl = Bytes(20, 1);
    keybag.salt = Bytes(20, 2);
    keybag.dpic = kMaxDeviceIterations; // minutes under the sanitizers if the stop were only looked at up front
    keybag.iter = 1;
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const auto code = errorOf([&] { deriveKeyEncryptionKey("password", keybag, &stop); });
    stopper.join();
    EXPECT_EQ(code, BackupError::Code::stopped);
    EXPECT_EQ(BackupError(BackupError::Code::stopped).description(), "The extraction was stopped.");

    // With a stop that is never set, the key is the same as OpenSSL's.
    keybag.dpic = kDerivationSliceRounds + 2; // across a slice's end
    keybag.iter = 3;
    const std::atomic<bool> never{false};
    const SecureBytes kek = deriveKeyEncryptionKey("password", keybag, &never);
    Bytes stage1(32);
    Bytes reference(32);
    PKCS5_PBKDF2_HMAC("password", 8, keybag.dpsl->data(), 20, static_cast<int>(*keybag.dpic), EVP_sha256(), 32,
                      stage1.data());
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(stage1.data()), 32, keybag.salt->data(), 20,
                      static_cast<int>(*keybag.iter), EVP_sha1(), 32, reference.data());
    EXPECT_EQ(Bytes(kek.span().begin(), kek.span().end()), reference);
}
