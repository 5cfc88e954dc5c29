#include "platform/qt/DesktopAddressBooks.h"

#include <algorithm>
#include <array>
#include <fstream>

#include "platform/core/AtomicFile.h"
#include "platform/core/Console.h"
#include "platform/core/Sqlite.h"
#include "platform/qt/VCardParser.h"

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr std::size_t kMaxVCardFileSize = 32u * 1024 * 1024;

std::vector<fs::path> vCardFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return files;
    }
    // Symbolic links to folders are not followed, so a link loop cannot trap the walk.
    for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<fs::path> evolutionDatabases(const fs::path& folder) {
    std::vector<fs::path> databases;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return databases;
    }
    for (auto it = fs::directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path candidate = it->path() / "contacts.db";
        std::error_code typeError;
        if (fs::is_regular_file(candidate, typeError)) {
            databases.push_back(candidate);
        }
    }
    std::sort(databases.begin(), databases.end());
    return databases;
}

std::string quotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted.push_back(c);
        if (c == '"') {
            quoted.push_back('"');
        }
    }
    quoted.push_back('"');
    return quoted;
}

// A reader of a database in WAL mode makes the "-wal" and "-shm" it does not find, and leaves them behind in the
// user's folder. Without both nobody has the book open, so the file is read on its own, as one that cannot change
// (rows a crashed program left in a log are not seen).
SqliteDatabase openAddressBook(const fs::path& contactsDb) {
    std::array<char, 20> header{};
    std::ifstream(contactsDb, std::ios::binary).read(header.data(), header.size());
    const bool walMode = header[18] == 2 && header[19] == 2;
    std::error_code ec;
    const bool openByOwner =
        fs::exists(contactsDb.string() + "-wal", ec) && fs::exists(contactsDb.string() + "-shm", ec);
    if (walMode && !openByOwner) {
        return SqliteDatabase::open(sqliteFileUri(contactsDb, "immutable=1"), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    }
    return SqliteDatabase::open(contactsDb, SQLITE_OPEN_READONLY);
}

} // namespace

std::vector<std::string> readEvolutionVCards(const fs::path& contactsDb) {
    const auto db = openAddressBook(contactsDb);
    std::vector<std::string> tables;
    {
        auto statement = db.prepare("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
        while (statement.next()) {
            if (auto name = statement.columnText(0)) {
                tables.push_back(*name);
            }
        }
    }
    std::vector<std::string> cards;
    for (const std::string& table : tables) {
        auto hasColumn = db.prepare("SELECT 1 FROM pragma_table_info(?1) WHERE name = 'vcard' COLLATE NOCASE");
        hasColumn.bindText(1, table);
        if (!hasColumn.next()) {
            continue;
        }
        auto statement = db.prepare("SELECT vcard FROM " + quotedIdentifier(table));
        while (statement.next()) {
            if (auto text = statement.columnText(0)) {
                cards.push_back(std::move(*text));
            }
        }
    }
    return cards;
}

void readDesktopAddressBooks(const fs::path& dataFolder, const std::function<void(const ContactRecord&)>& visit) {
    for (const fs::path& file : vCardFiles(dataFolder / "contacts")) {
        const auto text = readFile(file, kMaxVCardFileSize);
        if (!text) {
            consoleLine("⚠️ Skipping unreadable contacts file: " + file.string());
            continue;
        }
        for (const ContactRecord& card : parseVCards(*text)) {
            visit(card);
        }
    }
    for (const fs::path& database : evolutionDatabases(dataFolder / "evolution" / "addressbook")) {
        std::vector<std::string> texts;
        try {
            texts = readEvolutionVCards(database);
        } catch (const SqliteError& error) {
            consoleLine("⚠️ Skipping unreadable address book " + database.string() + ": " + error.what());
            continue;
        }
        for (const std::string& text : texts) {
            for (const ContactRecord& card : parseVCards(text)) {
                visit(card);
            }
        }
    }
}

} // namespace platform
