#include "Quillobrandt/main/MessagesFolderImport.h"

#include <system_error>
#include <utility>

#include "Quillobrandt/app/LoadedHistory.h"

namespace quillobrandt::messages_folder {
namespace fs = std::filesystem;

bool containsDatabase(const fs::path& folder) {
    std::error_code ec;
    return fs::is_regular_file(databaseIn(folder), ec);
}

fs::path databaseIn(const fs::path& folder) {
    return folder / databaseName;
}

std::vector<Conversation> load(const fs::path& folder, const DatabaseProgress& progress, std::stop_token pipeline,
                               std::stop_token loader) {
    return loadHistory(databaseIn(folder), folder, progress, std::move(pipeline), std::move(loader), true);
}

} // namespace quillobrandt::messages_folder
