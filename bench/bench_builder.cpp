// Time to write a database of 1,000,000 messages in 2,000 chats in the real Messages schema.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "tests/support/MessagesDatabaseBuilder.h"

namespace {

void BM_BuildMillionMessageDatabase(benchmark::State& state) {
    const auto file =
        std::filesystem::temp_directory_path() / ("qb-bench-builder-" + std::to_string(::getpid()) + ".db");
    for (auto _ : state) {
        qbtest::buildBulkMessagesDatabase(file, {.chats = 2000, .messagesPerChat = 500});
    }
    state.counters["messages_per_second"] =
        benchmark::Counter(1'000'000.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["file_MiB"] = static_cast<double>(std::filesystem::file_size(file)) / (1024.0 * 1024.0);
    std::filesystem::remove(file);
}
BENCHMARK(BM_BuildMillionMessageDatabase)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
