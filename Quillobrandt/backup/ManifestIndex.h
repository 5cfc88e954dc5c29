#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Sqlite.h"

namespace quillobrandt {

// One `Files` row as the reader sees it.
struct ManifestRow {
    std::optional<std::string> fileID;
    std::optional<std::vector<std::uint8_t>> file;
    std::string relativePath; // filled by forEachBelow only
};

// The backup's file index, `Manifest.db`: the backup's own file (opened so that nothing in the backup folder can
// change, not even a journal or a shared-memory file) or a private copy that we own (the decrypted index, or a
// plain index copied together with its write-ahead log). Either way a file from outside: opened as every such
// database is (see openForeignDatabase), every query ending once `stop` returns true. One thread at a time.
class ManifestIndex {
public:
    // Throws BackupError failedToOpenManifestDB with SQLite's message.
    static ManifestIndex openBackupOwned(const std::filesystem::path& file, std::function<bool()> stop = {});
    static ManifestIndex openPrivateCopy(const std::filesystem::path& file, std::function<bool()> stop = {});

    // The row of `relativePath` in `domain` (fileIDs are unique, so there is at most one); nullopt when there is none.
    // Throws BackupError queryFailed when the query does not prepare or a page is unreadable, stopped once stopped.
    std::optional<ManifestRow> find(const std::string& domain, const std::string& relativePath) const;
    // Calls `visit` with each row of `domain` whose path starts with `prefix`. Throws BackupError as find() does.
    void forEachBelow(const std::string& domain, const std::string& prefix,
                      const std::function<void(const ManifestRow& row)>& visit) const;

    void close() { db_.close(); }

private:
    explicit ManifestIndex(platform::SqliteDatabase db) : db_(std::move(db)) {}
    platform::SqliteDatabase db_;
};

// The domain that holds a file of the Messages app on the device: "MediaDomain" for its attachments (below
// "Library/SMS/Attachments/"), "HomeDomain" for everything else it reads (the message database, the address book).
std::string backupDomainOf(const std::string& relativePath);

// A stored file's name: exactly 40 lower-case hex characters (SHA-1 of domain and path).
bool isValidFileID(const std::string& fileID);

} // namespace quillobrandt
