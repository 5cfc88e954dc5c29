#include "platform/core/Sqlite.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace platform {

std::string sqliteFileUri(const std::filesystem::path& path, const std::string& query) {
    std::string uri = "file:";
    for (const char c : path.string()) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return query.empty() ? uri : uri + "?" + query;
}

SqliteDatabase SqliteDatabase::open(const std::filesystem::path& file, int flags, const char* fileLayer) {
    sqlite3* raw = nullptr;
    if ((flags & SQLITE_OPEN_FULLMUTEX) == 0) {
        flags |= SQLITE_OPEN_NOMUTEX;
    }
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, fileLayer);
    SqliteDatabase db;
    db.db_.reset(raw);
    if (rc != SQLITE_OK) {
        const std::string message = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        throw SqliteError(rc, message);
    }
    sqlite3_extended_result_codes(raw, 0);
    return db;
}

CostlyCallError::CostlyCallError(const std::string& function)
    : SqliteError(SQLITE_ERROR, "the database holds code that calls " + function +
                                    "(), which can run for hours and cannot be stopped"),
      function_(function) {}

namespace {

// Functions one call of which can run far longer than its arguments' size suggests (a search of one text in another
// compares up to the product of their lengths), or make a value of any size from a small one. `arguments` is the
// count that makes it costly, -1 for any.
struct CostlyFunction {
    std::string_view name;
    int arguments;
};
constexpr CostlyFunction kCostlyFunctions[] = {
    {"instr", -1}, {"replace", -1},  {"like", -1},       {"glob", -1},   {"trim", 2},    {"ltrim", 2},
    {"rtrim", 2},  {"zeroblob", -1}, {"randomblob", -1}, {"printf", -1}, {"format", -1},
};

// The costly function a program listing's function step calls ("instr(2)"), if it is one.
std::optional<std::string> costlyFunctionOf(std::string_view called) {
    const auto open = called.find('(');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name = called.substr(0, open);
    const int arguments = std::atoi(std::string(called.substr(open + 1)).c_str());
    for (const auto& costly : kCostlyFunctions) {
        if (sqlite3_strnicmp(name.data(), costly.name.data(), static_cast<int>(costly.name.size())) == 0 &&
            name.size() == costly.name.size() && (costly.arguments < 0 || costly.arguments == arguments)) {
            return std::string(costly.name);
        }
    }
    return std::nullopt;
}

bool distrustsSchema(sqlite3* db) {
    int trusted = 1;
    return sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trusted) == SQLITE_OK && trusted == 0;
}

// Throws CostlyCallError when the program SQLite compiles for `sql` (triggers' and foreign keys' sub-programs
// included) has a step that calls a costly function.
void refuseCostlyCalls(sqlite3* db, std::string_view sql) {
    const std::string explain = "EXPLAIN " + std::string(sql);
    sqlite3_stmt* listing = nullptr;
    if (sqlite3_prepare_v2(db, explain.c_str(), static_cast<int>(explain.size()), &listing, nullptr) != SQLITE_OK) {
        sqlite3_finalize(listing);
        return; // the statement's own prepare reports why
    }
    std::optional<std::string> costly;
    while (!costly && sqlite3_step(listing) == SQLITE_ROW) {
        // Columns: addr, opcode, p1, p2, p3, p4, ...; a function step names its function in p4 ("instr(2)").
        const auto* opcode = reinterpret_cast<const char*>(sqlite3_column_text(listing, 1));
        const auto* called = reinterpret_cast<const char*>(sqlite3_column_text(listing, 5));
        if (opcode != nullptr && called != nullptr &&
            (std::strcmp(opcode, "Function") == 0 || std::strcmp(opcode, "PureFunc") == 0 ||
             std::strncmp(opcode, "Agg", 3) == 0)) {
            costly = costlyFunctionOf(called);
        }
    }
    sqlite3_finalize(listing);
    if (costly) {
        throw CostlyCallError(*costly);
    }
}

} // namespace

SqliteStatement SqliteDatabase::prepare(std::string_view sql) const {
    if (!db_) {
        throw SqliteError(SQLITE_MISUSE, "database is not open");
    }
    if (distrustsSchema(db_.get())) {
        refuseCostlyCalls(db_.get(), sql);
    }
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        throw SqliteError(rc, sqlite3_errmsg(db_.get()));
    }
    return SqliteStatement(stmt, db_.get());
}

void SqliteDatabase::exec(const std::string& sql) const {
    const int rc = tryExec(sql);
    if (rc != SQLITE_OK) {
        throw SqliteError(rc, errorMessage());
    }
}

int SqliteDatabase::tryExec(const std::string& sql) const {
    if (!db_) {
        return SQLITE_MISUSE;
    }
    return sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
}

void SqliteDatabase::setStopCheck(std::function<bool()> stop) {
    if (!db_) {
        return;
    }
    if (!stop) {
        sqlite3_progress_handler(db_.get(), 0, nullptr, nullptr);
        stop_.reset();
        return;
    }
    stop_ = std::make_unique<std::function<bool()>>(std::move(stop));
    // A few microseconds apart: far too rare to cost anything.
    sqlite3_progress_handler(
        db_.get(), stopCheckSteps,
        [](void* check) { return (*static_cast<std::function<bool()>*>(check))() ? 1 : 0; }, stop_.get());
}

void SqliteDatabase::distrustSchema() const {
    if (!db_) {
        throw SqliteError(SQLITE_MISUSE, "database is not open");
    }
    int enabled = 0;
    if (const int rc = sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, &enabled); rc != SQLITE_OK) {
        throw SqliteError(rc, errorMessage());
    }
    if (const int rc = sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &enabled); rc != SQLITE_OK) {
        throw SqliteError(rc, errorMessage());
    }
}

void SqliteDatabase::neverCheckpointOnClose() const {
    if (!db_) {
        throw SqliteError(SQLITE_MISUSE, "database is not open");
    }
    int enabled = 0;
    if (const int rc = sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &enabled); rc != SQLITE_OK) {
        throw SqliteError(rc, errorMessage());
    }
}

std::int64_t SqliteDatabase::queryInt64(std::string_view sql) const {
    auto statement = prepare(sql);
    if (!statement.next()) {
        throw SqliteError(SQLITE_ERROR, "no answer to " + std::string(sql));
    }
    return statement.columnInt64(0);
}

std::string SqliteDatabase::errorMessage() const { return db_ ? sqlite3_errmsg(db_.get()) : "database is not open"; }
int SqliteDatabase::errorCode() const { return db_ ? sqlite3_errcode(db_.get()) : SQLITE_MISUSE; }
std::int64_t SqliteDatabase::lastInsertRowId() const { return db_ ? sqlite3_last_insert_rowid(db_.get()) : 0; }
int SqliteDatabase::changes() const { return db_ ? sqlite3_changes(db_.get()) : 0; }

void SqliteStatement::check(int rc) const {
    if (rc != SQLITE_OK) {
        throw SqliteError(rc, db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    }
}

int SqliteStatement::step() { return stmt_ ? sqlite3_step(stmt_.get()) : SQLITE_MISUSE; }

bool SqliteStatement::next() {
    const int rc = step();
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    throw SqliteError(rc, db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
}

void SqliteStatement::reset() { sqlite3_reset(stmt_.get()); }
void SqliteStatement::clearBindings() { sqlite3_clear_bindings(stmt_.get()); }
void SqliteStatement::bindInt(int index, std::int32_t value) { check(sqlite3_bind_int(stmt_.get(), index, value)); }
void SqliteStatement::bindInt64(int index, std::int64_t value) {
    check(sqlite3_bind_int64(stmt_.get(), index, value));
}
void SqliteStatement::bindDouble(int index, double value) { check(sqlite3_bind_double(stmt_.get(), index, value)); }
void SqliteStatement::bindText(int index, std::string_view value) {
    check(sqlite3_bind_text64(stmt_.get(), index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}
void SqliteStatement::bindBlob(int index, const void* data, std::size_t size) {
    // A zero-length blob must stay a blob, not become NULL.
    check(size == 0 ? sqlite3_bind_zeroblob(stmt_.get(), index, 0)
                    : sqlite3_bind_blob64(stmt_.get(), index, data, size, SQLITE_TRANSIENT));
}
void SqliteStatement::bindNull(int index) { check(sqlite3_bind_null(stmt_.get(), index)); }

int SqliteStatement::columnCount() const { return sqlite3_column_count(stmt_.get()); }
int SqliteStatement::columnType(int column) const { return sqlite3_column_type(stmt_.get(), column); }
std::int32_t SqliteStatement::columnInt(int column) const { return sqlite3_column_int(stmt_.get(), column); }
std::int64_t SqliteStatement::columnInt64(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
double SqliteStatement::columnDouble(int column) const { return sqlite3_column_double(stmt_.get(), column); }

std::optional<std::string> SqliteStatement::columnText(int column) const {
    const auto view = columnTextView(column);
    return view ? std::optional<std::string>(std::in_place, *view) : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> SqliteStatement::columnBlob(int column) const {
    const auto view = columnBlobView(column);
    return view ? std::optional<std::vector<std::uint8_t>>(std::in_place, view->begin(), view->end()) : std::nullopt;
}

std::optional<std::string_view> SqliteStatement::columnTextView(int column) const {
    if (isNull(column)) {
        return std::nullopt;
    }
    const auto* text = sqlite3_column_text(stmt_.get(), column);
    const int size = sqlite3_column_bytes(stmt_.get(), column);
    if (text == nullptr || size <= 0) {
        return std::string_view();
    }
    return std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::optional<std::span<const std::uint8_t>> SqliteStatement::columnBlobView(int column) const {
    if (isNull(column)) {
        return std::nullopt;
    }
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_.get(), column));
    const int size = sqlite3_column_bytes(stmt_.get(), column);
    if (data == nullptr || size <= 0) {
        return std::span<const std::uint8_t>();
    }
    return std::span<const std::uint8_t>(data, static_cast<std::size_t>(size));
}

std::string SqliteStatement::columnName(int column) const {
    const char* name = sqlite3_column_name(stmt_.get(), column);
    return name != nullptr ? name : "";
}

} // namespace platform
