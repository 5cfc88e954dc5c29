#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace quillobrandt {

// Why a Messages database could not be read or its copy written. description() is the message shown to the
// user. Two errors are equal when their cases are; the few cases that name a folder carry that text along.
class DatabaseError : public std::exception {
public:
    enum class Code {
        cannotOpenDatabase,
        queryFailed,
        authorizationDenied,
        databaseNotOpen,
        stopped,
        // SQLite says the file is no database, or it has none of the Messages tables.
        notMessagesDatabase,
        // SQLite found the file damaged (a torn copy, a truncated file).
        damaged,
        // The file kept changing while it was copied: another program is writing it.
        beingChanged,
        // The private folder (and the caches folder) cannot hold the snapshot; the text names folder and size.
        notEnoughSpace,
        // The edited copy cannot be written where the user asked; the text names the folder and the cause.
        cannotWriteCopy,
        // The database the copy is to be made from is no longer where it was loaded from.
        sourceMissing,
        // A Messages database that lacks a table or column without which nothing can be shown, or whose
        // statements SQLite cannot prepare; the text names what is missing.
        unreadableLayout,
        // Something other than a file lies at the database's path (a folder, a pipe, a device, a dangling link);
        // the text names it.
        notADatabaseFile,
    };

    explicit DatabaseError(Code code) : code_(code) {}
    DatabaseError(Code code, std::string text)
        : code_(code), text_(std::make_shared<const std::string>(std::move(text))) {}

    static DatabaseError cannotOpenDatabase() { return DatabaseError(Code::cannotOpenDatabase); }
    static DatabaseError queryFailed() { return DatabaseError(Code::queryFailed); }
    static DatabaseError authorizationDenied() { return DatabaseError(Code::authorizationDenied); }
    static DatabaseError databaseNotOpen() { return DatabaseError(Code::databaseNotOpen); }
    // The load was asked to stop (the program is quitting, or a newer load replaced it).
    static DatabaseError stopped() { return DatabaseError(Code::stopped); }
    static DatabaseError notMessagesDatabase() { return DatabaseError(Code::notMessagesDatabase); }
    static DatabaseError damaged() { return DatabaseError(Code::damaged); }
    static DatabaseError beingChanged() { return DatabaseError(Code::beingChanged); }
    static DatabaseError notEnoughSpace(std::string text) { return {Code::notEnoughSpace, std::move(text)}; }
    static DatabaseError cannotWriteCopy(std::string text) { return {Code::cannotWriteCopy, std::move(text)}; }
    static DatabaseError sourceMissing() { return DatabaseError(Code::sourceMissing); }
    // `text` says what lies at the path instead ("<path> is a folder, not a database file.").
    static DatabaseError notADatabaseFile(std::string text) { return {Code::notADatabaseFile, std::move(text)}; }
    // "This Messages database has a layout this program cannot read: <what>."
    static DatabaseError unreadableLayout(const std::string& what) {
        return {Code::unreadableLayout, "This Messages database has a layout this program cannot read: " + what + "."};
    }

    // The case for a failed SQLite call while a user's database is read: a file that is no database and a
    // damaged one are told apart from the rest (`fallback`), a stop ends the load.
    static DatabaseError fromSqlite(int resultCode, DatabaseError fallback);

    Code code() const { return code_; }
    const char* description() const noexcept;
    const char* what() const noexcept override { return description(); }

    bool operator==(const DatabaseError& other) const { return code_ == other.code_; }

private:
    Code code_;
    std::shared_ptr<const std::string> text_; // shared: copying an exception must not throw
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::DatabaseError> {
    std::size_t operator()(const quillobrandt::DatabaseError& error) const {
        return std::hash<int>{}(static_cast<int>(error.code()));
    }
};
