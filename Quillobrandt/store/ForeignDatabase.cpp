#include "Quillobrandt/store/ForeignDatabase.h"

namespace quillobrandt {

platform::SqliteDatabase openForeignDatabase(const std::filesystem::path& file, int flags, std::function<bool()> stop) {
    auto db = platform::SqliteDatabase::open(file, flags | SQLITE_OPEN_NOFOLLOW);
    db.distrustSchema();
    if (stop) {
        db.setStopCheck(std::move(stop));
    }
    return db;
}

} // namespace quillobrandt
