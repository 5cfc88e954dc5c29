#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

namespace platform {

// A failed SQLite call: the result code and SQLite's own message.
class SqliteError : public std::runtime_error {
public:
    SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// A statement refused on a connection that distrusts its file (SqliteDatabase::distrustSchema): running it would
// call `function`, one call of which can run for hours beyond any stop (see SqliteDatabase::prepare).
class CostlyCallError : public SqliteError {
public:
    explicit CostlyCallError(const std::string& function);
    const std::string& function() const { return function_; }

private:
    std::string function_;
};

class SqliteStatement;

// Owns one sqlite3 connection. Not thread-safe: one thread at a time (SQLite's own rule for a connection).
class SqliteDatabase {
public:
    SqliteDatabase() = default;
    SqliteDatabase(SqliteDatabase&&) noexcept = default;
    SqliteDatabase& operator=(SqliteDatabase&&) noexcept = default;

    // sqlite3_open_v2 with a plain file name (never a URI) and these flags (SQLITE_OPEN_READONLY / READWRITE /
    // CREATE / NOFOLLOW ...), plus SQLITE_OPEN_NOMUTEX unless they hold SQLITE_OPEN_FULLMUTEX: a connection serves
    // one thread at a time, and SQLite's lock on every call would only cost. `fileLayer` names a registered VFS (null:
    // SQLite's default). Throws SqliteError with the result code and message on failure; the half-opened handle is
    // closed.
    static SqliteDatabase open(const std::filesystem::path& file, int flags, const char* fileLayer = nullptr);

    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_.get(); }
    void close() { db_.reset(); }

    // Prepares the whole text (one statement). Throws SqliteError. On a connection that distrusts its file it throws
    // CostlyCallError for a statement that would call, wherever from (the file's views, triggers, indexes, CHECK
    // constraints and generated columns included, which SQLite compiles into the statement), a function one call of
    // which can take far longer than its arguments' size suggests or make a value of any size from a small one: a
    // search of one text in another (instr, replace, like, glob, a trim by a set of characters) or a value of a
    // size asked for by a number (zeroblob, randomblob, printf, format). SQLite asks the stop (setStopCheck) only
    // between steps, and one such step can run for hours; no statement of ours needs them on such a file.
    SqliteStatement prepare(std::string_view sql) const;
    // Runs one or more statements, ignoring rows. Throws SqliteError.
    void exec(const std::string& sql) const;
    // As exec, but returns the result code instead of throwing.
    int tryExec(const std::string& sql) const;

    // Every running statement of this connection ends with SQLITE_INTERRUPT once `stop` returns true (asked
    // every stopCheckSteps steps of SQLite's virtual machine), so no query, however crafted, outlives a stop.
    void setStopCheck(std::function<bool()> stop);
    static constexpr int stopCheckSteps = 1000;
    // For a file from outside: its views and triggers may call only harmless functions (trusted_schema=OFF), no
    // statement may change the file's structure behind SQLite's back (SQLITE_DBCONFIG_DEFENSIVE), and no prepared
    // statement may call a function one call of which runs beyond the stop (see prepare). Throws SqliteError.
    void distrustSchema() const;
    // The connection never folds the write-ahead log into the file when it closes, even when it is the last
    // one: a reader of another program's database leaves that to its owner.
    void neverCheckpointOnClose() const;
    // The single-row integer answer of a pragma or query ("PRAGMA page_count"). Throws SqliteError.
    std::int64_t queryInt64(std::string_view sql) const;

    std::string errorMessage() const;
    int errorCode() const;
    std::int64_t lastInsertRowId() const;
    int changes() const;

private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<std::function<bool()>> stop_; // before db_: outlives the handle that calls it
    std::unique_ptr<sqlite3, Closer> db_;
};

// Owns one prepared statement. Column and bind indexes follow SQLite: binds from 1, columns from 0.
class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(SqliteStatement&&) noexcept = default;
    SqliteStatement& operator=(SqliteStatement&&) noexcept = default;

    // The result code of sqlite3_step: SQLITE_ROW, SQLITE_DONE or an error code. Never throws,
    // so a reader can tell "done" from a corrupt page.
    int step();
    // Throws SqliteError for anything other than a row or done; true for a row.
    bool next();
    void reset();
    void clearBindings();

    void bindInt(int index, std::int32_t value);
    void bindInt64(int index, std::int64_t value);
    void bindDouble(int index, double value);
    void bindText(int index, std::string_view value);
    void bindBlob(int index, const void* data, std::size_t size);
    void bindNull(int index);

    int columnCount() const;
    int columnType(int column) const; // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL
    bool isNull(int column) const { return columnType(column) == SQLITE_NULL; }
    std::int32_t columnInt(int column) const;
    std::int64_t columnInt64(int column) const;
    double columnDouble(int column) const;
    // nullopt for NULL; text as stored (bytes, not validated as UTF-8).
    std::optional<std::string> columnText(int column) const;
    // nullopt for NULL; an empty blob gives an empty vector.
    std::optional<std::vector<std::uint8_t>> columnBlob(int column) const;
    // As columnText and columnBlob, but views of SQLite's own buffer: valid until the statement steps, resets
    // or converts that column again. Saves a copy where the caller builds its own value from the bytes.
    std::optional<std::string_view> columnTextView(int column) const;
    std::optional<std::span<const std::uint8_t>> columnBlobView(int column) const;
    std::string columnName(int column) const;

    sqlite3_stmt* handle() const { return stmt_.get(); }

private:
    friend class SqliteDatabase;
    SqliteStatement(sqlite3_stmt* stmt, sqlite3* db) : stmt_(stmt), db_(db) {}
    void check(int rc) const;

    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
    sqlite3* db_ = nullptr;
};

// The text of a "file:" URI naming `path`, with the characters that URIs reserve percent-encoded, for an open with
// SQLITE_OPEN_URI; `query` (may be empty) follows a "?".
std::string sqliteFileUri(const std::filesystem::path& path, const std::string& query);

} // namespace platform
