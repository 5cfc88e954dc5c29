#include "Quillobrandt/backup/ManifestIndex.h"

#include "Quillobrandt/backup/BackupError.h"
#include "Quillobrandt/store/ForeignDatabase.h"

namespace quillobrandt {
namespace {

// A query's failure: a stop ends it as a stopped extraction, anything else is the index's fault.
BackupError queryFailure(const platform::SqliteError& error) {
    if ((error.code() & 0xFF) == SQLITE_INTERRUPT) {
        return BackupError(BackupError::Code::stopped);
    }
    return BackupError(BackupError::Code::queryFailed, error.what());
}

} // namespace

ManifestIndex ManifestIndex::openBackupOwned(const std::filesystem::path& file, std::function<bool()> stop) {
    // immutable: no locks, no journal recovery, no -shm; the user's backup is only ever read.
    try {
        return ManifestIndex(openForeignDatabase(platform::sqliteFileUri(file, "mode=ro&immutable=1"),
                                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, std::move(stop)));
    } catch (const platform::SqliteError& error) {
        throw BackupError(BackupError::Code::failedToOpenManifestDB, error.what());
    }
}

ManifestIndex ManifestIndex::openPrivateCopy(const std::filesystem::path& file, std::function<bool()> stop) {
    try {
        ManifestIndex index(openForeignDatabase(file, SQLITE_OPEN_READWRITE, std::move(stop)));
        // Lookups by path are the only query; an index makes thousands of them cheap. A copy that refuses
        // it (not a database, read-only) is reported by the first lookup instead.
        index.db_.tryExec("CREATE INDEX IF NOT EXISTS QbRelativePathIdx ON Files(relativePath)");
        return index;
    } catch (const platform::SqliteError& error) {
        throw BackupError(BackupError::Code::failedToOpenManifestDB, error.what());
    }
}

std::optional<ManifestRow> ManifestIndex::find(const std::string& domain, const std::string& relativePath) const {
    try {
        // By path alone another domain's file of the same name (an app's "Library/SMS/sms.db") could be taken.
        // The unary + keeps SQLite from searching by the domain index, whose one value may cover most rows.
        auto statement = db_.prepare("SELECT fileID, file FROM Files WHERE relativePath = ? AND +domain = ?");
        statement.bindText(1, relativePath);
        statement.bindText(2, domain);
        if (!statement.next()) {
            return std::nullopt;
        }
        ManifestRow row;
        if (statement.columnType(0) != SQLITE_NULL) {
            row.fileID = statement.columnText(0);
        }
        row.file = statement.columnBlob(1);
        return row;
    } catch (const platform::SqliteError& error) {
        throw queryFailure(error);
    }
}

void ManifestIndex::forEachBelow(const std::string& domain, const std::string& prefix,
                                 const std::function<void(const ManifestRow& row)>& visit) const {
    try {
        auto statement = db_.prepare(
            "SELECT fileID, file, relativePath FROM Files WHERE +domain = ? AND substr(relativePath, 1, ?) = ?");
        statement.bindText(1, domain);
        statement.bindInt64(2, static_cast<std::int64_t>(prefix.size()));
        statement.bindText(3, prefix);
        while (statement.next()) {
            ManifestRow row;
            if (statement.columnType(0) != SQLITE_NULL) {
                row.fileID = statement.columnText(0);
            }
            row.file = statement.columnBlob(1);
            row.relativePath = statement.columnText(2).value_or("");
            visit(row);
        }
    } catch (const platform::SqliteError& error) {
        throw queryFailure(error);
    }
}

std::string backupDomainOf(const std::string& relativePath) {
    return relativePath.starts_with("Library/SMS/Attachments/") ? "MediaDomain" : "HomeDomain";
}

bool isValidFileID(const std::string& fileID) {
    if (fileID.size() != 40) {
        return false;
    }
    for (const char c : fileID) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace quillobrandt
