#include "Quillobrandt/backup/JournalModeSwitch.h"

#include "platform/core/Sqlite.h"

namespace quillobrandt {

JournalSwitchOutcome switchToDeleteJournalMode(const std::filesystem::path& database) {
    try {
        auto db = platform::SqliteDatabase::open(database, SQLITE_OPEN_READWRITE);
        auto statement = db.prepare("PRAGMA journal_mode=DELETE;");
        JournalSwitchOutcome outcome;
        if (statement.next()) {
            outcome.output = statement.columnText(0).value_or("");
        }
        return outcome;
    } catch (const platform::SqliteError& error) {
        return {error.what(), error.code()};
    }
}

} // namespace quillobrandt
