// Rendering 20,000 text messages into a PDF (PDFGenerator::generatePDF, normal layout, page numbers on)
// at about 1,000 pages (one-line messages) and about 10,000 pages (messages of about half a page):
// pages per second of wall time (what the user waits for; processor time reads high when the machine is busy and
// the render waits for a core), and the peak resident memory of the process during the render next to
// its resident memory before it.
// Cancel inside one message of 4 MB: the render is asked to stop at several moments of its work on that message,
// and the wall time from the request to the generator's return is what the user waits for after Cancel (target:
// under 100 ms).
//
// Run: QT_QPA_PLATFORM=offscreen bench_pdf (the generator's console lines go to stdout).
#include <benchmark/benchmark.h>

#include <QFile>
#include <QGuiApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Quillobrandt/conversation/export/PDFGenerator.h"

namespace fs = std::filesystem;
using quillobrandt::Message;

namespace {

constexpr int kMessages = 20'000;

// A /proc/self/status figure in megabytes ("VmRSS", "VmHWM").
double statusMegabytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::strtod(line.c_str() + key.size() + 1, nullptr) / 1024.0;
        }
    }
    return 0;
}

// Starts a new peak: the high-water mark falls back to the current resident size.
void resetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::vector<Message> conversation(int wordsPerMessage) {
    std::vector<Message> messages;
    messages.reserve(kMessages);
    const double start = 1'700'000'000;
    for (int i = 0; i < kMessages; ++i) {
        Message message;
        message.id = i + 1;
        std::string text = "Message " + std::to_string(i) + ":";
        for (int w = 0; w < wordsPerMessage; ++w) {
            text += (w % 12 == 11) ? "\nagain" : (w % 3 == 0 ? " something" : " said");
        }
        message.text = std::move(text);
        message.date = platform::AbsoluteTime::fromUnixSeconds(start + i * 97.0);
        message.isFromMe = i % 3 == 0;
        message.sender = message.isFromMe ? "Me" : "+15550001111";
        messages.push_back(std::move(message));
    }
    return messages;
}

void renderConversation(benchmark::State& state, int wordsPerMessage) {
    const std::vector<Message> messages = conversation(wordsPerMessage);
    quillobrandt::PDFSettings settings;
    settings.includePageNumbers = true;
    const fs::path output = fs::temp_directory_path() / ("qb-bench-pdf-" + std::to_string(::getpid()) + ".pdf");
    const QString path = QString::fromStdString(output.string());
    int pages = 0;
    double peak = 0;
    double before = 0;
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        before = statusMegabytes("VmRSS");
        resetPeakMemory();
        state.ResumeTiming();
        const auto result = quillobrandt::PDFGenerator::generatePDF(messages, {"+15550001111"}, settings, {}, path);
        state.PauseTiming();
        peak = std::max(peak, statusMegabytes("VmHWM"));
        if (!result.written) {
            state.SkipWithError(result.error.toStdString().c_str());
        }
        pages = result.pageCount;
        bytes = static_cast<double>(QFile(path).size());
        QFile::remove(path);
        state.ResumeTiming();
    }
    state.counters["pages"] = pages;
    state.counters["pages_per_s"] = benchmark::Counter(pages, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rss_before_MB"] = before;
    state.counters["peak_rss_MB"] = peak;
    state.counters["file_MB"] = bytes / (1024.0 * 1024.0);
}

void BM_Pdf_About1000Pages(benchmark::State& state) {
    renderConversation(state, 1);
}

void BM_Pdf_About10000Pages(benchmark::State& state) {
    renderConversation(state, 170);
}

void BM_Pdf_CancelInsideA4MBMessage(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Message message;
    message.id = 1;
    std::string text;
    for (int w = 0; text.size() < 4u * 1024 * 1024; ++w) {
        text += (w % 12 == 11) ? "\nagain" : (w % 3 == 0 ? " something" : " said");
    }
    message.text = std::move(text);
    message.date = platform::AbsoluteTime::fromUnixSeconds(1'700'000'000);
    message.sender = "+15550001111";
    const std::vector<Message> messages{message};
    const fs::path output = fs::temp_directory_path() / ("qb-bench-cancel-" + std::to_string(::getpid()) + ".pdf");
    const QString path = QString::fromStdString(output.string());
    std::vector<double> waits;
    for (auto _ : state) {
        for (const int afterMs : {20, 100, 300, 600, 1000, 1500}) {
            std::atomic<bool> stop = false;
            std::thread render([&] {
                quillobrandt::PDFGenerator::generatePDF(messages, {"+15550001111"}, {}, {}, path, {},
                                                        [&stop] { return stop.load(); });
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
            const auto asked = Clock::now();
            stop = true;
            render.join();
            waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            QFile::remove(path);
        }
    }
    std::sort(waits.begin(), waits.end());
    state.counters["cancel_wait_median_ms"] = waits[waits.size() / 2];
    state.counters["cancel_wait_max_ms"] = waits.back();
}

BENCHMARK(BM_Pdf_About1000Pages)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Pdf_CancelInsideA4MBMessage)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Pdf_About10000Pages)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv); // fonts need a GUI application
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
