#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace quillobrandt {

// Why a Messages database could not be read. description() is the message shown to the user.
class DatabaseError : public std::exception {
public:
    enum class Code { cannotOpenDatabase, queryFailed, authorizationDenied, databaseNotOpen, stopped };

    explicit DatabaseError(Code code) : code_(code) {}

    static DatabaseError cannotOpenDatabase() { return DatabaseError(Code::cannotOpenDatabase); }
    static DatabaseError queryFailed() { return DatabaseError(Code::queryFailed); }
    static DatabaseError authorizationDenied() { return DatabaseError(Code::authorizationDenied); }
    static DatabaseError databaseNotOpen() { return DatabaseError(Code::databaseNotOpen); }
    // The load was asked to stop (the program is quitting, or a newer load replaced it).
    static DatabaseError stopped() { return DatabaseError(Code::stopped); }

    Code code() const { return code_; }
    const char* description() const noexcept;
    const char* what() const noexcept override { return description(); }

    bool operator==(const DatabaseError& other) const { return code_ == other.code_; }

private:
    Code code_;
};

} // namespace quillobrandt

template <> struct std::hash<quillobrandt::DatabaseError> {
    std::size_t operator()(const quillobrandt::DatabaseError& error) const {
        return std::hash<int>{}(static_cast<int>(error.code()));
    }
};
