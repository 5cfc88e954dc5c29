// The conversation window and the main window on big histories, offscreen (QT_QPA_PLATFORM=offscreen is set here):
//  - on a 100,000-message conversation: opening it, a refilter (Show Media off and on), ticking "Filter by Date"
//    and entering edit mode, each as the time the GUI thread is blocked (targets: date filter under 20 ms);
//  - memory: opening the 100,000-message conversation from the loaded history (through the large-conversation
//    question) and entering edit mode, as growth of resident memory and of its peak over the state before;
//  - exporting 1,000,000 messages as CSV: how far memory climbs above the messages themselves;
//  - the main window loading the load benchmark's 1,000,000-message history three times, going Back after each: the
//    idle footprint (measured at start, before any history or conversation exists), the baseline (idle plus whatever
//    earlier benchmarks of this run still hold, taken just before the first load), resident memory after each load
//    and after each Back (target: after Back within 1.5 times the baseline: what the program itself keeps), and the
//    peak after each load (must not grow from the first load to the third);
//  - "Save Copy" from a conversation of that history with its window left open: the saved copy becomes the loaded
//    history while the window holds its conversation of the old one (target: resident memory within 1.2 times that
//    with one history loaded), and the GUI thread's longest stall from the press until the copy is loaded;
//  - quitting while that history loads: how long destroying the window and the application state takes, alone and
//    through the application's delegate;
//  - the GUI thread's longest stall (the latest wake-up of a 5 ms timer on it) while "Export CSV" writes 1,000,000
//    rows (target for it and for Save Copy's: under 50 ms);
//  - the log after the menu loads a history of 300,000 messages in one chat: how many progress lines it wrote, and
//    whether the current and previous log still hold the start banner and the name of the file loaded.
// Figures are medians of several rounds with their minimum and maximum. HOME and the other folders point into a
// private temporary folder.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QLocale>
#include <QTimer>

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "Quillobrandt/app/AppDelegate.h"
#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/app/HttpSender.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "Quillobrandt/conversation/CsvExport.h"
#include "Quillobrandt/main/MainView.h"
#include "Quillobrandt/store/Logger.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "tests/support/ArchiveBlobBuilder.h"
#include "tests/support/MessagesDatabaseBuilder.h"
#include "tests/support/qt/EventLoop.h"

#include "bench/BenchSupport.h"

namespace fs = std::filesystem;
using namespace qbbench;
using quillobrandt::Conversation;
using quillobrandt::ConversationDisplayView;

namespace {

constexpr int kConversationMessages = 100'000;
constexpr int kRounds = 5;

class NullSender final : public quillobrandt::HttpSender {
public:
    quillobrandt::HttpResponse send(const quillobrandt::HttpRequest&) override { return {204, std::nullopt}; }
};

fs::path benchRoot() {
    return qbbench::isolatedBenchRoot("qb-bench-gui");
}

// The window's collaborators, without network or desktop services.
struct Environment {
    platform::FakePlatform fake;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{"G-BENCH", "secret"}, std::make_shared<NullSender>(), defaults};
    quillobrandt::AppState state{nullptr, &analytics};
};

std::unique_ptr<Environment>& environmentHolder() {
    static std::unique_ptr<Environment> env;
    return env;
}

Environment& environment() {
    if (!environmentHolder()) {
        environmentHolder() = std::make_unique<Environment>();
    }
    return *environmentHolder();
}

// Two years of messages, one in twenty with a photo and one in fifty with a document. Shared, as the loaded
// history hands it to the conversation window.
const std::shared_ptr<const Conversation>& bigConversation() {
    static const auto conversation = std::make_shared<const Conversation>([] {
        Conversation c;
        c.id = "1";
        c.participants = {"+15550001111"};
        c.messages.reserve(kConversationMessages);
        const double start = 700'000'000.0; // seconds since 2001
        const double step = 2.0 * 365 * 86400 / kConversationMessages;
        for (int i = 0; i < kConversationMessages; ++i) {
            quillobrandt::Message& m = c.messages.emplace_back();
            m.id = i + 1;
            m.text = "Message number " + std::to_string(i) + " with a little text in it";
            m.date = platform::AbsoluteTime{start + step * i};
            m.isFromMe = i % 3 == 0;
            m.sender = m.isFromMe ? "Me" : "+15550001111";
            if (i % 20 == 0) {
                m.attachments.push_back({i + 1, "IMG_" + std::to_string(i) + ".jpg", "image/jpeg",
                                         "/nonexistent/IMG_" + std::to_string(i) + ".jpg"});
            } else if (i % 50 == 1) {
                m.attachments.push_back({i + 1, "doc.pdf", "application/pdf", "/nonexistent/doc.pdf"});
            }
        }
        c.messageCount = static_cast<std::int64_t>(c.messages.size());
        return c;
    }());
    return conversation;
}

std::unique_ptr<ConversationDisplayView> openView() {
    auto view = std::make_unique<ConversationDisplayView>(bigConversation(), &environment().state);
    view->resize(700, 800);
    view->show();
    qbtest::processEventsUntil([&] { return !view->isLoading(); });
    return view;
}

// Time the GUI thread spends in `action`, including the events it posted.
template <typename Action> double blockedMilliseconds(Action&& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    qbtest::drainEvents();
    return secondsSince(start) * 1000.0;
}

void BM_OpenConversation(benchmark::State& state) {
    std::vector<double> ms;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            std::unique_ptr<ConversationDisplayView> view;
            ms.push_back(blockedMilliseconds([&] { view = openView(); }));
        }
    }
    addSpread(state, "open_ms", ms);
}
BENCHMARK(BM_OpenConversation)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Refilter(benchmark::State& state) {
    auto view = openView();
    std::vector<double> ms;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            ms.push_back(blockedMilliseconds([&] { view->setShowMedia(round % 2 == 1); }));
        }
    }
    addSpread(state, "refilter_ms", ms);
}
BENCHMARK(BM_Refilter)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DateFilter(benchmark::State& state) {
    auto view = openView();
    std::vector<double> ms;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            ms.push_back(blockedMilliseconds([&] { view->setEnableDateFilter(true); }));
            view->setEnableDateFilter(false);
            qbtest::drainEvents();
        }
    }
    addSpread(state, "date_filter_ms", ms);
}
BENCHMARK(BM_DateFilter)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EnterEditMode(benchmark::State& state) {
    auto view = openView();
    std::vector<double> ms;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            ms.push_back(blockedMilliseconds([&] { view->enterEditMode(); }));
            view->cancelEdit();
            qbtest::drainEvents();
        }
    }
    addSpread(state, "edit_mode_ms", ms);
}
BENCHMARK(BM_EnterEditMode)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Resident memory before a step, so growth shows what the step keeps (rss) and what it briefly held (peak).
struct MemoryMark {
    double rss = 0;
    MemoryMark() {
        ::malloc_trim(0); // what earlier rounds freed must not hide this round's growth
        resetPeakMemory();
        rss = residentMemoryMiB();
    }
    double kept() const { return residentMemoryMiB() - rss; }
    double peak() const { return peakMemoryMiB() - rss; }
};

// Opens the big conversation as the user does: picked in the list of a loaded history, confirmed in the
// large-conversation question, shown in the conversation window; then enters edit mode.
void BM_OpenAndEditMemory(benchmark::State& state) {
    auto& env = environment();
    env.state.setConversations({*bigConversation()});
    std::vector<double> openKept;
    std::vector<double> openPeak;
    std::vector<double> editKept;
    std::vector<double> editPeak;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            std::unique_ptr<ConversationDisplayView> view;
            {
                quillobrandt::MainView list(&env.state);
                QObject::connect(&list, &quillobrandt::MainView::conversationOpenRequested, &list,
                                 [&view, &env](const auto& conversation) {
                                     view = std::make_unique<ConversationDisplayView>(conversation, &env.state);
                                 });
                list.setSelectedConversationID("1");
                qbtest::drainEvents();
                const MemoryMark open;
                env.fake.alerts->answerNext(0); // Proceed
                list.displaySelectedConversation();
                qbtest::processEventsUntil([&] { return view != nullptr; });
                view->resize(700, 800);
                view->show();
                qbtest::processEventsUntil([&] { return !view->isLoading(); });
                qbtest::drainEvents();
                openKept.push_back(open.kept());
                openPeak.push_back(open.peak());
            }
            const MemoryMark edit;
            view->enterEditMode();
            qbtest::drainEvents();
            editKept.push_back(edit.kept());
            editPeak.push_back(edit.peak());
            view.reset();
            qbtest::drainEvents();
        }
    }
    addSpread(state, "open_rss_MiB", openKept);
    addSpread(state, "open_peak_MiB", openPeak);
    addSpread(state, "edit_rss_MiB", editKept);
    addSpread(state, "edit_peak_MiB", editPeak);
    env.state.setConversations({});
}
BENCHMARK(BM_OpenAndEditMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Exporting a conversation of 1,000,000 messages as CSV: how far the resident memory climbs above what the messages
// themselves take, and how long the export takes.
void BM_CsvExportMemory(benchmark::State& state) {
    std::vector<quillobrandt::Message> messages;
    {
        const auto& conversation = bigConversation();
        messages.reserve(1'000'000);
        for (int copy = 0; copy < 10; ++copy) {
            messages.insert(messages.end(), conversation->messages.begin(), conversation->messages.end());
        }
    }
    const fs::path target = benchRoot() / "export.csv";
    std::vector<double> peak;
    std::vector<double> seconds;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            const MemoryMark mark;
            const auto start = std::chrono::steady_clock::now();
            const auto result = quillobrandt::exportCSV(target, messages, {});
            seconds.push_back(secondsSince(start));
            peak.push_back(mark.peak());
            if (!result.saved) {
                state.SkipWithError("the export failed");
                return;
            }
        }
    }
    state.counters["rows"] = static_cast<double>(messages.size());
    state.counters["file_MiB"] = static_cast<double>(fs::file_size(target)) / (1024.0 * 1024.0);
    addSpread(state, "peak_growth_MiB", peak);
    addSpread(state, "export_s", seconds);
    fs::remove(target);
}
BENCHMARK(BM_CsvExportMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The history of the load benchmark: 2,000 chats of 500 messages, half of them with NULL text and an archived body.
const fs::path& bigHistory() {
    static const fs::path file = [] {
        const fs::path path = benchRoot() / "history" / "chat.db";
        fs::create_directories(path.parent_path());
        qbtest::buildBulkMessagesDatabase(
            path, {.chats = 2000, .messagesPerChat = 500, .encodeBody = [](std::string_view text) {
                       return qbtest::typedStreamAttributedString(std::string(text));
                   }});
        return path;
    }();
    return file;
}

// Resident memory of the main window with nothing loaded, taken at start: later benchmarks leave their fixtures
// (the 100,000-message conversation) in memory.
double& idleFootprint() {
    static double idle = 0;
    return idle;
}

void measureIdleFootprint() {
    quillobrandt::MainView view(&environment().state);
    view.resize(700, 600);
    view.show();
    qbtest::drainEvents();
    ::malloc_trim(0);
    idleFootprint() = residentMemoryMiB();
}

void BM_MemoryAfterBack(benchmark::State& state) {
    const fs::path& file = bigHistory();
    auto& env = environment();
    const double idle = idleFootprint();
    double baseline = idle;
    std::vector<double> afterLoad;
    std::vector<double> afterBack;
    std::vector<double> peaks;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        quillobrandt::MainView view(&env.state);
        view.resize(700, 600);
        view.show();
        qbtest::drainEvents();
        // Idle plus the fixtures alive now (an earlier benchmark's conversation): what Back should return to.
        ::malloc_trim(0);
        baseline = residentMemoryMiB();
        resetPeakMemory(); // one peak over all rounds: a later load must not climb above the first
        for (int round = 0; round < 3; ++round) {
            view.loadDatabase(file);
            qbtest::processEventsUntil([&] { return !view.loadingState().isLoading; }, std::chrono::minutes(5));
            qbtest::drainEvents();
            afterLoad.push_back(residentMemoryMiB());
            peaks.push_back(peakMemoryMiB());
            view.backToWelcome();
            qbtest::drainEvents();
            view.waitForBackgroundWork(); // the dropped history is freed on the loader thread
            afterBack.push_back(residentMemoryMiB());
        }
    }
    state.counters["idle_MiB"] = idle;
    state.counters["baseline_MiB"] = baseline;
    state.counters["fixtures_MiB"] = baseline - idle;
    addSpread(state, "after_load_MiB", afterLoad);
    addSpread(state, "after_back_MiB", afterBack);
    state.counters["after_back_to_baseline"] = spreadOf(afterBack).max / baseline;
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        state.counters["peak_after_load" + std::to_string(i + 1) + "_MiB"] = peaks[i];
    }
    state.counters["peak_growth_MiB"] = peaks.back() - peaks.front();
}
BENCHMARK(BM_MemoryAfterBack)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Waits until the menu pipeline has loaded `file` and nothing else is loading.
bool waitForLoaded(quillobrandt::AppState& appState, const fs::path& file) {
    return qbtest::processEventsUntil(
        [&] {
            return !appState.hasOutstandingLoads() && appState.databaseURL() == file &&
                   !appState.conversations().empty();
        },
        std::chrono::minutes(5));
}

// Whether the menu pipeline has loaded `file` and nothing else is loading.
bool hasLoaded(quillobrandt::AppState& appState, const fs::path& file) {
    return !appState.hasOutstandingLoads() && appState.databaseURL() == file && !appState.conversations().empty();
}

// The processor time this thread has used, in milliseconds.
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The longest time the GUI thread could not answer while it waited for `done`: a timer on it that should fire every
// 5 ms records how late each tick comes. Runs a real event loop, as the application does. `cpuMs` is the processor
// time the GUI thread itself spent in that longest interval; on a loaded machine it waited for the rest.
struct Stall {
    double ms = -1;
    double cpuMs = 0;
};

Stall longestStall(const std::function<bool()>& done, std::chrono::minutes timeout) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kTick = std::chrono::milliseconds(5);
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(kTick);
    auto last = Clock::now();
    double lastCpu = threadCpuMs();
    Stall worst{0, 0};
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        const auto now = Clock::now();
        const double cpu = threadCpuMs();
        const double late = std::chrono::duration<double, std::milli>(now - last - kTick).count();
        if (late > worst.ms) {
            worst = {late, cpu - lastCpu};
        }
        last = now;
        lastCpu = cpu;
        if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    ticker.start();
    loop.exec();
    return done() ? worst : Stall{};
}

void addStalls(benchmark::State& state, const std::vector<Stall>& stalls) {
    std::vector<double> ms;
    std::vector<double> cpu;
    for (const Stall& stall : stalls) {
        ms.push_back(stall.ms);
        cpu.push_back(stall.cpuMs);
    }
    addSpread(state, "longest_stall_ms", ms);
    addSpread(state, "gui_cpu_in_it_ms", cpu);
}

// The menu pipeline loads `file`, and the first conversation opens in a shown window, past its loading face; null
// when the history did not load.
std::unique_ptr<ConversationDisplayView> loadAndOpenFirst(Environment& env, const fs::path& file) {
    env.state.loadCustomDatabase(file);
    if (!waitForLoaded(env.state, file)) {
        return nullptr;
    }
    auto view = std::make_unique<ConversationDisplayView>(env.state.sharedConversation(&env.state.conversations()[0]),
                                                          &env.state);
    view->resize(700, 800);
    view->show();
    qbtest::processEventsUntil([&] { return !view->isLoading(); });
    qbtest::drainEvents();
    return view;
}

// Marks the first message in edit mode and answers the save panel with `copy`, ready for Save Copy.
void prepareSaveCopy(Environment& env, ConversationDisplayView& view, const fs::path& copy) {
    view.enterEditMode();
    view.deleteMessage(env.state.conversations()[0].messages.front());
    env.fake.panels->answerNext(QString::fromStdString(copy.string()));
}

void BM_MemoryAfterSaveCopy(benchmark::State& state) {
    const fs::path& file = bigHistory();
    auto& env = environment();
    std::vector<double> oneHistory;
    std::vector<double> afterSave;
    std::vector<double> ratio;
    std::vector<Stall> stalls;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        for (int round = 0; round < 3; ++round) {
            auto view = loadAndOpenFirst(env, file);
            if (!view) {
                state.SkipWithError("the history did not load");
                return;
            }
            ::malloc_trim(0);
            oneHistory.push_back(residentMemoryMiB());

            const fs::path copy = benchRoot() / ("copy-" + std::to_string(round) + ".db");
            prepareSaveCopy(env, *view, copy);
            // From the press to the copy loaded, the window stays answering.
            QTimer::singleShot(0, view.get(), [&view] { view->presentSaveCopyPanel(); });
            const Stall stall = longestStall([&] { return hasLoaded(env.state, copy); }, std::chrono::minutes(10));
            if (stall.ms < 0) {
                state.SkipWithError("the saved copy did not load");
                return;
            }
            stalls.push_back(stall);
            env.state.waitForBackgroundLoads(); // the freed conversations go back on the loader thread
            qbtest::drainEvents();
            ::malloc_trim(0);
            afterSave.push_back(residentMemoryMiB());
            ratio.push_back(afterSave.back() / oneHistory.back());

            view.reset();
            env.state.setConversations({});
            env.state.waitForBackgroundLoads();
            qbtest::drainEvents();
            fs::remove(copy);
        }
    }
    addSpread(state, "one_history_MiB", oneHistory);
    addSpread(state, "after_save_copy_MiB", afterSave);
    addSpread(state, "after_save_copy_to_one_history", ratio);
    addStalls(state, stalls);
}
BENCHMARK(BM_MemoryAfterSaveCopy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Quitting while the main window loads the same history: the window and the application state go, which stops the
// load and joins the loader thread. The time is what the quit waits for that.
void BM_QuitDuringLoad(benchmark::State& state) {
    const fs::path& file = bigHistory();
    std::vector<double> ms;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        for (int round = 0; round < kRounds; ++round) {
            auto& env = environment();
            auto appState = std::make_unique<quillobrandt::AppState>(nullptr, &env.analytics);
            auto view = std::make_unique<quillobrandt::MainView>(appState.get());
            view->loadDatabase(file);
            // Well into the chats, where the load spends its time.
            qbtest::processEventsUntil([&] { return view->loadingState().loadingProgress >= 0.3; },
                                       std::chrono::minutes(5));
            const auto start = std::chrono::steady_clock::now();
            view.reset();
            appState.reset();
            ms.push_back(secondsSince(start) * 1000.0);
            qbtest::drainEvents();
        }
    }
    addSpread(state, "quit_ms", ms);
}
BENCHMARK(BM_QuitDuringLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same quit through the application's owner: the delegate goes with its main window (a MainView) and the
// application state while a menu load of the history runs, as when the user quits from the menu.
void BM_QuitApplicationDuringLoad(benchmark::State& state) {
    const fs::path& file = bigHistory();
    std::vector<double> ms;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        for (int round = 0; round < kRounds; ++round) {
            auto& env = environment();
            quillobrandt::AppDelegate* owner = nullptr;
            auto delegate = std::make_unique<quillobrandt::AppDelegate>(
                [&owner](QWidget* parent) { return new quillobrandt::MainView(&owner->appState(), parent); }, nullptr,
                &env.analytics);
            owner = delegate.get();
            delegate->applicationDidFinishLaunching();
            delegate->appState().loadCustomDatabase(file);
            // Past the private copy, well into the chats.
            qbtest::processEventsUntil([] { return false; }, std::chrono::milliseconds(1200));
            const auto start = std::chrono::steady_clock::now();
            delegate.reset();
            ms.push_back(secondsSince(start) * 1000.0);
            qbtest::drainEvents();
        }
    }
    addSpread(state, "quit_ms", ms);
}
BENCHMARK(BM_QuitApplicationDuringLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GuiStallDuringCsvExport(benchmark::State& state) {
    const auto million = std::make_shared<const Conversation>([] {
        Conversation c = *bigConversation();
        c.messages.reserve(1'000'000);
        for (int copy = 1; copy < 10; ++copy) {
            c.messages.insert(c.messages.end(), bigConversation()->messages.begin(),
                              bigConversation()->messages.begin() + kConversationMessages);
        }
        c.messageCount = static_cast<std::int64_t>(c.messages.size());
        return c;
    }());
    auto& env = environment();
    const fs::path target = benchRoot() / "stall.csv";
    std::vector<Stall> stalls;
    std::vector<double> seconds;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        ConversationDisplayView view(million, &env.state);
        view.resize(700, 800);
        view.show();
        qbtest::processEventsUntil([&] { return !view.isLoading(); });
        qbtest::drainEvents();
        for (int round = 0; round < 3; ++round) {
            env.fake.panels->answerNext(QString::fromStdString(target.string()));
            const auto start = std::chrono::steady_clock::now();
            QTimer::singleShot(0, &view, [&view] { view.presentCSVPanel(); });
            const Stall stall =
                longestStall([&] { return fs::exists(target) && !view.isExportingCsv(); }, std::chrono::minutes(5));
            seconds.push_back(secondsSince(start));
            if (stall.ms < 0) {
                state.SkipWithError("the export did not end");
                return;
            }
            stalls.push_back(stall);
            fs::remove(target);
        }
    }
    state.counters["rows"] = static_cast<double>(million->messages.size());
    addStalls(state, stalls);
    addSpread(state, "export_s", seconds);
}
BENCHMARK(BM_GuiStallDuringCsvExport)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_LogAfterLoad300kMessages(benchmark::State& state) {
    const fs::path file = benchRoot() / "one-chat" / "chat.db";
    fs::create_directories(file.parent_path());
    if (!fs::exists(file)) {
        qbtest::buildBulkMessagesDatabase(file, {.chats = 1, .messagesPerChat = 300'000});
    }
    auto& env = environment();
    double progressLines = 0;
    double holdsBanner = 0;
    double holdsFile = 0;
    double logBytes = 0;
    for (auto _ : state) {
        RedirectedStdout quiet(StdoutTarget::devNull);
        env.state.loadCustomDatabase(file);
        qbtest::processEventsUntil([&] { return hasLoaded(env.state, file); }, std::chrono::minutes(5));
        const std::string logs = quillobrandt::Logger::shared().getAllLogs();
        logBytes = static_cast<double>(logs.size());
        // This load's lines: those after the last line that began it, the previous log read before the current.
        const auto previousAt = logs.find("\n=== Previous Log ===\n");
        const std::string ordered =
            previousAt == std::string::npos ? logs : logs.substr(previousAt) + logs.substr(0, previousAt);
        const std::string began = "Loading database from: " + file.string();
        std::istringstream lines(ordered.substr(std::min(ordered.rfind(began), ordered.size())));
        progressLines = 0;
        for (std::string line; std::getline(lines, line);) {
            progressLines += line.find("] Loading: ") != std::string::npos;
        }
        holdsBanner = logs.find("=== Quillobrandt Started ===") != std::string::npos;
        holdsFile = logs.find("Opening database at: " + file.string()) != std::string::npos;
        env.state.setConversations({});
        env.state.waitForBackgroundLoads();
        qbtest::drainEvents();
    }
    state.counters["progress_lines"] = progressLines;
    state.counters["logs_hold_banner"] = holdsBanner;
    state.counters["logs_hold_file"] = holdsFile;
    state.counters["log_bytes"] = logBytes;
}
BENCHMARK(BM_LogAfterLoad300kMessages)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchRoot();
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    measureIdleFootprint();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    environmentHolder().reset(); // before the application goes
    fs::remove_all(benchRoot());
    return 0;
}
