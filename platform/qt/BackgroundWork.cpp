#include "platform/qt/BackgroundWork.h"

#include <QThreadPool>

#include <thread>

#include "platform/core/SignalStack.h"
#include "platform/qt/MainQueue.h"

namespace platform {

BackgroundWork::BackgroundWork(QObject* owner, int maxThreads, const QString& name)
    : channel_(std::make_shared<Channel>()), pool_(new QThreadPool) {
    channel_->owner = owner;
    pool_->setObjectName(name);
    pool_->setMaxThreadCount(maxThreads);
}

BackgroundWork::~BackgroundWork() {
    {
        // Held while a worker posts, so no result is queued for an owner that is being destroyed.
        std::lock_guard lock(channel_->mutex);
        channel_->owner = nullptr;
    }
    if (pool_->waitForDone(static_cast<int>(quitWait.count()))) {
        delete pool_;
        return;
    }
    // Still busy: waiting would hold the window (or the whole quit) hostage. The pool goes away when its
    // last task ends, or with the process.
    QThreadPool* pool = pool_;
    std::thread([pool] {
        ThreadSignalStack signalStack;
        pool->waitForDone();
        delete pool;
    }).detach();
}

void BackgroundWork::start(std::function<void()> task) {
    pool_->start([task = std::move(task)] {
        ThreadSignalStack signalStack;
        task();
    });
}

std::function<void(std::function<void()>)> BackgroundWork::poster() const {
    return [channel = channel_](std::function<void()> work) {
        std::lock_guard lock(channel->mutex);
        runOnMainQueue(channel->owner, std::move(work));
    };
}

bool BackgroundWork::waitForDone(int timeoutMs) {
    return pool_->waitForDone(timeoutMs);
}

} // namespace platform
