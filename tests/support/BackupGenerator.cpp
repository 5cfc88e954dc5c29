#include "tests/support/BackupGenerator.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include "platform/core/Plist.h"
#include "platform/core/Sqlite.h"
#include "platform/core/Uuid.h"

namespace qbtest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("backup generator: ") + what);
    }
}

void writeBytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    require(out.good(), "write failed");
}

Bytes littleEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

platform::Plist classDescription(const std::string& name, const std::vector<std::string>& hierarchy) {
    auto description = platform::Plist::dict();
    description.root().set("$classname", platform::Plist::string(name));
    auto classes = platform::Plist::array();
    for (const auto& entry : hierarchy) {
        classes.root().append(platform::Plist::string(entry));
    }
    description.root().set("$classes", std::move(classes));
    return description;
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

} // namespace

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string readWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

BackupGenerator::Entry& BackupGenerator::addFile(const std::string& domain, const std::string& relativePath,
                                                 std::vector<std::uint8_t> contents, std::int64_t protectionClass) {
    Entry entry;
    entry.domain = domain;
    entry.relativePath = relativePath;
    entry.contents = std::move(contents);
    entry.protectionClass = protectionClass;
    entries_.push_back(std::move(entry));
    return entries_.back();
}

BackupGenerator::Entry& BackupGenerator::addFile(const std::string& domain, const std::string& relativePath,
                                                 const std::string& contents, std::int64_t protectionClass) {
    return addFile(domain, relativePath, bytesOf(contents), protectionClass);
}

std::string BackupGenerator::fileID(const std::string& domain, const std::string& relativePath) {
    const std::string text = domain + "-" + relativePath;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return hex(digest, sizeof digest);
}

void BackupGenerator::appendRecord(Bytes& out, const char tag[4], const Bytes& value) {
    out.insert(out.end(), tag, tag + 4);
    const auto length = static_cast<std::uint32_t>(value.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), value.begin(), value.end());
}

std::vector<std::uint8_t> BackupGenerator::uint32Value(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::vector<std::uint8_t> BackupGenerator::randomBytes(std::size_t count) {
    Bytes bytes(count);
    require(RAND_bytes(bytes.data(), static_cast<int>(count)) == 1, "RAND_bytes");
    return bytes;
}

std::vector<std::uint8_t> BackupGenerator::wrapKey(const Bytes& key, const Bytes& kek) {
    CipherContext context(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    require(kek.size() == 32 &&
                EVP_EncryptInit_ex(context.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) == 1,
            "wrap init");
    Bytes out(key.size() + 16);
    int written = 0;
    require(EVP_EncryptUpdate(context.get(), out.data(), &written, key.data(), static_cast<int>(key.size())) == 1,
            "wrap");
    int tail = 0;
    require(EVP_EncryptFinal_ex(context.get(), out.data() + written, &tail) == 1, "wrap final");
    out.resize(static_cast<std::size_t>(written + tail));
    return out;
}

std::vector<std::uint8_t> BackupGenerator::encrypt(const Bytes& plain, const Bytes& key) {
    static const unsigned char zeroIv[16] = {};
    CipherContext context(EVP_CIPHER_CTX_new());
    require(EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), zeroIv) == 1, "cbc init");
    Bytes out(plain.size() + 16);
    int written = 0;
    require(EVP_EncryptUpdate(context.get(), out.data(), &written, plain.data(), static_cast<int>(plain.size())) == 1,
            "cbc");
    int tail = 0;
    require(EVP_EncryptFinal_ex(context.get(), out.data() + written, &tail) == 1, "cbc final");
    out.resize(static_cast<std::size_t>(written + tail));
    return out;
}

std::vector<std::uint8_t> BackupGenerator::fileRecord(const std::string& relativePath, std::uint64_t size,
                                                      std::int64_t protectionClass,
                                                      const std::optional<Bytes>& encryptionKey) {
    auto objects = platform::Plist::array();
    objects.root().append(platform::Plist::string("$null"));

    auto record = platform::Plist::dict();
    auto node = record.root();
    node.set("LastModified", platform::Plist::integer(1700000000));
    node.set("Flags", platform::Plist::integer(0));
    node.set("GroupID", platform::Plist::integer(501));
    node.set("LastStatusChange", platform::Plist::integer(1700000000));
    node.set("Birth", platform::Plist::integer(1700000000));
    node.set("Size", platform::Plist::integer(static_cast<std::int64_t>(size)));
    node.set("InodeNumber", platform::Plist::integer(123456));
    node.set("Mode", platform::Plist::integer(0100644));
    node.set("UserID", platform::Plist::integer(501));
    node.set("ProtectionClass", platform::Plist::integer(protectionClass));
    node.set("RelativePath", platform::Plist::uid(2));
    const std::uint64_t recordClass = encryptionKey ? 5 : 3;
    node.set("$class", platform::Plist::uid(recordClass));
    if (encryptionKey) {
        node.set("EncryptionKey", platform::Plist::uid(3));
    }
    objects.root().append(std::move(record));
    objects.root().append(platform::Plist::string(relativePath));
    if (encryptionKey) {
        auto keyObject = platform::Plist::dict();
        keyObject.root().set("NS.data", platform::Plist::data(*encryptionKey));
        keyObject.root().set("$class", platform::Plist::uid(4));
        objects.root().append(std::move(keyObject));
        objects.root().append(classDescription("NSMutableData", {"NSMutableData", "NSData", "NSObject"}));
    }
    objects.root().append(classDescription("MBFile", {"MBFile", "NSObject"}));

    auto archive = platform::Plist::dict();
    archive.root().set("$version", platform::Plist::integer(100000));
    archive.root().set("$archiver", platform::Plist::string("NSKeyedArchiver"));
    auto top = platform::Plist::dict();
    top.root().set("root", platform::Plist::uid(1));
    archive.root().set("$top", std::move(top));
    archive.root().set("$objects", std::move(objects));
    return archive.toBinary();
}

std::vector<std::uint8_t> BackupGenerator::derivedKey() const {
    // The device's two stages, written independently of the reader: PBKDF2-SHA256 then PBKDF2-SHA1.
    Bytes stage1(32);
    Bytes kek(32);
    require(PKCS5_PBKDF2_HMAC(options_.password.data(), static_cast<int>(options_.password.size()), dpsl_.data(),
                              static_cast<int>(dpsl_.size()), static_cast<int>(options_.dpic), EVP_sha256(), 32,
                              stage1.data()) == 1,
            "pbkdf2 stage 1");
    require(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(stage1.data()), 32, salt_.data(),
                              static_cast<int>(salt_.size()), static_cast<int>(options_.iter), EVP_sha1(), 32,
                              kek.data()) == 1,
            "pbkdf2 stage 2");
    return kek;
}

void BackupGenerator::writeStoredFile(const fs::path& file, const Entry& entry, const Bytes& fileKey) const {
    if (entry.streamedSize == 0) {
        writeBytes(file, fileKey.empty() ? entry.contents : encrypt(entry.contents, fileKey));
        return;
    }
    static const unsigned char zeroIv[16] = {};
    CipherContext context;
    if (!fileKey.empty()) {
        context.reset(EVP_CIPHER_CTX_new());
        require(EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, fileKey.data(), zeroIv) == 1, "init");
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    constexpr std::size_t chunk = 1024 * 1024;
    Bytes plain(chunk);
    Bytes cipher(chunk + 16);
    for (std::uint64_t offset = 0; offset < entry.streamedSize; offset += chunk) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, entry.streamedSize - offset));
        for (std::size_t i = 0; i < size; ++i) {
            plain[i] = entry.streamByte(offset + i);
        }
        if (!context) {
            out.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(size));
            continue;
        }
        int written = 0;
        require(EVP_EncryptUpdate(context.get(), cipher.data(), &written, plain.data(), static_cast<int>(size)) == 1,
                "cbc");
        out.write(reinterpret_cast<const char*>(cipher.data()), written);
    }
    if (context) {
        int written = 0;
        require(EVP_EncryptFinal_ex(context.get(), cipher.data(), &written) == 1, "cbc final");
        out.write(reinterpret_cast<const char*>(cipher.data()), written);
    }
    require(out.good(), "write failed");
}

fs::path BackupGenerator::write(const fs::path& folder) {
    fs::create_directories(folder);
    const bool encrypted = options_.encrypted;
    std::map<std::int64_t, Bytes> classKeys;
    keybag_.clear();
    if (encrypted) {
        salt_ = randomBytes(20);
        dpsl_ = randomBytes(20);
        const Bytes kek = derivedKey();
        appendRecord(keybag_, "VERS", uint32Value(4));
        appendRecord(keybag_, "TYPE", uint32Value(1));
        appendRecord(keybag_, "UUID", randomBytes(16));
        appendRecord(keybag_, "HMCK", randomBytes(40));
        appendRecord(keybag_, "WRAP", uint32Value(0));
        appendRecord(keybag_, "SALT", salt_);
        appendRecord(keybag_, "ITER", uint32Value(options_.iter));
        appendRecord(keybag_, "DPWT", uint32Value(1));
        appendRecord(keybag_, "DPIC", uint32Value(options_.dpic));
        appendRecord(keybag_, "DPSL", dpsl_);
        for (const auto clas : options_.classes) {
            classKeys[clas] = randomBytes(32);
            appendRecord(keybag_, "UUID", randomBytes(16));
            appendRecord(keybag_, "CLAS", uint32Value(clas));
            appendRecord(keybag_, "WRAP", uint32Value(clas == 6 ? 2 : 3));
            appendRecord(keybag_, "KTYP", uint32Value(0));
            appendRecord(keybag_, "WPKY", wrapKey(classKeys[clas], kek));
        }
    }
    const auto classKey = [&](std::int64_t clas) {
        const auto found = classKeys.find(clas);
        return found != classKeys.end() ? found->second : randomBytes(32); // a class the keybag does not hold
    };

    const fs::path manifestDb = folder / "Manifest.db";
    {
        auto db = platform::SqliteDatabase::open(manifestDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file "
                "BLOB);"
                "CREATE INDEX FilesDomainIdx ON Files(domain);"
                "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                "CREATE INDEX FilesFlagsIdx ON Files(flags);"
                "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);");
        db.exec("BEGIN");
        auto insert =
            db.prepare("INSERT INTO Files (fileID, domain, relativePath, flags, file) VALUES (?, ?, ?, 1, ?)");
        for (const auto& entry : entries_) {
            const std::string id = entry.fileIDOverride.value_or(fileID(entry.domain, entry.relativePath));
            const std::uint64_t size = entry.streamedSize != 0 ? entry.streamedSize : entry.contents.size();
            Bytes fileKey;
            std::optional<Bytes> encryptionKey;
            if (encrypted) {
                fileKey = randomBytes(32);
                encryptionKey = concat(littleEndian32(static_cast<std::uint32_t>(entry.protectionClass)),
                                       wrapKey(fileKey, classKey(entry.protectionClass)));
            }
            const Bytes record = entry.recordOverride.value_or(
                fileRecord(entry.relativePath, entry.sizeOverride.value_or(size), entry.protectionClass,
                           entry.omitEncryptionKey ? std::nullopt : encryptionKey));
            entry.nullFileID ? insert.bindNull(1) : insert.bindText(1, id);
            insert.bindText(2, entry.domain);
            insert.bindText(3, entry.relativePath);
            entry.nullRecord ? insert.bindNull(4) : insert.bindBlob(4, record.data(), record.size());
            insert.next();
            insert.reset();
            if (entry.storedFile) {
                const fs::path stored = folder / id.substr(0, 2) / id;
                fs::create_directories(stored.parent_path());
                writeStoredFile(stored, entry, fileKey);
            }
        }
        db.exec("COMMIT");
    }

    auto manifest = platform::Plist::dict();
    auto root = manifest.root();
    root.set("Version", platform::Plist::string("10.0"));
    root.set("IsEncrypted", platform::Plist::boolean(encrypted));
    root.set("WasPasscodeSet", platform::Plist::boolean(false));
    root.set("SystemDomainsVersion", platform::Plist::string("24.0"));
    auto lockdown = platform::Plist::dict();
    lockdown.root().set("DeviceName", platform::Plist::string("Test iPhone"));
    lockdown.root().set("ProductVersion", platform::Plist::string("17.2"));
    root.set("Lockdown", std::move(lockdown));
    root.set("Applications", platform::Plist::dict());
    if (encrypted) {
        const Bytes stored = options_.keybagEdit ? options_.keybagEdit(keybag_) : keybag_;
        root.set("BackupKeyBag", platform::Plist::data(options_.keybagOverride.value_or(stored)));
        const Bytes manifestKey = randomBytes(32);
        if (options_.includeManifestKey) {
            root.set("ManifestKey", platform::Plist::data(options_.manifestKeyOverride.value_or(
                                        concat(littleEndian32(static_cast<std::uint32_t>(options_.manifestClass)),
                                               wrapKey(manifestKey, classKey(options_.manifestClass))))));
        }
        writeBytes(manifestDb, encrypt(bytesOf(readWholeFile(manifestDb)), manifestKey));
    }
    writeBytes(folder / "Manifest.plist", manifest.toBinary());

    const std::string udid = "00008110-001A2B3C4D5E6F70";
    auto info = platform::Plist::dict();
    info.root().set("Device Name", platform::Plist::string("Test iPhone"));
    info.root().set("Display Name", platform::Plist::string("Test iPhone"));
    info.root().set("Product Type", platform::Plist::string("iPhone15,2"));
    info.root().set("Product Version", platform::Plist::string("17.2"));
    info.root().set("Unique Identifier", platform::Plist::string(udid));
    info.root().set("Target Identifier", platform::Plist::string(udid));
    info.root().set("Target Type", platform::Plist::string("Device"));
    const std::string xml = info.toXml();
    writeBytes(folder / "Info.plist", Bytes(xml.begin(), xml.end()));

    auto status = platform::Plist::dict();
    status.root().set("BackupState", platform::Plist::string("new"));
    status.root().set("IsFullBackup", platform::Plist::boolean(false));
    status.root().set("SnapshotState", platform::Plist::string("finished"));
    status.root().set("UUID", platform::Plist::string(platform::makeUuidString()));
    status.root().set("Version", platform::Plist::string("3.3"));
    writeBytes(folder / "Status.plist", status.toBinary());
    return folder;
}

std::vector<std::pair<std::string, std::string>> snapshotFolder(const fs::path& folder) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const auto relative = fs::relative(item.path(), folder).string();
        const auto mode = std::to_string(static_cast<unsigned>(item.symlink_status().permissions()));
        files.emplace_back(relative, mode + ":" + (item.is_regular_file() ? readWholeFile(item.path()) : "<dir>"));
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace qbtest
