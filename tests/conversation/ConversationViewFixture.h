#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <filesystem>
#include <functional>
#include <memory>

#include "Quillobrandt/app/AppState.h"
#include "Quillobrandt/app/GoogleAnalyticsManager.h"
#include "Quillobrandt/conversation/ConversationDisplayView.h"
#include "platform/core/Paths.h"
#include "platform/core/UserDefaults.h"
#include "platform/qt/FakePlatform.h"
#include "platform/qt/NotificationHub.h"
#include "tests/app/RecordingHttpSender.h"
#include "tests/conversation/ConversationTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace qbtest {

// Runs the event loop until `done` holds or `timeoutMs` passes; whether it held.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Waits for the CSV export `view` started to be written and reported back; whether it was.
inline bool finishCsvExport(quillobrandt::ConversationDisplayView& view) {
    return view.waitForBackgroundWork() && waitUntil([&] { return !view.isExportingCsv(); });
}

// The application state over recording fakes, with analytics that never reach the network.
struct ConversationViewFixture {
    ScopedTimeZone zone{"Europe/Berlin"};
    platform::FakePlatform fake;
    platform::NotificationHub hub;
    platform::UserDefaults defaults{platform::configDir() / "Quillobrandt" / "defaults.json"};
    quillobrandt::GoogleAnalyticsManager analytics{{}, std::make_shared<RecordingHttpSender>(), defaults};
    std::unique_ptr<quillobrandt::AppState> state = std::make_unique<quillobrandt::AppState>(&hub, &analytics);

    // A shown view of `conversation`, past its loading overlay.
    std::unique_ptr<quillobrandt::ConversationDisplayView> openView(const quillobrandt::Conversation& conversation,
                                                                    QSize size = {900, 700}) {
        auto view =
            std::make_unique<quillobrandt::ConversationDisplayView>(conversation, state.get(), nullptr, &analytics);
        view->resize(size);
        view->show();
        waitUntil([&] { return !view->isLoading(); });
        return view;
    }

    std::filesystem::path file(const std::string& name) const {
        const auto path = IsolatedHome::root() / "files" / name;
        std::filesystem::create_directories(path.parent_path());
        return path;
    }
};

} // namespace qbtest
