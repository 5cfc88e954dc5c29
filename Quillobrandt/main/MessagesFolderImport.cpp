#include "Quillobrandt/main/MessagesFolderImport.h"

#include <array>
#include <string>
#include <system_error>

#include "Quillobrandt/store/DatabaseLocation.h"
#include "Quillobrandt/store/ReadInPlace.h"

namespace quillobrandt::messages_folder {
namespace fs = std::filesystem;
namespace {

constexpr std::array<const char*, 3> kSuffixes{"", "-wal", "-shm"};

void removeCopies(const fs::path& workFolder) {
    for (const char* suffix : kSuffixes) {
        std::error_code ignored;
        fs::remove(workFolder / (std::string(copyName) + suffix), ignored);
    }
}

} // namespace

bool containsDatabase(const fs::path& folder) {
    std::error_code ec;
    return fs::is_regular_file(folder / databaseName, ec);
}

fs::path copyDatabase(const fs::path& folder, const fs::path& workFolder, const std::function<bool()>& stop) {
    // The companions come with the database's turn: a snapshot read beside a live owner holds locks on its "-shm".
    const FileTurn turn(resolveDatabaseFile(folder / databaseName), stop);
    fs::create_directories(workFolder);
    removeCopies(workFolder);
    try {
        for (const char* suffix : kSuffixes) {
            const fs::path source = folder / (std::string(databaseName) + suffix);
            const bool required = std::string(suffix).empty();
            if (!required && !fs::exists(source)) {
                continue;
            }
            const fs::path target = workFolder / (std::string(copyName) + suffix);
            fs::copy_file(source, target, fs::copy_options::overwrite_existing);
            fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
        }
    } catch (const fs::filesystem_error&) {
        // Half a copy is useless and holds the user's messages: take it away again.
        removeCopies(workFolder);
        throw;
    }
    return workFolder / copyName;
}

} // namespace quillobrandt::messages_folder
