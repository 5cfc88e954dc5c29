#include "Quillobrandt/backup/FileDecryptor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/backup/CbcStreamDecryption.h"
#include "Quillobrandt/backup/OpenSslHandles.h"
#include "platform/core/FileDescriptor.h"
#include "platform/core/WriteAll.h"

namespace quillobrandt {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkSize = 1024 * 1024;
constexpr unsigned char kZeroIv[16] = {};

[[noreturn]] void throwFileError(const std::string& what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// A CBC decryption context for `key`, or null when the key length is not an AES one.
CipherContext makeDecryptContext(std::span<const std::uint8_t> key) {
    const EVP_CIPHER* cipher = aesCbcForKeyLength(key.size());
    if (cipher == nullptr) {
        return nullptr;
    }
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context || EVP_DecryptInit_ex(context.get(), cipher, nullptr, key.data(), kZeroIv) != 1) {
        return nullptr;
    }
    EVP_CIPHER_CTX_set_padding(context.get(), 1);
    return context;
}

void writeOrThrow(int fd, const std::uint8_t* data, std::size_t size, const fs::path& path) {
    if (!platform::writeAll(fd, data, size)) {
        throwFileError("write", path, errno);
    }
}

// A temporary file beside `destination`, removed again unless committed.
class PartialFile {
public:
    explicit PartialFile(const fs::path& destination) : destination_(destination) {
        // Appended piece by piece: GCC 12 at -O3 misreads `"." + std::string&&` as an overlapping copy.
        std::string partName = ".";
        partName += destination.filename().string();
        partName += ".part-XXXXXX";
        std::string pattern = destination.parent_path() / partName;
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) {
            throwFileError("create", destination, errno);
        }
        fd_ = platform::FileDescriptor(fd);
        path_ = pattern;
        ::fchmod(fd, 0600);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (!committed_) {
            fd_.close();
            ::unlink(path_.c_str());
        }
    }

    int fd() const { return fd_.get(); }

    void commit() {
        if (!fd_.close()) {
            throwFileError("close", path_, errno);
        }
        if (::rename(path_.c_str(), destination_.c_str()) != 0) {
            throwFileError("rename", destination_, errno);
        }
        committed_ = true;
    }

private:
    fs::path destination_;
    fs::path path_;
    platform::FileDescriptor fd_;
    bool committed_ = false;
};

} // namespace

int aesDecrypt(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key, std::vector<std::uint8_t>& out) {
    constexpr int kFailed = -1;
    out.clear();
    CipherContext context = makeDecryptContext(key);
    if (!context || data.size() > static_cast<std::size_t>(INT_MAX) - 16) {
        return kFailed;
    }
    out.resize(data.size() + 16);
    int written = 0;
    int finalWritten = 0;
    if (EVP_DecryptUpdate(context.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), out.data() + written, &finalWritten) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return kFailed;
    }
    out.resize(static_cast<std::size_t>(written + finalWritten));
    return 0;
}

std::vector<std::uint8_t> decryptData(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key) {
    std::vector<std::uint8_t> out;
    if (aesDecrypt(data, key, out) != 0) {
        throw BackupError(BackupError::Code::decryptionFailed);
    }
    return out;
}

namespace {

// Reads until `size` bytes or the end of the file; returns how many were read.
std::size_t readFully(int fd, std::uint8_t* data, std::size_t size, const fs::path& path) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(fd, data + total, size - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwFileError("read", path, errno);
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

// A plain copy stays inside the kernel where it can.
void copyContents(int input, int output, const fs::path& source, const fs::path& destination, StreamedFile& result) {
    for (;;) {
        const ssize_t copied = ::copy_file_range(input, nullptr, output, nullptr, kChunkSize, 0);
        if (copied > 0) {
            result.sourceBytes += static_cast<std::uint64_t>(copied);
            result.writtenBytes += static_cast<std::uint64_t>(copied);
            continue;
        }
        if (copied == 0) {
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            throwFileError("copy", destination, errno);
        }
        break; // not supported between these files: copy through a buffer
    }
    std::vector<std::uint8_t> buffer(kChunkSize);
    for (;;) {
        const std::size_t got = readFully(input, buffer.data(), buffer.size(), source);
        if (got == 0) {
            return;
        }
        writeOrThrow(output, buffer.data(), got, destination);
        result.sourceBytes += got;
        result.writtenBytes += got;
    }
}

// Reading and decrypting overlap the writing (see decryptCbcStream); this side keeps the head and the count.
void decryptContents(AesCbcDecryptor& cipher, int input, int output, const fs::path& source,
                     const fs::path& destination, StreamedFile& result) {
    constexpr std::size_t kHead = 16;
    result.sourceBytes = decryptCbcStream(
        cipher, [&](std::uint8_t* data, std::size_t size) { return readFully(input, data, size, source); },
        [&](const std::uint8_t* data, std::size_t size) {
            const std::size_t headRoom = kHead - std::min(kHead, result.head.size());
            result.head.insert(result.head.end(), data, data + std::min(headRoom, size));
            writeOrThrow(output, data, size, destination);
            result.writtenBytes += size;
        });
}

} // namespace

StreamedFile streamFile(const fs::path& source, const fs::path& destination, std::span<const std::uint8_t> key,
                        std::optional<std::uint64_t> expectedSize,
                        const std::function<void(const StreamedFile&)>& beforeCommit) {
    std::optional<AesCbcDecryptor> cipher;
    if (!key.empty()) {
        cipher.emplace(key, std::span(kZeroIv));
        if (!cipher->valid()) {
            throw BackupError(BackupError::Code::decryptionFailed);
        }
    }
    platform::FileDescriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input) {
        throwFileError("open", source, errno);
    }
    ::posix_fadvise(input.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    PartialFile output(destination);

    StreamedFile result;
    if (cipher) {
        decryptContents(*cipher, input.get(), output.fd(), source, destination, result);
        if (expectedSize && *expectedSize != result.writtenBytes) {
            throw BackupError(BackupError::Code::decryptionFailed);
        }
    } else {
        copyContents(input.get(), output.fd(), source, destination, result);
    }
    if (beforeCommit) {
        beforeCommit(result);
    }
    output.commit();
    return result;
}

} // namespace quillobrandt
