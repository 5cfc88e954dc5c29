#pragma once

// A second process that writes a Messages database as the running Messages app does, and what a load of one committed
// state of it shows.

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/Conversation.h"

namespace storetest {

// How many of its own messages the writer keeps: each commit adds one and removes the oldest.
inline constexpr std::int64_t kKeptLiveMessages = 1000;

// A second process that commits one message and its join row at a time, as fast as it can, in WAL mode with
// frequent checkpoints (each one moves pages into the main file and later restarts the log), or in another journal
// mode. Killed by the destructor.
class LiveWriter {
public:
    LiveWriter(const std::filesystem::path& file, std::int64_t chatId, const char* extraPragma = "",
               const char* journalMode = "WAL", useconds_t pause = 200) {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            run(file, chatId, extraPragma, journalMode, pause, ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (!started) {
            throw std::runtime_error("the writer did not start");
        }
    }
    ~LiveWriter() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    LiveWriter(const LiveWriter&) = delete;
    LiveWriter& operator=(const LiveWriter&) = delete;

private:
    [[noreturn]] static void run(const std::filesystem::path& file, std::int64_t chatId, const char* extraPragma,
                                 const char* journalMode, useconds_t pause, int ready) {
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
            ::_exit(1);
        }
        sqlite3_busy_timeout(db, 5000);
        // The extra pragma comes first: a locking mode must be set before the file is first read.
        const std::string setup = std::string(extraPragma) + "PRAGMA journal_mode=" + journalMode +
                                  "; PRAGMA wal_autocheckpoint=16; PRAGMA synchronous=OFF;";
        if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            ::_exit(2);
        }
        sqlite3_stmt* message = nullptr;
        sqlite3_stmt* join = nullptr;
        sqlite3_stmt* forget = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO message (guid, text, date, handle_id) VALUES (?, ?, ?, 1)", -1, &message,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)", -1,
                           &join, nullptr);
        // The schema's own trigger removes a message together with its last join row.
        sqlite3_prepare_v2(
            db, "DELETE FROM chat_message_join WHERE message_id = (SELECT ROWID FROM message WHERE guid = ?)", -1,
            &forget, nullptr);
        for (std::int64_t i = 1;; ++i) {
            const std::string guid = "live-" + std::to_string(i);
            const std::string text = "live message " + std::to_string(i);
            const std::int64_t date = 700000000000000000 + i;
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            sqlite3_bind_text(message, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(message, 2, text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(message, 3, date);
            bool written = sqlite3_step(message) == SQLITE_DONE;
            sqlite3_reset(message);
            sqlite3_bind_int64(join, 1, chatId);
            sqlite3_bind_int64(join, 2, sqlite3_last_insert_rowid(db));
            sqlite3_bind_int64(join, 3, date);
            written = sqlite3_step(join) == SQLITE_DONE && written;
            sqlite3_reset(join);
            if (i > kKeptLiveMessages) {
                // The file stays small, so that reading it costs the same at the end of the test as at the start.
                const std::string old = "live-" + std::to_string(i - kKeptLiveMessages);
                sqlite3_bind_text(forget, 1, old.c_str(), -1, SQLITE_TRANSIENT);
                written = sqlite3_step(forget) == SQLITE_DONE && written;
                sqlite3_reset(forget);
            }
            if (!written || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            if (i == 1 && ::write(ready, "r", 1) != 1) {
                ::_exit(3);
            }
            ::usleep(pause);
        }
    }

    pid_t pid_ = -1;
};

// The numbers of the writer's messages a load shows ("live message <n>"), ascending.
inline std::vector<std::int64_t> liveRun(const std::vector<quillobrandt::Conversation>& conversations) {
    std::vector<std::int64_t> live;
    for (const auto& conversation : conversations) {
        for (const auto& message : conversation.messages) {
            if (message.text && message.text->rfind("live message ", 0) == 0) {
                live.push_back(std::stoll(message.text->substr(13)));
            }
        }
    }
    std::sort(live.begin(), live.end());
    return live;
}

// Commit n holds the writer's messages max(1, n - kKeptLiveMessages + 1) ... n: one whole run beside every chat and
// message of the database as it was before the writer started (`baseline`), nothing else added or lost.
inline bool isOneCommittedState(const std::vector<std::int64_t>& live,
                                const std::vector<quillobrandt::Conversation>& conversations,
                                const std::vector<quillobrandt::Conversation>& baseline) {
    const auto messages = [](const std::vector<quillobrandt::Conversation>& list) {
        std::size_t total = 0;
        for (const auto& conversation : list) {
            total += conversation.messages.size();
        }
        return total;
    };
    return conversations.size() == baseline.size() && !live.empty() &&
           live.back() - live.front() + 1 == static_cast<std::int64_t>(live.size()) &&
           static_cast<std::int64_t>(live.size()) == std::min(live.back(), kKeptLiveMessages) &&
           messages(conversations) == messages(baseline) + live.size();
}

} // namespace storetest
