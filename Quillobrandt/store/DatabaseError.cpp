#include "Quillobrandt/store/DatabaseError.h"

namespace quillobrandt {

const char* DatabaseError::description() const noexcept {
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
    }
    return "Failed to query database.";
}

} // namespace quillobrandt
