#pragma once

// What the snapshot's tests share: the Messages folder of the isolated home, a database whose owner left rows in its
// log, and whether any snapshot is left.

#include <cstddef>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Quillobrandt/store/Conversation.h"
#include "Quillobrandt/store/DatabaseSnapshot.h"
#include "platform/core/Paths.h"
#include "tests/support/MessagesDatabaseBuilder.h"

namespace storetest {

inline std::filesystem::path messagesFolder() {
    return platform::homeDir() / "Library" / "Messages";
}

inline std::size_t messageCount(const std::vector<quillobrandt::Conversation>& conversations) {
    std::size_t count = 0;
    for (const auto& conversation : conversations) {
        count += conversation.messages.size();
    }
    return count;
}

// A database whose owner is still running: the second chat's rows are only in "-wal" (with its "-shm").
inline void buildLiveDatabase(const std::filesystem::path& file) {
    std::filesystem::create_directories(file.parent_path());
    qbtest::MessagesDatabaseBuilder builder(file, qbtest::JournalMode::wal);
    const auto ann = builder.addOneToOneChat("ann@example.com");
    builder.addMessageToChat(ann.chatId, {.text = "checkpointed", .date = 1, .handleId = ann.handleId});
    builder.checkpoint();
    const auto bob = builder.addOneToOneChat("bob@example.com");
    builder.addMessageToChat(bob.chatId, {.text = "only in the log", .date = 2, .handleId = bob.handleId});
    builder.addMessageToChat(bob.chatId, {.text = "also in the log", .date = 3, .isFromMe = 1});
    builder.finishLeavingWal();
}

inline bool snapshotFolderIsEmpty() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(platform::privateTempDir(), error)) {
        if (entry.path().filename().string().rfind(quillobrandt::DatabaseSnapshot::folderPrefix, 0) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace storetest
