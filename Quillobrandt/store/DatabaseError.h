#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace quillobrandt {

// Why a Messages database could not be read. description() is the message shown to the user.
class DatabaseError : public std::exception {
public:
    enum class Code { cannotOpenDatabase, queryFailed, authorizationDenied, databaseNotOpen };

    explicit DatabaseError(Code code) : code_(code) {}

    static DatabaseError cannotOpenDatabase() { return DatabaseError(Code::cannotOpenDatabase); }
    static DatabaseError queryFailed() { return DatabaseError(Code::queryFailed); }
    static DatabaseError authorizationDenied() { return DatabaseError(Code::authorizationDenied); }
    static DatabaseError databaseNotOpen() { return DatabaseError(Code::databaseNotOpen); }

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
