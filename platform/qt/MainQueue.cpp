#include "platform/qt/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

namespace platform {

void runOnMainQueue(QObject* context, std::function<void()> work) {
    if (context == nullptr || !work) {
        return;
    }
    QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

void runOnMainQueue(std::function<void()> work) {
    runOnMainQueue(QCoreApplication::instance(), std::move(work));
}

void runOnMainQueueAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work) {
    if (context == nullptr || !work) {
        return;
    }
    if (QThread::currentThread() == context->thread()) {
        QTimer::singleShot(delay, context, std::move(work));
        return;
    }
    // A timer belongs to the thread that starts it; start it on the context's own thread.
    QMetaObject::invokeMethod(
        context,
        [context, delay, work = std::move(work)]() mutable { QTimer::singleShot(delay, context, std::move(work)); },
        Qt::QueuedConnection);
}

bool isMainThread() {
    const auto* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

} // namespace platform
