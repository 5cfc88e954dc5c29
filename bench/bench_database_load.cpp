// Loading a Messages database of 1,000,000 messages in 2,000 chats end to end (openDatabase), against the
// floor of the sqlite3 command-line tool running the same statements for every chat.
//
// Run: bench_database_load --benchmark_out=load.txt --benchmark_out_format=console >/dev/null
// (the reader's console diagnostics go to stdout). Peak memory: run it under /usr/bin/time -v.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

#include "Quillobrandt/store/DatabaseManager.h"
#include "Quillobrandt/store/MessagesQueries.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"

namespace fs = std::filesystem;

namespace {

constexpr int kChats = 2000;
constexpr int kMessagesPerChat = 500;
constexpr double kMessages = static_cast<double>(kChats) * kMessagesPerChat;

const fs::path& benchFolder() {
    static const fs::path folder = [] {
        auto path = fs::temp_directory_path() / ("qb-bench-load-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

const fs::path& database() {
    static const fs::path file = [] {
        auto path = benchFolder() / "sms.db";
        // Half of the messages carry NULL text and an archived body, as on recent systems.
        qbtest::buildBulkMessagesDatabase(
            path, {.chats = kChats, .messagesPerChat = kMessagesPerChat, .encodeBody = [](std::string_view text) {
                       return qbtest::typedStreamAttributedString(std::string(text));
                   }});
        return path;
    }();
    return file;
}

std::string withChatId(std::string_view statement, int chatId) {
    std::string sql(statement);
    const auto mark = sql.find('?');
    if (mark != std::string::npos) {
        sql.replace(mark, 1, std::to_string(chatId));
    }
    return sql + ";\n";
}

// The reader's statements for every chat, in the order it runs them.
fs::path floorScript() {
    const auto script = benchFolder() / "floor.sql";
    std::ofstream out(script);
    out << quillobrandt::queries::chatCount << ";\n" << quillobrandt::queries::chats << ";\n";
    for (int chat = kChats; chat >= 1; --chat) {
        out << withChatId(quillobrandt::queries::participants, chat)
            << withChatId(quillobrandt::queries::messageCount, chat)
            << withChatId(quillobrandt::queries::attachments, chat)
            << withChatId(quillobrandt::queries::messages, chat);
    }
    return script;
}

void BM_OpenDatabase(benchmark::State& state) {
    const auto& file = database();
    std::size_t loaded = 0;
    for (auto _ : state) {
        quillobrandt::DatabaseManager manager;
        const auto conversations = manager.openDatabase(file);
        loaded = 0;
        for (const auto& conversation : conversations) {
            for (const auto& message : conversation.messages) {
                loaded += message.text ? 1 : 0;
            }
        }
        benchmark::DoNotOptimize(conversations.data());
    }
    if (loaded != static_cast<std::size_t>(kMessages)) {
        state.SkipWithError("not every message was loaded with its text");
    }
    state.counters["messages_per_second"] =
        benchmark::Counter(kMessages * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpenDatabase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_Sqlite3CommandLineFloor(benchmark::State& state) {
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("the sqlite3 command-line tool is not installed");
        return;
    }
    const auto script = floorScript();
    const std::string command = "sqlite3 -batch '" + database().string() + "' < '" + script.string() + "' >/dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("sqlite3 failed");
            break;
        }
    }
    state.counters["messages_per_second"] =
        benchmark::Counter(kMessages * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Sqlite3CommandLineFloor)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(benchFolder(), ignored);
    return 0;
}
