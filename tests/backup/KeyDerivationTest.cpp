#include <gtest/gtest.h>

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
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "DPIC", 100'000'001)); }), BackupError::Code::invalidKeybag);
    EXPECT_EQ(errorOf([&] { derive(withValue(keybag, "ITER", 10'000'001)); }), BackupError::Code::invalidKeybag);
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
