#pragma once

#include <chrono>
#include <functional>

class QObject;

// Hops onto the GUI thread. Every call names a context: the object whose state the work touches.
// The work runs on the context's thread (the GUI thread for everything the UI owns) and is dropped
// when the context is destroyed before it runs, so a late result never reaches freed memory.
namespace platform {

// Queues `work` behind the events already waiting; never runs it synchronously. Callable from any thread.
void runOnMainQueue(QObject* context, std::function<void()> work);

// As runOnMainQueue, with the application object as the context.
void runOnMainQueue(std::function<void()> work);

// Runs `work` once after `delay` on the context's thread. Callable from any thread; not cancellable
// except by destroying the context.
void runOnMainQueueAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work);

// True on the thread that runs the application's event loop.
bool isMainThread();

} // namespace platform
