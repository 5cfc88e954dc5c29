#include "Corvantesk/health/CrashHandler.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <future>
#include <string_view>
#include <thread>

#include <cxxabi.h>
#include <execinfo.h>

#include "Corvantesk/health/ErrorDescription.h"
#include "Corvantesk/health/FatalSignals.h"
#include "platform/core/SignalStack.h"
#include "platform/core/Uuid.h"

namespace corvantesk {
namespace {

constexpr auto kCrashSaveTimeLimit = std::chrono::seconds(2);

std::atomic<CrashMarkerWriter*> g_markerWriter{nullptr};
std::terminate_handler g_previousTerminate = nullptr;

// Names and messages are literals, so the signal handler builds nothing.
void writeSignalMarker(int signalNumber) noexcept {
    CrashMarkerWriter* writer = g_markerWriter.load(std::memory_order_acquire);
    const FatalSignals::Texts* texts = FatalSignals::texts(signalNumber);
    if (writer != nullptr && texts != nullptr) {
        writer->write(CrashMarkerWriter::currentUnixTime(), texts->name, texts->message, CrashSessionSlot::read());
    }
}

[[noreturn]] void onTerminate() {
    CrashHandler::shared().handleUncaughtException();
    if (g_previousTerminate != nullptr) {
        g_previousTerminate();
    }
    std::abort();
}

struct CurrentException {
    std::string typeName = "std::terminate";
    std::optional<std::string> reason;
};

CurrentException describeCurrentException() {
    CurrentException described;
    const std::exception_ptr pending = std::current_exception();
    if (!pending) {
        return described;
    }
    if (const std::type_info* type = abi::__cxa_current_exception_type()) {
        described.typeName = demangledTypeName(*type);
    }
    try {
        std::rethrow_exception(pending);
    } catch (const std::exception& error) {
        described.reason = error.what();
    } catch (...) {
    }
    return described;
}

} // namespace

CrashHandler& CrashHandler::shared() {
    // Never destroyed: a crash during exit may still need it.
    static CrashHandler* instance = new CrashHandler();
    return *instance;
}

bool CrashHandler::install(const void* owner, Settings settings, CrashMarkerWriter markerWriter) {
    std::lock_guard lock(mutex_);
    if (installed_) {
        return false;
    }
    settings_ = std::move(settings);
    if (writers_.empty() || writers_.back()->path() != markerWriter.path()) {
        writers_.push_back(std::make_unique<CrashMarkerWriter>(std::move(markerWriter)));
    }
    g_markerWriter.store(writers_.back().get(), std::memory_order_release);
    FatalSignals::install(&writeSignalMarker);
    g_previousTerminate = std::set_terminate(&onTerminate);
    installed_ = true;
    owner_ = owner;
    return true;
}

void CrashHandler::uninstall(const void* owner) {
    std::lock_guard lock(mutex_);
    if (!installed_ || owner != owner_) {
        return;
    }
    if (std::get_terminate() == &onTerminate) {
        std::set_terminate(g_previousTerminate);
    }
    g_previousTerminate = nullptr;
    FatalSignals::uninstall();
    g_markerWriter.store(nullptr, std::memory_order_release);
    const bool captureDeviceState = settings_.captureDeviceState;
    const bool includeStackTrace = settings_.includeStackTrace;
    const auto maxStackTraceLength = settings_.maxStackTraceLength;
    settings_ = Settings{};
    // The three switches keep their last values.
    settings_.captureDeviceState = captureDeviceState;
    settings_.includeStackTrace = includeStackTrace;
    settings_.maxStackTraceLength = maxStackTraceLength;
    installed_ = false;
    owner_ = nullptr;
}

bool CrashHandler::isInstalled() const {
    std::lock_guard lock(mutex_);
    return installed_;
}

bool CrashHandler::isInstalledBy(const void* owner) const {
    std::lock_guard lock(mutex_);
    return installed_ && owner_ == owner;
}

CrashHandler::Settings CrashHandler::settingsCopy() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void CrashHandler::handleUncaughtException() {
    if (!FatalSignals::claimCrash()) {
        return;
    }
    struct MarkRecorded {
        ~MarkRecorded() { FatalSignals::markCrashRecorded(); }
    } markRecorded;

    // What only the failing thread knows: the exception in flight and its stack.
    const Settings settings = settingsCopy();
    const auto exception = describeCurrentException();
    std::optional<std::string> trace;
    if (settings.includeStackTrace) {
        trace = truncateStackTrace(currentStackTrace(), settings.maxStackTraceLength);
    }
    auto event = HealthEvent::crash(exception.typeName, exception.reason, std::move(trace));

    // Enriching and saving take the buffer and storage locks, which the failing thread may hold itself. Doing it
    // on a helper thread with a time limit means such a crash loses its event instead of hanging the process.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread worker([this, settings, event = std::move(event), done]() mutable {
        platform::ThreadSignalStack signalStack;
        try {
            enrich(event);
            if (settings.onCrash) {
                settings.onCrash(event);
            }
        } catch (...) {
            // The process is ending; a failed save cannot be reported anywhere.
        }
        done->set_value();
    });
    if (finished.wait_for(kCrashSaveTimeLimit) == std::future_status::ready) {
        worker.join();
    } else {
        worker.detach();
    }
}

HealthEvent CrashHandler::simulateCrash(const std::string& message) const {
    const Settings settings = settingsCopy();
    HealthEvent event = HealthEvent::makeMessage(message, std::nullopt, "crash");
    event.exceptionType = "SimulatedCrash";
    if (settings.includeStackTrace) {
        event.stackTrace = currentStackTrace();
    }
    enrich(event);
    return event;
}

void CrashHandler::enrich(HealthEvent& event) const {
    const Settings settings = settingsCopy();
    if (settings.breadcrumbs) {
        auto trail = settings.breadcrumbs->all();
        if (!trail.empty()) {
            event.breadcrumbs = std::move(trail);
        }
    }
    if (settings.logs) {
        auto lines = settings.logs->all();
        if (!lines.empty()) {
            event.logs = std::move(lines);
        }
    }
    if (settings.captureDeviceState) {
        event.deviceState = DeviceState::capture();
    }
}

std::string CrashHandler::currentStackTrace() {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    std::string trace;
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count), &std::free);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            trace += '\n';
        }
        trace += symbols ? symbols.get()[i] : "?";
    }
    return trace;
}

} // namespace corvantesk
