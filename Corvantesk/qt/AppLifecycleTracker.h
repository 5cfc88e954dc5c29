#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <QMetaObject>
#include <QObject>

namespace corvantesk {

// Turns the application becoming active and resigning active into "lifecycle" analytics events and
// breadcrumbs, and on quitting leaves the breadcrumb "App will terminate" and sends both event queues (health
// first) on a thread of its own, so quitting is not delayed. Reports go to the SDK's shared client; nothing
// happens without one.
//
// Lives on the UI thread and is used there only; destroy it there too (the destructor stops observing and
// waits for a quit-time send still running, which the client's shutdown cancels).
class AppLifecycleTracker : public QObject {
    Q_OBJECT
public:
    explicit AppLifecycleTracker(QObject* parent = nullptr);
    ~AppLifecycleTracker() override;

    // Watches the application's state and its quitting. Starting again while observing does nothing, so no
    // event is ever reported twice.
    void startObserving();
    // Stops watching; a second stop does nothing.
    void stopObserving();
    bool isObserving() const { return !observers_.empty(); }

    // What happens on each change; public so the application's own quit path and tests can drive them.
    void handleApplicationStateChanged(Qt::ApplicationState state);
    void handleWillTerminate();

private:
    std::vector<QMetaObject::Connection> observers_;
    Qt::ApplicationState lastState_ = Qt::ApplicationInactive;
    std::shared_ptr<std::atomic<bool>> flushing_ = std::make_shared<std::atomic<bool>>(false);
    std::jthread flush_;
};

} // namespace corvantesk
