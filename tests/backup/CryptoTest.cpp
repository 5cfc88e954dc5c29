#include <gtest/gtest.h>

#include "Quillobrandt/backup/AesKeyWrap.h"
#include "Quillobrandt/backup/BackupKeyDerivation.h"
#include "Quillobrandt/backup/CbcStreamDecryption.h"
#include "Quillobrandt/backup/FileDecryptor.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/BackupGenerator.h"

#include <csignal>
#include <openssl/evp.h>
#include <sched.h>
#include <sys/resource.h>

using namespace quillobrandt;
using qbtest::BackupGenerator;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Fixed keys: a wrong key passes the padding check for about one ciphertext in 256, so random keys would flake.
const Bytes kKey(32, 0x11);
const Bytes kWrongKey(32, 0x22);

TEST(Crypto, DecryptDataRemovesPadding) {
    const Bytes& key = kKey;
    const Bytes plain = qbtest::bytesOf("twenty bytes of text");
    const Bytes encrypted = BackupGenerator::encrypt(plain, key);
    ASSERT_EQ(encrypted.size(), 32u);
    EXPECT_EQ(decryptData(encrypted, key), plain);

    EXPECT_EQ(backuptest::errorOf([&] { decryptData(encrypted, kWrongKey); }), BackupError::Code::decryptionFailed);
    EXPECT_EQ(backuptest::errorOf([&] { decryptData(Bytes(31, 0), key); }), BackupError::Code::decryptionFailed);
    EXPECT_EQ(backuptest::errorOf([&] { decryptData(encrypted, Bytes(7, 0)); }), BackupError::Code::decryptionFailed);
}

TEST(Crypto, UnwrapsFortyBytesToThirtyTwoAndRefusesOddLengths) {
    const Bytes kek = BackupGenerator::randomBytes(32);
    const Bytes key = BackupGenerator::randomBytes(32);
    const Bytes wrapped = BackupGenerator::wrapKey(key, kek);
    ASSERT_EQ(wrapped.size(), 40u);
    const SecureBytes unwrapped = unwrapKey(wrapped, kek);
    EXPECT_EQ(Bytes(unwrapped.span().begin(), unwrapped.span().end()), key);

    for (const std::size_t length : {0u, 1u, 7u, 8u, 16u, 39u, 41u}) {
        const Bytes odd(wrapped.begin(),
                        wrapped.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, 40)));
        Bytes padded = odd;
        padded.resize(length, 0);
        EXPECT_EQ(backuptest::errorOf([&] { unwrapKey(padded, kek); }), BackupError::Code::keyUnwrapFailed) << length;
    }
    EXPECT_EQ(backuptest::errorOf([&] { unwrapKey(wrapped, Bytes(20, 0)); }), BackupError::Code::keyUnwrapFailed);
}

TEST(Crypto, Pbkdf2MatchesOpenSslsOwnAndUsesTheRoundCount) {
    const Bytes salt = qbtest::bytesOf("salt of twenty bytes");
    const std::string password = "password";
    for (const std::uint64_t rounds : {1u, 2u, 4096u}) {
        SecureBytes ours;
        ASSERT_TRUE(pbkdf2({reinterpret_cast<const std::uint8_t*>(password.data()), password.size()}, salt, rounds,
                           "SHA256", ours));
        Bytes reference(32);
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(), 32, reference.data());
        EXPECT_EQ(Bytes(ours.span().begin(), ours.span().end()), reference) << rounds;
    }
}

TEST(Crypto, StreamedDecryptionChecksPaddingAndSizeBeforeReplacingTheDestination) {
    const fs::path folder = backuptest::freshFolder("stream");
    const Bytes& key = kKey;
    Bytes plain(3 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    const fs::path source = folder / "source";
    {
        const Bytes encrypted = BackupGenerator::encrypt(plain, key);
        std::FILE* file = std::fopen(source.c_str(), "wb");
        std::fwrite(encrypted.data(), 1, encrypted.size(), file);
        std::fclose(file);
    }
    const fs::path destination = folder / "out.bin";
    const auto streamed = streamFile(source, destination, key, plain.size());
    EXPECT_EQ(streamed.writtenBytes, plain.size());
    EXPECT_EQ(qbtest::readWholeFile(destination), std::string(plain.begin(), plain.end()));
    EXPECT_EQ(fs::status(destination).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A stated size that differs, or a wrong key, leaves the earlier file and no partial file behind.
    EXPECT_EQ(backuptest::errorOf([&] { streamFile(source, destination, key, plain.size() + 1); }),
              BackupError::Code::decryptionFailed);
    EXPECT_EQ(backuptest::errorOf([&] { streamFile(source, destination, kWrongKey); }),
              BackupError::Code::decryptionFailed);
    EXPECT_EQ(qbtest::readWholeFile(destination), std::string(plain.begin(), plain.end()));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& item : fs::directory_iterator(folder)) {
        ++files;
    }
    EXPECT_EQ(files, 2u);
}

namespace {

// AES-256-CBC with a zero IV and no padding added: the plain text's last block is exactly the padding under test.
Bytes encryptWithoutPadding(const Bytes& plain, const Bytes& key) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    const std::uint8_t iv[16] = {};
    Bytes out(plain.size() + 16);
    int written = 0;
    int final = 0;
    EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr, key.data(), iv);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_EncryptUpdate(context, out.data(), &written, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, out.data() + written, &final);
    EVP_CIPHER_CTX_free(context);
    out.resize(static_cast<std::size_t>(written + final));
    return out;
}

} // namespace

TEST(Crypto, EveryByteOfThePaddingIsCheckedTheFirstIncluded) {
    const fs::path folder = backuptest::freshFolder("padding");
    const auto withTail = [](const Bytes& tail) {
        Bytes plain(32 - tail.size(), 0x41);
        plain.insert(plain.end(), tail.begin(), tail.end());
        return plain;
    };
    const auto streamed = [&](const Bytes& encrypted) {
        std::FILE* file = std::fopen((folder / "source").c_str(), "wb");
        std::fwrite(encrypted.data(), 1, encrypted.size(), file);
        std::fclose(file);
        streamFile(folder / "source", folder / "out", kKey);
        return qbtest::readWholeFile(folder / "out");
    };
    const Bytes good = encryptWithoutPadding(withTail({4, 4, 4, 4}), kKey);
    EXPECT_EQ(decryptData(good, kKey), Bytes(28, 0x41));
    EXPECT_EQ(streamed(good), std::string(28, 'A'));
    fs::remove(folder / "out");

    Bytes sixteenWrongFirst(16, 16);
    sixteenWrongFirst[0] = 17;
    for (const Bytes& tail :
         {Bytes{7, 4, 4, 4}, Bytes{4, 7, 4, 4}, Bytes{4, 4, 7, 4}, Bytes{0}, Bytes{17}, sixteenWrongFirst}) {
        const Bytes bad = encryptWithoutPadding(withTail(tail), kKey);
        EXPECT_EQ(backuptest::errorOf([&] { decryptData(bad, kKey); }), BackupError::Code::decryptionFailed);
        EXPECT_EQ(backuptest::errorOf([&] { streamed(bad); }), BackupError::Code::decryptionFailed);
        EXPECT_FALSE(fs::exists(folder / "out"));
    }
}

TEST(Crypto, StreamedDecryptionRefusesCutOrEmptyCiphertext) {
    const fs::path folder = backuptest::freshFolder("cut");
    Bytes plain(100);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i + 32);
    }
    const Bytes encrypted = BackupGenerator::encrypt(plain, kKey);
    for (const std::size_t length : {std::size_t{0}, std::size_t{5}, encrypted.size() - 16, encrypted.size() - 1}) {
        std::FILE* file = std::fopen((folder / "source").c_str(), "wb");
        std::fwrite(encrypted.data(), 1, length, file);
        std::fclose(file);
        // Cutting a whole block leaves valid-looking CBC, whose last block then fails the padding check.
        EXPECT_EQ(backuptest::errorOf([&] { streamFile(folder / "source", folder / "out", kKey); }),
                  BackupError::Code::decryptionFailed)
            << length;
        EXPECT_FALSE(fs::exists(folder / "out"));
    }
}

namespace {

// Keeps this thread, and the threads it starts, on one processor for its lifetime.
class OnOneProcessor {
public:
    OnOneProcessor() {
        if (::sched_getaffinity(0, sizeof saved_, &saved_) != 0) {
            return;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
    }
    OnOneProcessor(const OnOneProcessor&) = delete;
    OnOneProcessor& operator=(const OnOneProcessor&) = delete;
    ~OnOneProcessor() {
        if (pinned_) {
            ::sched_setaffinity(0, sizeof saved_, &saved_);
        }
    }
    bool pinned() const { return pinned_; }

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

constexpr std::size_t kChunk = 256 * 1024; // the stream's chunk size

void expectEveryByteAcrossChunkBoundaries(const fs::path& folder, const std::vector<std::size_t>& sizes) {
    for (const std::size_t size : sizes) {
        Bytes plain(size);
        for (std::size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 11);
        }
        Bytes encrypted = BackupGenerator::encrypt(plain, kKey);
        const auto writeSource = [&] {
            std::FILE* file = std::fopen((folder / "source").c_str(), "wb");
            std::fwrite(encrypted.data(), 1, encrypted.size(), file);
            std::fclose(file);
        };
        writeSource();
        const auto streamed = streamFile(folder / "source", folder / "out", kKey, plain.size());
        EXPECT_EQ(streamed.sourceBytes, encrypted.size()) << size;
        EXPECT_EQ(streamed.head,
                  Bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(16, size))))
            << size;
        EXPECT_EQ(qbtest::readWholeFile(folder / "out"), std::string(plain.begin(), plain.end())) << size;
        fs::remove(folder / "out");

        // In CBC a flipped ciphertext byte flips the same byte of the next plain block: here the padding length.
        encrypted[encrypted.size() >= 32 ? encrypted.size() - 17 : encrypted.size() - 1] ^= 0x5A;
        writeSource();
        EXPECT_EQ(backuptest::errorOf([&] { streamFile(folder / "source", folder / "out", kKey); }),
                  BackupError::Code::decryptionFailed)
            << size;
        EXPECT_FALSE(fs::exists(folder / "out")) << size;

        // Cut just past a chunk's end, within the next block: that block is read with the chunk before it.
        if (encrypted.size() > kChunk + 16) {
            encrypted.resize(kChunk + 5);
            writeSource();
            EXPECT_EQ(backuptest::errorOf([&] { streamFile(folder / "source", folder / "out", kKey); }),
                      BackupError::Code::decryptionFailed)
                << size;
            EXPECT_FALSE(fs::exists(folder / "out")) << size;
        }
    }
}

} // namespace

// Chunks are handed between threads: sizes on, just before and just after chunk boundaries must all come through
// whole and in order, and a bad last block must still fail after many chunks were written. On one processor the
// same chunks go through one thread.
TEST(Crypto, StreamedDecryptionKeepsEveryByteAcrossChunkBoundaries) {
    constexpr std::size_t kMiB = 1024 * 1024;
    expectEveryByteAcrossChunkBoundaries(
        backuptest::freshFolder("boundaries"),
        {0, 15, 16, 2 * kMiB - 16, 2 * kMiB - 1, 2 * kMiB, 4 * kMiB + 15, 11 * kMiB + 3});
    const OnOneProcessor one;
    ASSERT_TRUE(one.pinned());
    expectEveryByteAcrossChunkBoundaries(
        backuptest::freshFolder("boundaries-one"),
        {0, 15, 16, kChunk - 17, kChunk - 1, kChunk, kChunk + 15, kChunk + 16, kMiB + 3});
}

namespace {

// Lets this process write files of at most `bytes` while it lives: a write beyond fails as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        savedHandler_ = std::signal(SIGXFSZ, SIG_IGN); // the write then fails instead of killing the process
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        set_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, savedHandler_);
    }
    bool set() const { return set_; }

private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
    bool set_ = false;
};

void expectFailedWriteLeavesNothing(const fs::path& folder) {
    Bytes plain(3 * 1024 * 1024 + 100);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i * 31);
    }
    const Bytes encrypted = BackupGenerator::encrypt(plain, kKey);
    std::FILE* file = std::fopen((folder / "source").c_str(), "wb");
    std::fwrite(encrypted.data(), 1, encrypted.size(), file);
    std::fclose(file);
    std::string message;
    {
        const FileSizeLimit limit(1024 * 1024 + 4096);
        ASSERT_TRUE(limit.set());
        try {
            streamFile(folder / "source", folder / "out", kKey, plain.size());
        } catch (const fs::filesystem_error& error) {
            message = error.what();
        }
    }
    EXPECT_NE(message.find("write"), std::string::npos) << message;
    EXPECT_NE(message.find((folder / "out").string()), std::string::npos) << message;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 1) << "only the source is left";
}

} // namespace

// A write that fails midway (a full disk) ends the stream with the file error, the worker joined, and no partial
// file left beside the destination; on one processor as on several.
TEST(Crypto, StreamedDecryptionFailingToWriteLeavesNothing) {
    expectFailedWriteLeavesNothing(backuptest::freshFolder("write-fails"));
    const OnOneProcessor one;
    ASSERT_TRUE(one.pinned());
    expectFailedWriteLeavesNothing(backuptest::freshFolder("write-fails-one"));
}

// The stream's cipher against OpenSSL's: every AES key length, a non-zero IV, and the chain carried from one call to
// the next whatever the pieces' sizes.
TEST(Crypto, StreamCipherMatchesOpenSslForEveryKeyLengthAcrossCalls) {
    const Bytes plain = BackupGenerator::randomBytes(16 * 1000);
    const Bytes iv = BackupGenerator::randomBytes(16);
    for (const std::size_t keyLength : {16, 24, 32}) {
        const Bytes key = BackupGenerator::randomBytes(keyLength);
        const EVP_CIPHER* cipher = keyLength == 16   ? EVP_aes_128_cbc()
                                   : keyLength == 24 ? EVP_aes_192_cbc()
                                                     : EVP_aes_256_cbc();
        Bytes encrypted(plain.size());
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        int written = 0;
        ASSERT_EQ(EVP_EncryptInit_ex(context, cipher, nullptr, key.data(), iv.data()), 1);
        EVP_CIPHER_CTX_set_padding(context, 0);
        ASSERT_EQ(EVP_EncryptUpdate(context, encrypted.data(), &written, plain.data(), static_cast<int>(plain.size())),
                  1);
        EVP_CIPHER_CTX_free(context);

        AesCbcDecryptor decryptor(key, iv);
        ASSERT_TRUE(decryptor.valid()) << keyLength;
        std::size_t done = 0;
        for (const std::size_t piece : {16, 48, 4096, 16 * 333, 16}) {
            ASSERT_TRUE(decryptor.decrypt(encrypted.data() + done, piece));
            done += piece;
        }
        ASSERT_TRUE(decryptor.decrypt(encrypted.data() + done, encrypted.size() - done));
        EXPECT_EQ(encrypted, plain) << keyLength;
        EXPECT_FALSE(decryptor.decrypt(encrypted.data(), 15)) << "a cut block";
    }
    EXPECT_FALSE(AesCbcDecryptor(Bytes(20, 1), iv).valid());
    EXPECT_FALSE(AesCbcDecryptor(Bytes(), iv).valid());
    EXPECT_FALSE(AesCbcDecryptor(Bytes(32, 1), Bytes(8, 0)).valid());
}
