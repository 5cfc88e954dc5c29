// The store's load driven headless, one process per measured round, as a user meets it: started fresh, it loads a
// Messages database and exits. bench_database_load spawns it (as it spawns the terminal drainer) and times it from
// outside, with the operating system's own accounting of the finished process (wall, processor time, page faults,
// peak memory).
//
//   database_loader load FILE RESULTS [LOADS]  loads FILE LOADS times (default 1); between loads the conversations
//                                              are freed and the heap trimmed, as the program does after Back
//   database_loader floor FILE RESULTS         SQLite itself: the reader's statements prepared once, rebound per
//                                              chat, every column of every row read, nothing kept or printed
//   database_loader make FILE CHATS PER_CHAT [wal]  writes the benchmark's database (half the messages with NULL
//                                              text and an archived body) and, beside it, floor.sql: the reader's
//                                              statements for every chat in the order it runs them, for the sqlite3
//                                              command-line tool (`sqlite3 -batch FILE < floor.sql`)
//
// RESULTS receives one line per load: "load <seconds> <free seconds> <messages with text>", or for the floor
// "floor <seconds> <bytes read>". The load's console lines go to this process's standard output, wherever the
// caller pointed it. The last load's conversations are not freed: the process ends with them, as the program does.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "platform/core/MemoryRelease.h"
#include "platform/core/Sqlite.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Steps a statement to its end and touches every column of every row, as a reader that builds values would.
std::size_t drain(platform::SqliteStatement& statement) {
    std::size_t bytes = 0;
    while (statement.next()) {
        for (int column = 0, count = statement.columnCount(); column < count; ++column) {
            switch (statement.columnType(column)) {
            case SQLITE_INTEGER:
                bytes += static_cast<std::size_t>(statement.columnInt64(column) & 1);
                break;
            case SQLITE_FLOAT:
                bytes += statement.columnDouble(column) > 0 ? 1 : 0;
                break;
            case SQLITE_TEXT:
                bytes += statement.columnTextView(column)->size();
                break;
            case SQLITE_BLOB:
                bytes += statement.columnBlobView(column)->size();
                break;
            default:
                break;
            }
        }
    }
    statement.reset();
    return bytes;
}

std::size_t floorRead(const std::filesystem::path& file) {
    using quillobrandt::queries::attachments, quillobrandt::queries::chats, quillobrandt::queries::chatCount,
        quillobrandt::queries::messageCount, quillobrandt::queries::messages, quillobrandt::queries::participants;
    const auto db = platform::SqliteDatabase::open(file, SQLITE_OPEN_READONLY);
    auto count = db.prepare(chatCount);
    std::size_t bytes = drain(count);
    auto perChat =
        std::array{db.prepare(participants), db.prepare(messageCount), db.prepare(attachments), db.prepare(messages)};
    auto chatRows = db.prepare(chats);
    while (chatRows.next()) {
        const auto chatId = chatRows.columnInt64(0);
        bytes += chatRows.columnTextView(1).value_or("").size();
        bytes += chatRows.columnTextView(3).value_or("").size();
        for (auto& statement : perChat) {
            statement.bindInt64(1, chatId);
            bytes += drain(statement);
        }
    }
    return bytes;
}

int usage() {
    std::cerr << "usage: database_loader load FILE RESULTS [LOADS] | floor FILE RESULTS | make FILE CHATS PER_CHAT "
                 "[wal]\n";
    return 2;
}

std::string withChatId(std::string_view statement, int chatId) {
    std::string sql(statement);
    const auto mark = sql.find('?');
    if (mark != std::string::npos) {
        sql.replace(mark, 1, std::to_string(chatId));
    }
    return sql + ";\n";
}

void writeFloorScript(const std::filesystem::path& script, int chats) {
    namespace queries = quillobrandt::queries;
    std::ofstream out(script);
    out << queries::chatCount << ";\n" << queries::chats << ";\n";
    for (int chat = chats; chat >= 1; --chat) {
        out << withChatId(queries::participants, chat) << withChatId(queries::messageCount, chat)
            << withChatId(queries::attachments, chat) << withChatId(queries::messages, chat);
    }
}

int make(int argc, char** argv) {
    if (argc < 5) {
        return usage();
    }
    const std::filesystem::path file = argv[2];
    const int chats = std::atoi(argv[3]);
    const bool wal = argc > 5 && std::string_view(argv[5]) == "wal";
    writeFloorScript(file.parent_path() / "floor.sql", chats);
    qbtest::buildBulkMessagesDatabase(file, {.chats = chats,
                                             .messagesPerChat = std::atoi(argv[4]),
                                             .journal = wal ? qbtest::JournalMode::wal : qbtest::JournalMode::rollback,
                                             .encodeBody = [](std::string_view text) {
                                                 return qbtest::typedStreamAttributedString(std::string(text));
                                             }});
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "make") {
        return make(argc, argv);
    }
    if (argc < 4) {
        return usage();
    }
    const std::string_view mode = argv[1];
    const std::filesystem::path file = argv[2];
    std::ofstream results(argv[3]);
    if (!results) {
        std::cerr << "cannot write " << argv[3] << '\n';
        return 1;
    }
    try {
        if (mode == "floor") {
            const auto start = std::chrono::steady_clock::now();
            const auto bytes = floorRead(file);
            results << "floor " << secondsSince(start) << ' ' << bytes << '\n';
            return 0;
        }
        if (mode != "load") {
            return usage();
        }
        const int loads = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
        std::vector<quillobrandt::Conversation> conversations;
        for (int load = 1; load <= loads; ++load) {
            double freeSeconds = 0;
            if (!conversations.empty()) {
                // Back: the history goes and the heap is trimmed, so the next load starts cold again.
                const auto freeing = std::chrono::steady_clock::now();
                conversations = {};
                platform::releaseFreeMemory();
                freeSeconds = secondsSince(freeing);
            }
            const auto start = std::chrono::steady_clock::now();
            // On a thread of its own, as the program loads on a worker: the C library gives such a thread its
            // own heap, which behaves unlike the main thread's.
            std::thread([&] { conversations = quillobrandt::DatabaseManager().openDatabase(file); }).join();
            const double seconds = secondsSince(start);
            std::size_t withText = 0;
            for (const auto& conversation : conversations) {
                for (const auto& message : conversation.messages) {
                    withText += message.text ? 1 : 0;
                }
            }
            results << "load " << seconds << ' ' << freeSeconds << ' ' << withText << '\n';
        }
        results.flush();
        std::fflush(stdout);
        ::_exit(results ? 0 : 1); // the last history ends with the process, unfreed, as in the program
    } catch (const std::exception& error) {
        std::cerr << "database_loader: " << error.what() << '\n';
        return 1;
    }
}
