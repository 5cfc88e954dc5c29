#include "platform/core/Sqlite.h"

#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

using platform::SqliteDatabase;
using platform::SqliteError;

TEST(Sqlite, RoundTripsEveryColumnKind) {
    const auto file = qbtest::IsolatedHome::root() / "t.db";
    auto db = SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.exec("CREATE TABLE t (a INTEGER, b REAL, c TEXT, d BLOB)");
    auto insert = db.prepare("INSERT INTO t VALUES (?, ?, ?, ?)");
    insert.bindInt64(1, 9'000'000'000LL);
    insert.bindDouble(2, 1.5);
    insert.bindText(3, std::string("h\0i", 3));
    insert.bindBlob(4, "", 0);
    EXPECT_FALSE(insert.next());
    auto select = db.prepare("SELECT a, b, c, d, NULL FROM t");
    ASSERT_TRUE(select.next());
    EXPECT_EQ(select.columnInt64(0), 9'000'000'000LL);
    EXPECT_DOUBLE_EQ(select.columnDouble(1), 1.5);
    EXPECT_EQ(select.columnText(2), std::string("h\0i", 3));
    ASSERT_TRUE(select.columnBlob(3).has_value()); // an empty blob is not NULL
    EXPECT_TRUE(select.columnBlob(3)->empty());
    EXPECT_FALSE(select.columnText(4).has_value());
    EXPECT_FALSE(select.next());
}

TEST(Sqlite, ReportsCodesForMissingFilesAndBadStatements) {
    try {
        SqliteDatabase::open(qbtest::IsolatedHome::root() / "missing.db", SQLITE_OPEN_READONLY);
        FAIL() << "opened a missing file";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.code(), SQLITE_CANTOPEN);
    }
    auto db = SqliteDatabase::open(qbtest::IsolatedHome::root() / "x.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    EXPECT_THROW(db.prepare("SELECT * FROM nowhere"), SqliteError);
}

TEST(Sqlite, NoFollowRefusesASymlinkedDatabase) {
    const auto root = qbtest::IsolatedHome::root();
    SqliteDatabase::open(root / "real.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).exec("CREATE TABLE t(x)");
    std::filesystem::create_symlink(root / "real.db", root / "link.db");
    EXPECT_THROW(SqliteDatabase::open(root / "link.db", SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW), SqliteError);
}

// A connection is used by one thread at a time, so SQLite's per-call lock is only cost: it is left out unless the
// caller asks for it.
TEST(Sqlite, ConnectionsGoWithoutSqlitesOwnLockUnlessAsked) {
    const auto file = qbtest::IsolatedHome::root() / "t.db";
    const auto created = SqliteDatabase::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    EXPECT_EQ(sqlite3_db_mutex(created.handle()), nullptr);
    EXPECT_EQ(sqlite3_db_mutex(SqliteDatabase::open(file, SQLITE_OPEN_READONLY).handle()), nullptr);
    EXPECT_NE(sqlite3_db_mutex(SqliteDatabase::open(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX).handle()),
              nullptr);
}
