#include "Corvantesk/qt/QtPlatformHooks.h"

#include <mutex>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include "Corvantesk/qt/AppLifecycleTracker.h"
#include "Corvantesk/qt/MacOSAutoTracker.h"

namespace corvantesk {

struct QtPlatformHooks::State {
    std::mutex mutex; // guards resolution
    std::optional<std::string> resolution;
    std::unique_ptr<AppLifecycleTracker> lifecycle; // UI thread only
    std::unique_ptr<QObject> context;               // owns the screen connection

    // UI thread.
    void refreshResolution() {
        std::optional<std::string> value;
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                const QSize size = screen->size();
                value = std::to_string(size.width()) + "x" + std::to_string(size.height());
            }
        }
        std::lock_guard lock(mutex);
        resolution = value;
    }
};

QtPlatformHooks::QtPlatformHooks() : state_(std::make_shared<State>()) {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) {
        return;
    }
    state_->context = std::make_unique<QObject>();
    std::weak_ptr<State> weak = state_;
    QObject::connect(app, &QGuiApplication::primaryScreenChanged, state_->context.get(), [weak] {
        if (auto state = weak.lock()) {
            state->refreshResolution();
        }
    });
    runOnUiThread([weak] {
        if (auto state = weak.lock()) {
            state->refreshResolution();
        }
    });
}

QtPlatformHooks::~QtPlatformHooks() = default;

void QtPlatformHooks::installAutoTracker(const AutoTrackingSettings& settings) {
    MacOSAutoTracker::shared().apply(settings);
    std::weak_ptr<State> weak = state_;
    runOnUiThread([weak] {
        if (auto state = weak.lock()) {
            state->refreshResolution();
        }
        MacOSAutoTracker::shared().install();
    });
}

void QtPlatformHooks::uninstallAutoTracker() {
    runOnUiThread([] { MacOSAutoTracker::shared().uninstall(); });
}

void QtPlatformHooks::startLifecycleObserving() {
    std::weak_ptr<State> weak = state_;
    runOnUiThread([weak] {
        if (auto state = weak.lock()) {
            if (!state->lifecycle) {
                state->lifecycle = std::make_unique<AppLifecycleTracker>();
            }
            state->lifecycle->startObserving();
        }
    });
}

void QtPlatformHooks::stopLifecycleObserving() {
    std::weak_ptr<State> weak = state_;
    runOnUiThread([weak] {
        if (auto state = weak.lock(); state && state->lifecycle) {
            state->lifecycle->stopObserving();
        }
    });
}

std::optional<std::string> QtPlatformHooks::screenResolution() {
    std::lock_guard lock(state_->mutex);
    return state_->resolution;
}

void QtPlatformHooks::runOnUiThread(std::function<void()> work) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr || !work) {
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

} // namespace corvantesk
