// Decoding speed of archived message bodies: the 105 real bodies of the shared test database, long
// messages, and keyed archives. Target: at least 1,000,000 bodies per second on one core for the real mix.
// BM_ReaderCall times what the database reader calls per body: the decoding together with its console line.
#include "Quillobrandt/store/ArchivedBodyDecoder.h"

#include "tests/support/ArchiveBlobBuilder.h"

#include "bench/BenchSupport.h"

#include "platform/core/Console.h"
#include "platform/core/Sqlite.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Body = std::vector<std::uint8_t>;

std::vector<Body> realBodies() {
    namespace fs = std::filesystem;
    // The shared file is read-only and in WAL mode; read a private copy.
    const fs::path copy = fs::temp_directory_path() / ("bench-decoder-" + std::to_string(::getpid()) + ".db");
    fs::copy_file(fs::path(QB_SHARED_TESTDATA_DIR) / "ios-sms.db", copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    std::vector<Body> bodies;
    {
        auto db = platform::SqliteDatabase::open(copy, SQLITE_OPEN_READWRITE);
        auto statement = db.prepare("SELECT attributedBody FROM message WHERE attributedBody IS NOT NULL");
        while (statement.next()) {
            bodies.push_back(statement.columnBlob(0).value_or(Body()));
        }
    }
    std::error_code ignored;
    fs::remove(copy, ignored);
    fs::remove(copy.string() + "-wal", ignored);
    fs::remove(copy.string() + "-shm", ignored);
    if (bodies.size() != 105) {
        throw std::runtime_error("expected 105 bodies in ios-sms.db");
    }
    return bodies;
}

std::vector<Body> longBodies() {
    std::string paragraph;
    while (paragraph.size() < 2000) {
        paragraph += "A long message with caf\xC3\xA9, \xF0\x9F\x98\x80 and \xEF\xBF\xBC in it. ";
    }
    std::vector<Body> bodies;
    bodies.push_back(qbtest::typedStreamAttributedString(paragraph));
    bodies.push_back(qbtest::typedStreamAttributedString(paragraph + paragraph + paragraph + paragraph));
    bodies.push_back(qbtest::typedStreamAttributedString(std::string(20000, 'x')));
    return bodies;
}

void runCorpus(benchmark::State& state, const std::vector<Body>& corpus) {
    std::size_t bytes = 0;
    for (const Body& body : corpus) {
        bytes += body.size();
    }
    for (auto _ : state) {
        for (const Body& body : corpus) {
            auto decoded = quillobrandt::decodeArchivedBody(body);
            benchmark::DoNotOptimize(decoded);
        }
    }
    const auto bodies = static_cast<double>(state.iterations() * corpus.size());
    state.counters["bodies_per_second"] = benchmark::Counter(bodies, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_RealBodies(benchmark::State& state) {
    static const std::vector<Body> corpus = realBodies();
    runCorpus(state, corpus);
}
BENCHMARK(BM_RealBodies);

// The real bodies repeated ten times with three long messages among them.
void BM_RealBodiesWithLongMessages(benchmark::State& state) {
    static const std::vector<Body> corpus = [] {
        std::vector<Body> mix;
        const auto real = realBodies();
        const auto longOnes = longBodies();
        for (int round = 0; round < 10; ++round) {
            mix.insert(mix.end(), real.begin(), real.end());
        }
        mix.insert(mix.end(), longOnes.begin(), longOnes.end());
        return mix;
    }();
    runCorpus(state, corpus);
}
BENCHMARK(BM_RealBodiesWithLongMessages);

void BM_LongMessagesOnly(benchmark::State& state) {
    static const std::vector<Body> corpus = longBodies();
    runCorpus(state, corpus);
}
BENCHMARK(BM_LongMessagesOnly);

// Arg 0: standard output is not a terminal, so the reader asks for no line. Arg 1: as from a terminal, the lines are
// collected and written once per round of bodies (the reader writes once per chat), here into a pipe.
void BM_ReaderCall(benchmark::State& state) {
    static const std::vector<Body> corpus = realBodies();
    const bool withLines = state.range(0) == 1;
    state.SetLabel(withLines ? "lines written to a pipe" : "no lines (not a terminal)");
    qbbench::RedirectedStdout redirected(withLines ? qbbench::StdoutTarget::pipe : qbbench::StdoutTarget::devNull);
    std::int64_t rowId = 0;
    std::string lines;
    for (auto _ : state) {
        for (const Body& body : corpus) {
            auto text = quillobrandt::decodeAttributedBody(body, ++rowId, withLines ? &lines : nullptr);
            benchmark::DoNotOptimize(text);
        }
        platform::consoleText(lines);
        lines.clear();
    }
    const auto bodies = static_cast<double>(state.iterations() * corpus.size());
    state.counters["bodies_per_second"] = benchmark::Counter(bodies, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderCall)->Arg(0)->Arg(1)->UseRealTime();

void BM_KeyedArchives(benchmark::State& state) {
    static const std::vector<Body> corpus = {qbtest::keyedArchiveAttributedString("Hello there"),
                                             qbtest::keyedArchiveAttributedStringWithNumber("Hello there"),
                                             qbtest::keyedArchiveString("Hello there")};
    runCorpus(state, corpus);
}
BENCHMARK(BM_KeyedArchives);

} // namespace

BENCHMARK_MAIN();
