#include "Corvantesk/qt/AppLifecycleTracker.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "Corvantesk/Corvantesk.h"

namespace corvantesk {
namespace {

void report(const char* eventType, const char* message) {
    if (auto client = Corvantesk::sharedOrNil()) {
        if (eventType != nullptr) {
            client->analytics().track(eventType, std::string("lifecycle"));
        }
        client->health().addBreadcrumb(Breadcrumb("lifecycle", message));
    }
}

} // namespace

AppLifecycleTracker::AppLifecycleTracker(QObject* parent) : QObject(parent) {}

AppLifecycleTracker::~AppLifecycleTracker() {
    stopObserving();
}

void AppLifecycleTracker::startObserving() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr || isObserving()) {
        return;
    }
    lastState_ = QGuiApplication::applicationState();
    observers_.push_back(connect(app, &QGuiApplication::applicationStateChanged, this,
                                 &AppLifecycleTracker::handleApplicationStateChanged));
    observers_.push_back(connect(app, &QCoreApplication::aboutToQuit, this, &AppLifecycleTracker::handleWillTerminate));
}

void AppLifecycleTracker::stopObserving() {
    for (const auto& observer : observers_) {
        disconnect(observer);
    }
    observers_.clear();
}

void AppLifecycleTracker::handleApplicationStateChanged(Qt::ApplicationState state) {
    const Qt::ApplicationState previous = std::exchange(lastState_, state);
    // Qt also reports steps between inactive states (inactive, hidden, suspended): only entering and leaving
    // the active state count.
    if (state == Qt::ApplicationActive && previous != Qt::ApplicationActive) {
        report("app_became_active", "App became active");
    } else if (state != Qt::ApplicationActive && previous == Qt::ApplicationActive) {
        report("app_will_resign_active", "App will resign active");
    }
}

void AppLifecycleTracker::handleWillTerminate() {
    report(nullptr, "App will terminate");
    if (flushing_->exchange(true)) {
        return; // a send started earlier is still running
    }
    if (flush_.joinable()) {
        flush_.join(); // ended already: flushing_ was clear
    }
    flush_ = std::jthread([flushing = flushing_] {
        ThreadSignalStack signalStack;
        if (auto client = Corvantesk::sharedOrNil()) {
            client->health().flush();
            client->analytics().flush();
        }
        *flushing = false;
    });
}

} // namespace corvantesk
