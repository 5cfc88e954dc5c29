#include "Quillobrandt/store/DatabaseError.h"

#include <sqlite3.h>

namespace quillobrandt {

DatabaseError DatabaseError::fromSqlite(int resultCode, DatabaseError fallback) {
    switch (resultCode & 0xFF) {
    case SQLITE_NOTADB:
        return notMessagesDatabase();
    case SQLITE_CORRUPT:
        return damaged();
    case SQLITE_INTERRUPT:
        return stopped();
    case SQLITE_AUTH:
        return authorizationDenied();
    default:
        return fallback;
    }
}

const char* DatabaseError::description() const noexcept {
    if (text_) {
        return text_->c_str();
    }
    switch (code_) {
    case Code::cannotOpenDatabase:
        return "Cannot open database file. Please make sure the file exists and that you are allowed to read it.";
    case Code::queryFailed:
        return "Failed to query database.";
    case Code::authorizationDenied:
        return "Permission to read the Messages database was refused. Please check the file's permissions.";
    case Code::databaseNotOpen:
        return "Database is not open.";
    case Code::stopped:
        return "Loading the database was stopped.";
    case Code::notMessagesDatabase:
        return "This file is not a Messages database.";
    case Code::damaged:
        return "The database is damaged or incomplete.";
    case Code::beingChanged:
        return "Another program is changing the database. It can be loaded once that program is closed.";
    case Code::notEnoughSpace:
        return "There is not enough free space to read the database.";
    case Code::cannotWriteCopy:
        return "The copy cannot be written.";
    case Code::sourceMissing:
        return "The database the conversation came from is no longer there.";
    case Code::unreadableLayout:
        return "This Messages database has a layout this program cannot read.";
    case Code::notADatabaseFile:
        return "This is not a database file.";
    }
    return "Failed to query database.";
}

} // namespace quillobrandt
