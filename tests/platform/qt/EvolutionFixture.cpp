#include "tests/platform/qt/EvolutionFixture.h"

#include "platform/core/Sqlite.h"

namespace qbtest {

void writeEvolutionAddressBook(const std::filesystem::path& contactsDb,
                               const std::vector<std::pair<std::string, std::string>>& contacts,
                               const std::vector<std::string>& extraTableCards) {
    std::filesystem::create_directories(contactsDb.parent_path());
    auto db = platform::SqliteDatabase::open(contactsDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.exec("PRAGMA journal_mode=WAL;"
            "CREATE TABLE folders (folder_id TEXT PRIMARY KEY, version INTEGER, multivalues TEXT, "
            "  lc_collate TEXT, countrycode VARCHAR(2));"
            "INSERT INTO folders VALUES ('folder_id', 12, 'email;tel', 'en_US.UTF-8', 'US');"
            "CREATE TABLE keys (key TEXT PRIMARY KEY, value TEXT, folder_id TEXT REFERENCES folders);"
            "CREATE TABLE folder_id (uid TEXT PRIMARY KEY, Rev TEXT, file_as TEXT, file_as_localized TEXT, "
            "  nickname TEXT, full_name TEXT, given_name TEXT, given_name_localized TEXT, family_name TEXT, "
            "  family_name_localized TEXT, is_list INTEGER, list_show_addresses INTEGER, wants_html INTEGER, "
            "  x509Cert INTEGER, pgpCert INTEGER, vcard TEXT, bdata TEXT);"
            "CREATE TABLE folder_id_phone_list (uid TEXT NOT NULL REFERENCES folder_id(uid) ON DELETE CASCADE, "
            "  value TEXT, value_phone TEXT);"
            "CREATE INDEX UID_INDEX_phone_folder_id ON folder_id_phone_list (uid);");
    auto insert =
        db.prepare("INSERT INTO folder_id (uid, Rev, is_list, vcard) VALUES (?1, '2024-01-01T00:00:00Z', 0, ?2)");
    for (const auto& [uid, vcard] : contacts) {
        insert.reset();
        insert.bindText(1, uid);
        insert.bindText(2, vcard);
        insert.step();
    }
    db.exec("CREATE TABLE \"other \"\"book\" (id INTEGER PRIMARY KEY, VCard TEXT);");
    auto extra = db.prepare("INSERT INTO \"other \"\"book\" (VCard) VALUES (?1)");
    for (const auto& vcard : extraTableCards) {
        extra.reset();
        extra.bindText(1, vcard);
        extra.step();
    }
    db.exec("PRAGMA wal_checkpoint(TRUNCATE);");
}

} // namespace qbtest
